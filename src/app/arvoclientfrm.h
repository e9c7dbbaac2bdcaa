#pragma once
// The resident main window and owner of the session: a borderless window with
// an icon bar and a work area, living in the notification area. While a user is
// logged in its 500 ms timer runs the background duties.
#include "app/clipboardaccess.h"
#include "app/loginfrm.h"
#include "app/qrloginfrm.h"
#include "app/session.h"
#include "core/resultcodes.h"
#include "platform/savedpassword.h"
#include "web/webmodule.h"

#include <QPointer>
#include <QWidget>
#include <memory>
#include <mutex>

class QLabel;
class QMenu;
class QStackedWidget;
class QSystemTrayIcon;
class QTimer;
class QToolButton;
class TAppEditing;
class TBatchFileDealMainFrm;
class TCaptureCommands;
struct TBatchTransport;
class TClientConfigX;
class TFileMagFrm;
class TMainDuties;
class TMessageNoticeFrm;
class TPreViewHint;
class TVersionWindows;
class TPreviewWindows;

// What web commands reach in the running client.
class TAppWebTarget : public TWebCommandTarget
{
public:
    TAppWebTarget(std::shared_ptr<TSessionBackend> backend, TClipboardAccess &clipboard)
        : m_backend(std::move(backend))
        , m_clipboard(clipboard)
    {
    }
    void SetClipboardText(const QString &text) override { m_clipboard.SetText(text); }
    bool OpenWithDesktop(const QString &path, QString *reason) override;
    bool DownloadForOpen(qint64 fileKey, qint64 version, const QString &localPath, QString *error) override;

    // Set on the GUI thread at login, before any command runs.
    void SetSession(const TServerAddress &server, const QString &encryptId, THS_Language language);
    // Called on a worker thread when a fetched file has no program to open it.
    std::function<void(const QString &folder)> OnNoProgram;
    // Command 25, on the GUI thread.
    std::function<bool(const QList<qint64> &keys, const QStringList &names, QString *error)> OnBulkDownload;
    bool BulkDownload(const QList<qint64> &keys, const QStringList &names, QString *error) override
    {
        return OnBulkDownload ? OnBulkDownload(keys, names, error) : TWebCommandTarget::BulkDownload(keys, names, error);
    }
    // Commands 16 to 20, on the GUI thread.
    std::function<bool(qint64 folderId, QString *error)> OnChooseWorkPath;
    std::function<bool(qint64 ownerId, qint64 folderId, QString *error)> OnFetchNewest;
    std::function<bool(int code, const QList<qint64> &keys, const QStringList &names, QString *error)> OnVersionControl;
    bool ChooseWorkPath(qint64 folderId, QString *error) override
    {
        return OnChooseWorkPath ? OnChooseWorkPath(folderId, error) : TWebCommandTarget::ChooseWorkPath(folderId, error);
    }
    bool FetchNewest(qint64 ownerId, qint64 folderId, QString *error) override
    {
        return OnFetchNewest ? OnFetchNewest(ownerId, folderId, error)
                             : TWebCommandTarget::FetchNewest(ownerId, folderId, error);
    }
    bool VersionControl(int code, const QList<qint64> &keys, const QStringList &names, QString *error) override
    {
        return OnVersionControl ? OnVersionControl(code, keys, names, error)
                                : TWebCommandTarget::VersionControl(code, keys, names, error);
    }
    // Command 15, on the GUI thread.
    std::function<bool(qint64 key, const QString &name, QString *error)> OnEditOffice, OnEditText;
    bool EditOffice(qint64 key, const QString &name, QString *error) override
    {
        return OnEditOffice ? OnEditOffice(key, name, error) : TWebCommandTarget::EditOffice(key, name, error);
    }
    bool EditText(qint64 key, const QString &name, QString *error) override
    {
        return OnEditText ? OnEditText(key, name, error) : TWebCommandTarget::EditText(key, name, error);
    }
    // Commands 21 to 23, on the GUI thread.
    std::function<bool(qint64 ownerId, qint64 folderId, qint64 arcId, QString *error)> OnScan;
    std::function<bool(qint64 ownerId, qint64 folderId, QString *error)> OnUploadClipboard;
    std::function<bool(const QString &params, QString *error)> OnMailTest;
    bool Scan(qint64 ownerId, qint64 folderId, qint64 arcId, QString *error) override
    {
        return OnScan ? OnScan(ownerId, folderId, arcId, error) : TWebCommandTarget::Scan(ownerId, folderId, arcId, error);
    }
    bool UploadClipboard(qint64 ownerId, qint64 folderId, QString *error) override
    {
        return OnUploadClipboard ? OnUploadClipboard(ownerId, folderId, error)
                                 : TWebCommandTarget::UploadClipboard(ownerId, folderId, error);
    }
    bool MailTest(const QString &params, QString *error) override
    {
        return OnMailTest ? OnMailTest(params, error) : TWebCommandTarget::MailTest(params, error);
    }
    // Command 13, on the GUI thread.
    std::function<bool(const QString &cmd, QString *error)> OnPreview;
    bool Preview(const QString &cmd, QString *error) override
    {
        return OnPreview ? OnPreview(cmd, error) : TWebCommandTarget::Preview(cmd, error);
    }

private:
    // Shared with a command that may still run after the window went.
    std::shared_ptr<TSessionBackend> m_backend;
    TClipboardAccess &m_clipboard;  // GUI thread only, while the window lives
    std::mutex m_lock;             // the session values are read by workers
    TServerAddress m_server;
    QString m_encryptId;
};

