#pragma once
// The file manager: the organisation or an owner's folder tree on the left, the
// chosen folder's rows with check boxes on the right, a tool bar above. Server
// work runs on pool threads; this window only draws and reacts.
#include "files/filelistmodel.h"
#include "files/filetexts.h"
#include "batch/batchtransport.h"
#include "model/serverconn.h"

#include <QElapsedTimer>
#include <QHash>
#include <QIcon>
#include <QStyle>
#include <QTimer>
#include <QPointer>
#include <QSet>
#include <QUrl>
#include <QWidget>

#include <functional>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QStackedWidget;
class QToolBar;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;
class TClientConfigX;
class TFileDelFrm;
class TFileDownloadFrm;
class TFileUploadFrm;

// What the file manager needs of the logged-in session, as one snapshot.
struct TFileMagSession {
    TServerConn Conn;
    qint32 UserId = 0;
    QString UserName;
    QString WorkRoot;
    QString ConfigFolder;   // where the hand-off file goes
    qint64 LastGroupId = 0;

    static TFileMagSession FromConfig(const TClientConfigX &config);
};

class TFileMagFrm : public QWidget
{
    Q_OBJECT
public:
    explicit TFileMagFrm(QWidget *parent = nullptr, THS_Language language = HSL_NONE);
    ~TFileMagFrm() override;

    // After login and on Refresh: (re)loads the organisation tree.
    void SetSession(const TFileMagSession &session);
    void Init();
    void ToFront();
    void ToTopFolder();
    void UMSelectedOwner2();   // message 1139

    // Tool bar and menu actions.
    void Refresh();
    void Upload();
    void Download();
    void Preview();
    void Delete();
    void Summary();
    void NewFolder();
    void RenameFolder();
    // Hand a bulk task of the current folder to the main window (only while FOnBatchFileDeal is set).
    void BulkUpload();
    void BulkDownload();
    // Check out (18), cancel the check-out (19) or check in (20) the checked files.
    void VersionAction(int op);
    // The comparison of the current folder with its local work folder.
    void ShowDiff();
    // Empties the list and fetches it again (after a check-out or check-in).
    void ReloadList();
    // Content of a server folder changed through this client; the open list follows shortly.
    void FolderChanged(qint64 ownerId, qint64 folderId);
    // Files or folders dropped onto the list (also from a test).
    void DropPaths(const QStringList &paths);
    // Actions whose dialogs are not part of this client yet all end here.
    void NotAvailableYet(const QString &action);

    qint32 FGroupId = -1;
    qint64 FFolderId = 0;
    qint64 FLastId = 0;
    QString FAppPath;
    bool FAllowDBClickEvent = true;

    // A new bulk task (TBatchTransport) for the batch task manager.
    std::function<void(const TBatchTransport &)> FOnBatchFileDeal;

    // Version control lives in a later module; the application plugs it in.
    std::function<void(int op, const QStringList &keys, const QStringList &names)> FOnVersionControl;
    std::function<void(qint32 ownerId, qint64 folderId)> FOnShowDiff;

    // Opens a web page; replaceable so tests never start a browser.
    // True when a window of this client previews a file of this name (set by the application).
    std::function<bool(const QString &fileName)> FShowsInClient;
    std::function<bool(const QUrl &)> FOpenUrl;
    // Asks for a folder name (name holds the starting text); false when cancelled.
    // Replaceable so tests answer instead of the modal dialog.
    std::function<bool(QString &name)> FAskFolderName;

    TFileListModel &Model() { return *m_model; }
    QTreeWidget *tvOrg = nullptr;
    QTreeWidget *tvFolder = nullptr;
    QTreeView *lvFiles = nullptr;
    QCheckBox *chbAllFile = nullptr;
    QLineEdit *edSearch = nullptr;
    QLabel *plWait = nullptr;
    QLabel *lblTicked = nullptr;   // how many rows are ticked, searches included
    QToolBar *tbTools = nullptr;
    QStackedWidget *m_left = nullptr;
    QPointer<TFileUploadFrm> LastUploadFrm() const { return m_upload; }
    QPointer<TFileDownloadFrm> LastDownloadFrm() const { return m_download; }
    QPointer<TFileDelFrm> LastDeleteFrm() const { return m_delete; }

    // Node helpers: data is the owner or folder id, image the load state.
    static int NodeData(const QTreeWidgetItem *item);
    static int NodeImage(const QTreeWidgetItem *item);

    // Column widths, kept between launches by the main window.
    QByteArray ColumnState() const;
    void RestoreColumnState(const QByteArray &state);
    // The name column never starts narrower than a typical document name.
    int NameColumnMinimum() const;
    // Ends the session's view: trees and list empty, answers on their way dropped.
    void ClearSession();
    // Where the next download proposes to save; the last folder the user chose.
    QString FLastDownloadPath;
    // Places a dialog of this window over the main window's centre.
    void PlaceOver(QWidget *dialog) const;

Q_SIGNALS:
    void orgLoaded();
    void foldersLoaded(QTreeWidgetItem *node);
    void listLoaded();
    void folderAdded(QTreeWidgetItem *node);
    void folderRenamed(QTreeWidgetItem *node);
    void dropUploadFinished();
    // The delete window's rows are done and the folder is being fetched again.
    void deleteFinished();

private:
    void buildUi();
    void chooseOwner(QTreeWidgetItem *item);
    void folderSelected(QTreeWidgetItem *node);
    void fillSubFolders(QTreeWidgetItem *node);
    // The ticks of rows whose key is in keepTicked survive the new list.
    void loadList(const QSet<qint64> &keepTicked = {});
    void reloadKeepingTicks();
    // Empties the file list; a list still on its way is no longer wanted.
    void clearList();
    void afterDelete(const QSet<qint64> &deletedFolders);
    void openFolderRow(int row);
    QTreeWidgetItem *addNode(QTreeWidgetItem *parent, const QString &caption, int data, int image);
    void setImage(QTreeWidgetItem *item, int image);
    QIcon icon(QStyle::StandardPixmap which);
    bool chooseRows(bool filesOnly, bool exactlyOne, TSelectedInfos &out);
    void showError(const QString &text);
    void showInfo(const QString &text);
    void contextMenu(const QPoint &pos, bool onList);
    void previewFile(const TSelectedInfo &file);
    void updateTicked(int count);
    void fitNameColumn();
    bool eventFilter(QObject *watched, QEvent *event) override;

    TFileMagSession m_session;
    THS_Language FHS_Language = HSL_NONE;
    TFileMagTexts m_texts;
    TFileListModel *m_model = nullptr;
    quint64 m_listGeneration = 0;
    quint64 m_treeGeneration = 0;   // bumped whenever the folder tree is rebuilt
    quint64 m_orgGeneration = 0;    // bumped whenever the organisation is asked for again
    QPointer<TFileUploadFrm> m_upload;
    QPointer<TFileDownloadFrm> m_download;
    QPointer<TFileDelFrm> m_delete;
    QObject *m_dropTarget = nullptr;   // the list's viewport
    QObject *m_folderViewport = nullptr;
    QMenu *pmList = nullptr;
    QMenu *pmFolder = nullptr;
    QByteArray m_columnState;
    bool m_userSizedColumns = false;   // the user's widths are kept as they are
    bool m_fittingColumns = false;     // our own resizing, not the user's
    QElapsedTimer m_ownerChosen;   // when a click last chose an owner
    QTimer m_reloadSoon;           // several stored files reload the list once
    QHash<int, QIcon> m_icons;
};
