#pragma once
// The batch task manager window: the task tree, the grid with a drawn progress
// bar per task, the detail pages and the task menu. All decisions are made by
// TBatchTaskManager; the window only shows its copies and forwards the user's choices.
#include "batchui/batchtaskmanager.h"
#include "core/resultcodes.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class QAction;
class TClientConfigX;
class TTaskAddFrm;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QTabWidget;
class QTableWidget;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

// Role of column 4's cell: the fraction drawn, or none for no bar.
constexpr int kBatchScaleRole = Qt::UserRole + 1;
// Role of column 0's cell: the state shown.
constexpr int kBatchStateRole = Qt::UserRole + 2;

class TBatchFileDealMainFrm : public QWidget
{
    Q_OBJECT
public:
    // folder/indexFolder: where the task file and the index files lie (empty: the user's own).
    TBatchFileDealMainFrm(QWidget *parent, THS_Language language, const QString &folder = {}, const QString &indexFolder = {});

    TBatchTaskManager &Manager() { return *FManager; }
    // Visible, filling its parent, on top.
    void ToFront();
    // Message 1240: loads and starts the stored tasks once, then shows the upload list.
    void UMRobotStartAll(const TBatchSettings &settings);
    int GetUnOverTaskNum() const { return FManager->GetUnOverTaskNum(); }

    // The task tree's list node with this tag; the grid row of a task (-1 when not listed).
    void SelectList(int tag);
    void SelectTask(qint32 id);
    int RowOf(qint32 id) const;
    qint32 SelectedTask() const;
    QMenu *TaskMenu()
    {
        EnsureUi();
        return PopupMenu1;
    }
    // Builds the page's widgets if they are not there yet (done when it is first shown).
    void EnsureUi();
    void setVisible(bool visible) override;

    // The configuration the task editor reads and writes; set by the main window.
    void SetConfig(TClientConfigX *config) { m_config = config; }
    // A new task from a prepared record, through the editor.
    void AppendTask(const TBatchTransport &val);
    // A new task from a web page's request held in FPendingTask.
    void AppendTask();
    QString FPendingTask;
    // "Modify settings" of the selected task.
    void ResetTaskInfo();
    // "New task": the editor on an empty bulk upload task.
    void NewTask();
    // Message 1239.
    void UMRobotShowComplete(qint32 id);
    // Shows the editor modally; true when it closed. Tests drive it instead.
    std::function<void(TTaskAddFrm &)> FRunEditor;
    // The open editor, if any, comes to the front; false when none is open.
    bool RaiseEditor();

    void actStart();
    void actPause();
    void actDel();
    void actRestart();
    void actStartAll();
    void actPauseAll();
    void actDelAll();

private:
    QString t(const char *cn, const char *en) const;
    void buildUi();
    void fillGrid();
    void showRow(int row, const TBatchTaskRow &data);
    void onTaskChanged(int id);
    void onRowSelected();
    void updateMenu(const TBatchTaskRow &data);
    void showDetails();
    void clearDetails();
    void showText(QPlainTextEdit *memo, const QString &text);
    void onLogLine(int id, const QString &line);
    int currentTag() const;
    bool needTask(qint32 &id);
    void openLocalFolder();

    TBatchTaskManager *FManager;
    THS_Language FHS_Language;
    int FGridRow = -1;
    qint32 m_detailsTask = 0;
    bool m_selectFirstTask = false;   // all tasks were started before the page was built   // the task whose texts the pages show

    QString WLS_ReConn, WLS_Complete, WLS_Tran, WLS_PerSecond, WLS_SelTask, WLS_Hint, WLS_ViewLog, WLS_Upload,
        WLS_Download, WLS_BulkUpload, WLS_BulkDownload, WLS_ProhibitsBulkDownload, WLS_ErrData, WLS_SelectFolder,
        WLS_TranComplete;
    TClientConfigX *m_config = nullptr;
    QPointer<TTaskAddFrm> m_editor;

    QTreeWidget *tvTask = nullptr;
    QTableWidget *sgTaskList = nullptr;
    QTabWidget *PageControl1 = nullptr;
    QLabel *lbSt = nullptr;
    QLineEdit *edtFileName = nullptr;
    QLabel *lbNumInfo = nullptr;
    QProgressBar *pbCount = nullptr;
    QLabel *lbSizeInfo = nullptr;
    QProgressBar *pbSize = nullptr;
    QLabel *lbLog = nullptr;
    QPlainTextEdit *moTaskInfo = nullptr;
    QPlainTextEdit *moLog = nullptr;
    QPlainTextEdit *moErrorLog = nullptr;
    QMenu *PopupMenu1 = nullptr;
    QAction *pm_Start = nullptr;
    QAction *pm_Pause = nullptr;
    QAction *pm_Del = nullptr;
    QAction *pm_Restart = nullptr;
    QAction *pm_ResetTaskInfo = nullptr;
    QAction *pm_NewTask = nullptr;
    QAction *pm_Log = nullptr;
    QAction *pm_OpenFolder = nullptr;
    QToolButton *sbNewTask = nullptr;
    QToolButton *sbStartAll = nullptr;
    QToolButton *sbStopAll = nullptr;
    QToolButton *sbDelAll = nullptr;
    QToolButton *sbStart = nullptr;
    QToolButton *sbPause = nullptr;
    QToolButton *sbDel = nullptr;
};