class TARVOClientFrm : public QWidget
{
    Q_OBJECT
public:
    TARVOClientFrm(TClientConfigX &config, std::shared_ptr<TSessionBackend> backend, const QString &exePath,
                   QWidget *parent = nullptr);
    ~TARVOClientFrm() override;

    TSession &Session() { return m_session; }
    TPreviewWindows *PreviewWindows() const { return m_previewWindows; }
    TAppEditing *Editing() const { return m_editing; }
    TCaptureCommands *Capture() const { return m_capture; }
    TMainDuties &Duties() { return *m_duties; }
    TWebModule &WebModule() { return *PWebModule; }
    QString StatusText() const;
    // The small hint window: keyring and tray notices, web command errors.
    TPreViewHint *Hint() const { return m_hint; }
    // Whether closing hides to a tray icon; otherwise the window is minimised.
    bool HasTray() const;
    bool BClose = false;

    // The start-up login sequence; runs once, at the first activation.
    void StartLoginSequence();
    // Dialog path, also from the settings menu. Modal; returns whether a session exists.
    bool ShowLoginDialog();
    // For tests: the dialog that is open, if any.
    TLoginFrm *LoginDialog() const { return FLoginFrm; }
    TFileMagFrm *FileMagFrm() const { return PFileMagFrm; }
    TBatchFileDealMainFrm *BatchFrm() const { return PBatchFrm; }
    TVersionWindows *VersionWindows() const { return m_versions; }
    TDuziDezLoginFrm *QrLoginDialog() const { return FQrLoginFrm; }

    // Where scan-code login gets its browser; without one it explains why not.
    struct TBrowserProvider {
        std::function<QString(bool chinese)> UnavailableReason;
        TDuziDezLoginFrm::BrowserFactory Create;
    };
    void SetBrowserProvider(TBrowserProvider provider) { m_browsers = std::move(provider); }
    // Message 1526: scan-code login, then the dialog again when it did not succeed.
    bool UMQRLogin();

public Q_SLOTS:
    // Messages by number: from the instance channel and from child windows.
    void handleMessage(int number, qint64 wParam, qint64 lParam);
    void UMTrayIcon(qint64 lParam);
    void UMBringToFront();
    void HideToTray();
    void LogOutAndExit();
    // Ends the session but not the client: the login dialog comes back.
    void LogOut();

Q_SIGNALS:
    void loginStateChanged(bool loggedIn);

protected:
    void closeEvent(QCloseEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildUi();
    void ensureTray();
    void establishSession(bool storeServer);
    void autoLogin(const SavedPassword::TReadResult &read);
    void showPlaceNotice(const QString &notice);
    void postLoginFetches();
    void showMessageNotice();
    void openHomePage();
    void clearStaleClipboard();
    void loadLogo();
    void appendBatchTask(const TBatchTransport &task);
    void noticeLanguageChange();
    void takeBatchCommand(const QString &text);
    QString t(const char *cn, const char *en) const;
    // The language of every text on this screen, the file manager's included.
    THS_Language screenLanguage() const { return FHS_Language == HSL_CN ? HSL_CN : HSL_ENG; }
    void saveLayout();
    void restoreLayout();

    TClientConfigX &m_config;
    std::shared_ptr<TSessionBackend> m_backend;
    QString m_exePath;
    THS_Language FHS_Language;
    THS_Language m_languageTold = HSL_NONE;   // the stored language already announced
    QString FClientPath;
    QString FLogoPath;
    TSession m_session;
    TSystemClipboard m_clipboard;
    std::shared_ptr<TAppWebTarget> m_webTarget;
    TVersionWindows *m_versions = nullptr;
    std::unique_ptr<TWebModule> PWebModule;
    TMainDuties *m_duties = nullptr;
    TPreViewHint *m_hint = nullptr;
    TPreviewWindows *m_previewWindows = nullptr;
    TAppEditing *m_editing = nullptr;
    TCaptureCommands *m_capture = nullptr;
    QPointer<TMessageNoticeFrm> m_messageNotice;
    QPointer<TLoginFrm> FLoginFrm;
    QPointer<TDuziDezLoginFrm> FQrLoginFrm;
    TBrowserProvider m_browsers;
    bool m_firstShow = true;
    bool m_toldNoTray = false;

    QLabel *imgLog = nullptr;
    QToolButton *imgHome = nullptr;
    QToolButton *imgUpload = nullptr;
    QToolButton *imgFiles = nullptr;
    QToolButton *imgConfig = nullptr;
    QToolButton *imgExit = nullptr;
    QWidget *plUserInfo = nullptr;
    QLabel *m_status = nullptr;
    QWidget *plWork = nullptr;
    QStackedWidget *m_pages = nullptr;
    TFileMagFrm *PFileMagFrm = nullptr;
    TBatchFileDealMainFrm *PBatchFrm = nullptr;
    QMenu *pmTools = nullptr;
    QMenu *PopupMenu2 = nullptr;
    QAction *m_logOut = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    QTimer *TimerMsg = nullptr;
};
