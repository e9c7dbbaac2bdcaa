#pragma once
// The comparison window: a server folder and its local folder side by side,
// coloured by which side is newer or missing, with upload, newest version,
// check-out, check-in and cancel on the chosen rows, and folder walking.
#include "versions/showdiff.h"
#include "versions/versionsession.h"
#include "versions/versiontexts.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;
class THintFrmXe;

struct TShowDiffTexts {
    explicit TShowDiffTexts(THS_Language lang);
    QString WLS_SelPath, WLS_NotSel, WLS_Hint, WLS_UploadOK, WLS_Replace, WLS_GetOK, WLS_ReplaceService, WLS_NoChecked,
        WLS_UseCheckin, ListFailed;
};

class TShowDiffFrm : public QWidget
{
    Q_OBJECT
public:
    TShowDiffFrm(const TVersionSession &session, THintFrmXe *monitor, QWidget *parent = nullptr);

    // Pushes the folder (unless it is already the current one) and resolves both paths.
    void Init(qint32 ownerId, qint64 folderId);
    void Confirm();   // from the path view to the comparison
    void Refresh();   // reloads both lists
    void ShowHint(const QString &name, const QString &text);

    void Upload();          // N1
    void GetNewest();       // N2
    void CheckOut();        // N3
    void CheckIn();         // N4
    void CancelCheckout();  // N5
    void ShowDifference();  // N7
    void ShowAll();         // N8
    void OpenRow(int row);  // a double-clicked folder row

    const QList<TDiffRow> &Rows() const { return m_rows; }
    // False until the server's list of the current folder could be read.
    bool Listed() const { return m_listed; }
    // The local folder of the rows shown now; the actions work there.
    QString ShownFolder() const;
    QString LocalPath() const;
    QString ServerPath() const { return m_serverPath; }
    QStringList FFolderIdList;
    qint32 FOwnerId = 0;
    qint64 FFolderId = 0;
    int FLastFolderIndex = -1;

    QGroupBox *gbPath = nullptr;
    QLineEdit *edLocalPath = nullptr;
    QTreeWidget *lvServer = nullptr;
    QTreeWidget *lvLocal = nullptr;
    QPlainTextEdit *MemoHint = nullptr;
    QLabel *lbServerPath = nullptr;
    QLabel *lbLocalPath = nullptr;
    QAction *N1 = nullptr, *N2 = nullptr, *N3 = nullptr, *N4 = nullptr, *N5 = nullptr, *N7 = nullptr, *N8 = nullptr;

    static QColor StateColour(int state);

Q_SIGNALS:
    void pathResolved();
    void refreshed();
    void batchEnded();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void buildUi();
    void fitColumns();
    void fillLists(const QList<TDiffRow> &rows);
    QList<int> actingRows() const;
    void mirrorSelection(QTreeWidget *from, QTreeWidget *to);
    void startVersionControl(int op);
    void setListed(bool listed);

    TVersionSession m_session;
    QPointer<THintFrmXe> PHintFrm;
    TShowDiffTexts m_texts;
    QList<TFileItem> FServerList;
    QList<TFileItem> FLocalList;
    QList<TDiffRow> m_rows;
    QString m_serverPath;
    quint64 m_generation = 0;
    bool m_busy = false;
    bool m_comparing = false;   // past the path view
    bool m_syncing = false;
    bool m_listed = false;
    QWidget *m_compare = nullptr;
    QString m_shownFolder;
};
