#pragma once
// The task editor: the two ends of a batch task, its filters, its time rule,
// properties, classification and version remark. The decisions live in
// taskaddlogic.h; this dialog binds them to its controls. The file selection
// builds a scratch index off the GUI thread and never touches the index of the
// task's own worker.
#include "batchui/taskaddlogic.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimeEdit;
class QWidget;

// The pickers the editor opens; each returns false when the user cancelled.
struct TTaskAddPickers {
    std::function<bool(QWidget *parent, TTranStyle style, qint32 &ownerId)> PickOwner;
    std::function<bool(QWidget *parent, qint32 ownerId, qint64 &folderId, QString &folderName)> PickServerFolder;
    std::function<bool(QWidget *parent, qint32 ownerId, qint64 folderId, qint64 &fileKey, QString &fileName)> PickServerFile;
    std::function<bool(QWidget *parent, const QString &caption, const QString &start, QString &path)> PickLocalFolder;
    std::function<bool(QWidget *parent, const QString &start, QString &path)> PickLocalFile;
    std::function<bool(QWidget *parent, QList<qint32> &types)> PickTypes;
    // The property page of the server with the current parameters; the new ones on confirm.
    std::function<bool(QWidget *parent, const QString &params, QString &result)> EditProperties;
    // The file selection list over the scratch index: the keys the user left out.
    std::function<bool(QWidget *parent, const TTaskScratchIndex &index, const QString &countLine, QList<qint64> &leftOut)>
        SelectFiles;
};

class TTaskAddFrm : public QDialog
{
    Q_OBJECT
public:
    // indexFolder: where the task index files lie (empty: the user's own).
    TTaskAddFrm(TClientConfigX &config, THS_Language language, const QString &indexFolder = {}, QWidget *parent = nullptr);
    ~TTaskAddFrm() override;

    void SetTaskInfo(const TBatchTransport &value);
    // The pickers; the defaults are the client's own windows.
    TTaskAddPickers Pickers;

    // The result, after the dialog closed.
    bool FIsCompleted = false;
    TBatchTransport FNewTaskInfo;
    // True when the user chose files: FExcludedKeys then replaces the task's exclusions.
    bool FFilesSelected = false;
    QList<qint64> FExcludedKeys;

    const TBatchTransport &OldTaskInfo() const { return FOldTaskInfo; }
    int Fid() const { return m_fid; }
    bool IsLoading() const { return m_scratch && m_scratch->IsBuilding(); }

    // The buttons, also for tests.
    void Save();
    void SelectItems();
    void Cancel();

    QLineEdit *edtSourceFolderName = nullptr;
    QLineEdit *edtDestFolderName = nullptr;
    QPushButton *BitBtn2 = nullptr;
    QPushButton *BitBtn3 = nullptr;
    QCheckBox *chbDateRng = nullptr;
    QDateEdit *dtpMinDate = nullptr;
    QDateEdit *dtpMaxDate = nullptr;
    QCheckBox *chbSize = nullptr;
    QLineEdit *edtMinSize = nullptr;
    QLineEdit *edtMaxSize = nullptr;
    QLineEdit *edtFileType = nullptr;
    QPushButton *bbtSelType = nullptr;
    QComboBox *cbFileSC = nullptr;
    QCheckBox *cbSubFolder = nullptr;
    QCheckBox *cbxFilePrt = nullptr;
    QLabel *lblEditPrt = nullptr;
    QCheckBox *cbkIncludeRoot = nullptr;
    QCheckBox *chbKeepLocalNewFile = nullptr;
    QRadioButton *rbTime1 = nullptr;
    QRadioButton *rbTime2 = nullptr;
    QComboBox *cbxCyc = nullptr;
    QTimeEdit *dtpBegin = nullptr;
    QLabel *lbStyle = nullptr;
    QPlainTextEdit *moRemark = nullptr;
    QWidget *plVerRemarks = nullptr;
    QWidget *plG = nullptr;
    QLabel *lbLoading = nullptr;
    QPushButton *BitBtn4 = nullptr;
    QPushButton *bbtSelectItems = nullptr;
    QPushButton *BitBtn5 = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QString t(const char *cn, const char *en) const;
    void buildUi();
    void fillClassifications();
    TTaskForm readForm() const;
    bool collect();
    void chooseSource();
    void chooseTarget();
    void chooseTypes();
    void editProperties(bool switchedOn);
    void updateEnabled();
    void onScratchBuilt(bool ok, const QString &error);
    void setBusy(bool busy);
    void installDefaultPickers();

    TClientConfigX &m_config;
    THS_Language FHS_Language;
    TTaskAddTexts m_texts;
    TTaskAddContext m_ctx;
    QString m_indexFolder;
    TBatchTransport FOldTaskInfo;
    QString FPrtParams;
    int m_fid = -1;
    bool m_folderControls = true;
    bool m_checkedLogin = false;
    TTaskScratchIndex *m_scratch = nullptr;
    QLabel *m_sourceLabel = nullptr;
    QLabel *m_targetLabel = nullptr;
    QLabel *m_note = nullptr;
};
