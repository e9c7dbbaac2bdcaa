#include "app/arvoclientfrm.h"

#include "app/appediting.h"
#include "app/capturecommands.h"
#include "app/loginfrm.h"
#include "app/logging.h"
#include "app/mainduties.h"
#include "app/qrloginfrm.h"
#include "app/settingsfrms.h"
#include "batchui/batchdownloadfrm.h"
#include "batchui/batchfiledealmainfrm.h"
#include "app/noticefrms.h"
#include "core/clientconfigx.h"
#include "core/folders.h"
#include "core/textfile.h"
#include "core/wmessages.h"
#include "core/workpools.h"
#include "files/filemagfrm.h"
#include "versions/versionwindows.h"
#include "platform/desktopopener.h"
#include "platform/embeddedbrowser.h"
#include "platform/memorytrim.h"
#include "platform/prompter.h"
#include "platform/savedpassword.h"
#include "platform/styleicons.h"
#include "preview/previewplugin.h"
#include "preview/previewwindows.h"
#include "preview/viewerchoice.h"
#include "net/webendpoints.h"
#include "web/previewhint.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImage>
#include <QLineEdit>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QSettings>
#include <QStackedWidget>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>


namespace {
constexpr int kFrame = 5;  // grab width of the borderless window's edges
constexpr int kSettleMs = 10000;   // after a login, when the heap is trimmed
} // namespace

bool TAppWebTarget::OpenWithDesktop(const QString &path, QString *reason)
{
    if (DesktopOpener::OpenFile(path, reason, m_language == HSL_CN))
        return true;
    if (OnNoProgram)
        OnNoProgram(QFileInfo(path).absolutePath());
    return false;
}

bool TAppWebTarget::DownloadForOpen(qint64 fileKey, qint64 version, const QString &localPath, QString *error)
{
    TServerAddress server;
    QString encryptId;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        server = m_server;
        encryptId = m_encryptId;
    }
    return m_backend->DownloadFile(server, encryptId, m_language, fileKey, version, localPath, error);
}

void TAppWebTarget::SetSession(const TServerAddress &server, const QString &encryptId, THS_Language language)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_server = server;
    m_encryptId = encryptId;
    SetLanguage(language);
}

TARVOClientFrm::TARVOClientFrm(TClientConfigX &config, std::shared_ptr<TSessionBackend> backend, const QString &exePath,
                               QWidget *parent)
    : QWidget(parent)
    , m_config(config)
    , m_backend(backend)
    , m_exePath(exePath)
    , FHS_Language(config.Language())
    , FClientPath(GetConfigFolder())
    , m_session(config)
    , m_webTarget(std::make_shared<TAppWebTarget>(m_backend, m_clipboard))
{
    FLogoPath = FClientPath
                + (FHS_Language == HSL_ENG ? QLatin1String("clientLogo2_ENG.png") : QLatin1String("clientLogo2.png"));
    buildUi();

    m_hint = new TPreViewHint(FHS_Language, this);
    m_webTarget->OnNoProgram = [hint = QPointer<TPreViewHint>(m_hint)](const QString &folder) {
        QMetaObject::invokeMethod(qApp, [hint, folder] {
            if (hint)
                hint->OfferFolder(folder);
        }, Qt::QueuedConnection);
    };
    PWebModule = std::make_unique<TWebModule>(m_webTarget, FHS_Language, FClientPath, GetTempFolder());
    connect(PWebModule.get(), &TWebModule::hintText, m_hint, &TPreViewHint::ShowText);
    m_versions = new TVersionWindows([this] { return TVersionSession::FromConfig(m_config, FClientPath); }, FHS_Language, this);
    m_webTarget->OnChooseWorkPath = [this](qint64 folderId, QString *error) { return m_versions->ChooseWorkPath(folderId, error); };
    m_webTarget->OnFetchNewest = [this](qint64 ownerId, qint64 folderId, QString *error) {
        return m_versions->FetchNewest(ownerId, folderId, error);
    };
    m_webTarget->OnVersionControl = [this](int code, const QList<qint64> &keys, const QStringList &names, QString *error) {
        return m_versions->VersionControl(code, keys, names, error);
    };
    PFileMagFrm->FOnVersionControl = [this](int op, const QStringList &keys, const QStringList &names) {
        auto reload = [fm = QPointer<TFileMagFrm>(PFileMagFrm)] {
            if (fm)
                fm->ReloadList();
        };
        if (op == 18)
            m_versions->CheckOut(keys, names, reload);
        else if (op == 20)
            m_versions->CheckIn(keys, names, reload);
        else
            m_versions->CancelCheckout(keys, names, reload);
    };
    PFileMagFrm->FOnShowDiff = [this](qint32 ownerId, qint64 folderId) { m_versions->ShowDiff(ownerId, folderId); };
    CleanPreviewCopies(GetTempFolder());
    const TPreviewRect rect = m_config.PreviewRect();
    m_previewWindows = new TPreviewWindows(QRect(rect.Left, rect.Top, rect.Width, rect.Height), this);
    m_previewWindows->FSaveRect = [this](const QRect &r) {
        m_config.SetPreviewRect({r.left(), r.top(), r.width(), r.height()});
        m_config.Save();
    };
    m_webTarget->OnPreview = [this](const QString &cmd, QString *error) {
        // The viewers are loaded at the first preview.
        const TPreviewRun run{TServerConn::FromConfig(m_config), GetTempFolder(), m_hint, m_previewWindows,
                              FClientPath + QLatin1String("FileTypeRelation.txt"), cmd};
        return RunPreviewCommand(run, error);
    };

    m_duties = new TMainDuties(m_config, m_backend, m_clipboard, &NowDateTime, this);
    connect(m_duties, &TMainDuties::webMessage, this, [this] { PWebModule->DoWebMessage(); });
    connect(m_duties, &TMainDuties::messagesWaiting, this, &TARVOClientFrm::showMessageNotice);
    m_duties->HasBatchWindow = true;
    connect(m_duties, &TMainDuties::batchCommand, this, &TARVOClientFrm::takeBatchCommand);
    m_webTarget->OnBulkDownload = [this](const QList<qint64> &keys, const QStringList &names, QString *) {
        // Modal without a nested loop: the timer's duties go on while it runs.
        auto *dialog = new TBatchDownloadFrm(m_config, FHS_Language, this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowModality(Qt::ApplicationModal);
        dialog->Init(keys, names);
        dialog->open();
        dialog->raise();
        dialog->activateWindow();
        return true;
    };
    m_editing = new TAppEditing(m_config, FHS_Language, this);
    m_capture = new TCaptureCommands(m_config, screenLanguage(), this);
    m_webTarget->OnScan = [this](qint64 ownerId, qint64 folderId, qint64 arcId, QString *error) {
        return m_capture->Scan(ownerId, folderId, arcId, error);
    };
    m_webTarget->OnUploadClipboard = [this](qint64 ownerId, qint64 folderId, QString *error) {
        return m_capture->UploadClipboard(ownerId, folderId, error);
    };
    m_webTarget->OnMailTest = [this](const QString &params, QString *error) { return m_capture->MailTest(params, error); };
    m_webTarget->OnEditOffice = [this](qint64 key, const QString &name, QString *error) {
        return m_editing->EditOffice(key, name, error);
    };
    m_webTarget->OnEditText = [this](qint64 key, const QString &name, QString *error) {
        return m_editing->EditText(key, name, error);
    };
    m_duties->HasEditMonitor = true;
    connect(m_duties, &TMainDuties::editCommand, this, [this](const QString &text) {
        const bool visible = isVisible();
        PFileMagFrm->Init();
        m_pages->setCurrentWidget(PFileMagFrm);
        UMBringToFront();
        m_editing->TakeEditCommand(text, visible);
        handleMessage(wm::ReloadOrg, 0, 0);
    });
    // A client started only for an edit ends after it, but not under running work.
    m_editing->SetExitGuards([this] { return (PBatchFrm && PBatchFrm->GetUnOverTaskNum() > 0) || m_versions->IsBusy(); },
                             [this] { return isVisible(); });
    connect(m_editing, &TAppEditing::exitRequested, this, [this] {
        BClose = true;
        close();
    });

    TimerMsg = new QTimer(this);
    TimerMsg->setInterval(500);
    connect(TimerMsg, &QTimer::timeout, this, [this] { m_duties->Tick(m_session.FIsLogin); });
    TimerMsg->start();
    restoreLayout();
}

TARVOClientFrm::~TARVOClientFrm()
{
    saveLayout();
    m_webTarget->OnChooseWorkPath = nullptr;
    m_webTarget->OnFetchNewest = nullptr;
    m_webTarget->OnVersionControl = nullptr;
    m_webTarget->OnBulkDownload = nullptr;
    m_webTarget->OnPreview = nullptr;
    m_webTarget->OnEditOffice = nullptr;
    m_webTarget->OnEditText = nullptr;
    m_webTarget->OnScan = nullptr;
    m_webTarget->OnUploadClipboard = nullptr;
    m_webTarget->OnMailTest = nullptr;
    delete m_previewWindows;   // keeps the last preview's place
    CleanPreviewCopies(GetTempFolder());
    m_session.OnDestroy();
    if (m_tray)
        m_tray->hide();
}

QString TARVOClientFrm::t(const char *cn, const char *en) const
{
    return FHS_Language == HSL_CN ? QString::fromUtf8(cn) : QString::fromUtf8(en);
}

void TARVOClientFrm::buildUi()
{
    setObjectName(QStringLiteral("TARVOClientFrm"));
    setWindowTitle(QStringLiteral("Kv client tools"));
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setFont(FHS_Language == HSL_CN ? QFont(QStringLiteral("宋体"), 9) : QFont(QStringLiteral("Tahoma"), 9));
    setWindowIcon(StyleIcon(QStyle::SP_DriveNetIcon));
    resize(800, 640);
    setMouseTracking(true);

    auto *bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("iconBar"));
    bar->setStyleSheet(QStringLiteral("#iconBar { background: #2b3a4a; } QToolButton { border: none; color: white; "
                                      "padding: 6px; } QToolButton:hover { background: #3f5870; }"));
    // A long caption breaks after its slash, so the bar leaves the file
    // manager's tools room; the bar is as wide as the longest line.
    auto caption = [](const QString &hint) {
        QString c = hint;
        return c.replace(u'/', QStringLiteral("/\n"));
    };
    {
        const QFontMetrics fm(font());
        int widest = 0;
        for (const QString &hint : {t("首页", "Main page"), t("批量上传下载", "Bulk upload/download"),
                                    t("文件管理", "File management"), t("设置", "Settings"), t("退出客户端", "Exit")})
            for (const QString &line : caption(hint).split(u'\n'))
                widest = qMax(widest, fm.horizontalAdvance(line));
        bar->setFixedWidth(qMax(96, widest + 24));
    }
    auto *barLayout = new QVBoxLayout(bar);
    barLayout->setContentsMargins(4, 8, 4, 8);
    imgLog = new QLabel(bar);
    imgLog->setAlignment(Qt::AlignCenter);
    imgLog->setPixmap(windowIcon().pixmap(48, 48));
    barLayout->addWidget(imgLog);
    auto addIcon = [&](QToolButton *&b, QStyle::StandardPixmap icon, const QString &hint, const char *name) {
        b = new QToolButton(bar);
        b->setObjectName(QLatin1String(name));
        b->setIcon(StyleIcon(icon, true));
        b->setIconSize(QSize(32, 32));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setText(caption(hint));
        b->setToolTip(hint);
        b->setAutoRaise(true);
        barLayout->addWidget(b);
    };
    addIcon(imgHome, QStyle::SP_DirHomeIcon, t("首页", "Main page"), "imgHome");
    addIcon(imgUpload, QStyle::SP_ArrowUp, t("批量上传下载", "Bulk upload/download"), "imgUpload");
    addIcon(imgFiles, QStyle::SP_DirOpenIcon, t("文件管理", "File management"), "imgFiles");
    addIcon(imgConfig, QStyle::SP_FileDialogDetailedView, t("设置", "Settings"), "imgConfig");
    barLayout->addStretch();
    addIcon(imgExit, QStyle::SP_DialogCloseButton, t("退出客户端", "Exit"), "imgExit");

    plWork = new QWidget(this);
    auto *workLayout = new QVBoxLayout(plWork);
    workLayout->setContentsMargins(0, 0, 0, 0);
    workLayout->setSpacing(0);
    plUserInfo = new QWidget(plWork);
    plUserInfo->setObjectName(QStringLiteral("plUserInfo"));
    plUserInfo->setStyleSheet(QStringLiteral("#plUserInfo { background: #e8eef4; }"));
    plUserInfo->installEventFilter(this);
    auto *infoLayout = new QHBoxLayout(plUserInfo);
    infoLayout->setContentsMargins(4, 2, 4, 2);
    m_status = new QLabel(QStringLiteral("    ") + t("未登录...", "Not logged in"), plUserInfo);
    m_status->setObjectName(QStringLiteral("status"));
    infoLayout->addWidget(m_status, 1);
    auto addWinButton = [&](QStyle::StandardPixmap icon, const char *name) {
        auto *b = new QToolButton(plUserInfo);
        b->setObjectName(QLatin1String(name));
        b->setIcon(StyleIcon(icon));
        b->setAutoRaise(true);
        infoLayout->addWidget(b);
        return b;
    };
    QToolButton *imgMin = addWinButton(QStyle::SP_TitleBarMinButton, "imgMin");
    QToolButton *imgNormal = addWinButton(QStyle::SP_TitleBarMaxButton, "imgNormal");
    QToolButton *imgClose = addWinButton(QStyle::SP_TitleBarCloseButton, "imgClose");
    workLayout->addWidget(plUserInfo);

    m_pages = new QStackedWidget(plWork);
    PFileMagFrm = new TFileMagFrm(m_pages, screenLanguage());
    m_pages->addWidget(PFileMagFrm);
    PBatchFrm = new TBatchFileDealMainFrm(m_pages, screenLanguage());
    PBatchFrm->SetConfig(&m_config);
    m_pages->addWidget(PBatchFrm);
    PFileMagFrm->FOnBatchFileDeal = [this](const TBatchTransport &task) { appendBatchTask(task); };
    PFileMagFrm->FShowsInClient = [](const QString &name) { return ShowsInClient(name, TLocalSoftwareProbe()); };
    workLayout->addWidget(m_pages, 1);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(plWork, 1);

    // These captions are Chinese in both languages.
    pmTools = new QMenu(this);
    QAction *tnLogin = pmTools->addAction(QStringLiteral("系统登录"));
    pmTools->addSeparator();
    QAction *tnServerUrl = pmTools->addAction(QStringLiteral("服务器地址"));
    QAction *tnWork = pmTools->addAction(QStringLiteral("工作目录"));
    QAction *N2 = pmTools->addAction(QStringLiteral("修改密码"));
    connect(tnLogin, &QAction::triggered, this, [this] {
        if (!m_session.FIsLogin)
            ShowLoginDialog();
    });
    connect(tnServerUrl, &QAction::triggered, this, [this] {
        TSetServerHostFrm frm(m_config, this);
        frm.exec();
    });
    connect(tnWork, &QAction::triggered, this, [this] {
        TWorkPathFrm frm(m_config, this);
        frm.exec();
    });
    // Shown, so that a user can change the password once logged in.
    connect(N2, &QAction::triggered, this, [this] {
        if (m_config.OwnerId2() <= 0) {
            TPrompter::Instance().Info(this, t("提示", "Hint"), t("请先登录系统！", "Please login"));
            return;
        }
        TUpdateUserPasswordFrm frm(m_config, this);
        frm.exec();
    });

    PopupMenu2 = new QMenu(this);
    connect(PopupMenu2->addAction(t("打开", "Open")), &QAction::triggered, this, &TARVOClientFrm::UMBringToFront);
    m_logOut = PopupMenu2->addAction(t("注销", "Log out"));
    m_logOut->setEnabled(false);
    connect(m_logOut, &QAction::triggered, this, &TARVOClientFrm::LogOut);
    PopupMenu2->addSeparator();
    QAction *miCloseFrm = PopupMenu2->addAction(t("关闭客户端系统", "Close client"));
    connect(miCloseFrm, &QAction::triggered, this, &TARVOClientFrm::LogOutAndExit);

    connect(imgHome, &QToolButton::clicked, this, &TARVOClientFrm::openHomePage);
    connect(imgUpload, &QToolButton::clicked, this, [this] { m_pages->setCurrentWidget(PBatchFrm); });
    connect(imgFiles, &QToolButton::clicked, this, [this] { m_pages->setCurrentWidget(PFileMagFrm); });
    connect(imgConfig, &QToolButton::clicked, this, [this] { pmTools->popup(QCursor::pos()); });
    connect(imgExit, &QToolButton::clicked, this, &TARVOClientFrm::LogOutAndExit);
    connect(imgMin, &QToolButton::clicked, this, &TARVOClientFrm::HideToTray);
    connect(imgNormal, &QToolButton::clicked, this, [this] { isMaximized() ? showNormal() : showMaximized(); });
    connect(imgClose, &QToolButton::clicked, this, &QWidget::close);

    ensureTray();
    loadLogo();
}

void TARVOClientFrm::ensureTray()
{
    // Started with the session, the client may be up before the desktop's panel:
    // the icon is made whenever a tray is there and none exists yet.
    if (m_tray || !QSystemTrayIcon::isSystemTrayAvailable())
        return;
    m_tray = new QSystemTrayIcon(windowIcon(), this);
    m_tray->setToolTip(QStringLiteral("Kelvo Client"));
    m_tray->setContextMenu(PopupMenu2);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger)
            UMTrayIcon(wm::LeftButtonDown);
    });
    m_tray->show();
}

void TARVOClientFrm::appendBatchTask(const TBatchTransport &task)
{
    m_pages->setCurrentWidget(PBatchFrm);
    PBatchFrm->AppendTask(task);
}

void TARVOClientFrm::takeBatchCommand(const QString &text)
{
    PBatchFrm->FPendingTask = text;
    PFileMagFrm->Init();
    UMBringToFront();
    handleMessage(wm::RobotStartAll, 0, 0);
    m_pages->setCurrentWidget(PBatchFrm);
    PBatchFrm->AppendTask();
}

void TARVOClientFrm::loadLogo()
{
    QImage logo(FLogoPath);
    if (logo.isNull())
        return;
    // As many device pixels as the screen shows, so a high-density screen shows it sharp.
    const qreal dpr = devicePixelRatioF();
    const int side = qRound(80 * dpr);
    QPixmap pm = QPixmap::fromImage(logo.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    pm.setDevicePixelRatio(dpr);
    imgLog->setPixmap(pm);
}

QString TARVOClientFrm::StatusText() const
{
    return m_status->text();
}

void TARVOClientFrm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_firstShow) {
        m_firstShow = false;
        QTimer::singleShot(0, this, &TARVOClientFrm::StartLoginSequence);
    }
}

void TARVOClientFrm::clearStaleClipboard()
{
    if (IsStaleClipboardCommand(m_clipboard.Text()))
        m_clipboard.SetText(QStringLiteral("  "));
}

void TARVOClientFrm::StartLoginSequence()
{
    if (m_session.FLoginOver)
        return;
    m_session.FLoginOver = true;
    if (m_session.TryWebSession()) {
        establishSession(true);
        return;
    }
    if (!m_session.WantsAutoLogin()) {
        clearStaleClipboard();
        ShowLoginDialog();
        return;
    }
    clearStaleClipboard();
    m_status->setText(QStringLiteral("    ") + t("正在登录...", "Logging in..."));
    // The desktop keyring may still be starting or locked: wait for it without blocking.
    auto *reader = new SavedPassword::TReader(this);
    connect(reader, &SavedPassword::TReader::waiting, this, [this] {
        if (!m_session.FIsLogin)
            m_status->setText(QStringLiteral("    ") + t("正在等待桌面密钥环...", "Waiting for the desktop keyring..."));
    });
    connect(reader, &SavedPassword::TReader::finished, this, [this, reader](const SavedPassword::TReadResult &read) {
        reader->deleteLater();
        autoLogin(read);
    });
    reader->Start(m_config, TSession::kKeyringReadMs);
}

void TARVOClientFrm::autoLogin(const SavedPassword::TReadResult &read)
{
    m_session.SetSavedPassword(read.Password);
    if (!read.Ok) {
        qCInfo(lcApp).noquote() << read.Error;
        if (!m_session.FIsLogin) {
            m_status->setText(QStringLiteral("    ") + t("未登录...", "Not logged in"));
            ShowLoginDialog();
        }
        return;
    }
    const TServerAddress server = m_session.Server();
    const QString name = m_session.SavedLoginName();
    const QString password = read.Password;
    const THS_Language language = FHS_Language;
    std::shared_ptr<TSessionBackend> backend = m_backend;
    m_status->setText(QStringLiteral("    ") + t("正在登录...", "Logging in..."));
    struct Outcome {
        bool ok = false;
        TLoginResult r;
    };
    RunOnPool(RequestPool(), this, [backend, server, name, password, language] {
        Outcome o;
        if (server.Host.isEmpty() || server.Port < 1)
            return o;
        o.ok = backend->Login(server, language, name, password, o.r, nullptr);
        return o;
    }, [this, password, fromFile = read.Place == SavedPassword::TPlace::File](const Outcome &o) {
        // The user logged in by hand meanwhile, or is doing so: that session wins.
        if (m_session.FIsLogin || FLoginFrm || FQrLoginFrm)
            return;
        if (o.ok) {
            m_session.AcceptAutoLogin(o.r);
            establishSession(true);
            // A password still in the file moves to the keyring when one answers now.
            if (fromFile)
                SavedPassword::StoreAsync(m_config, password, this, [this](SavedPassword::TPlace, const QString &notice) {
                    showPlaceNotice(notice);
                });
            return;
        }
        m_status->setText(QStringLiteral("    ") + t("未登录...", "Not logged in"));
        ShowLoginDialog();  // silent: the dialog comes up already filled
    });
}

bool TARVOClientFrm::ShowLoginDialog()
{
    if (FLoginFrm)
        return false;
    clearStaleClipboard();
    TLoginFrm dialog(m_config, m_exePath, this);
    FLoginFrm = &dialog;
    dialog.Fill(m_session.SavedPassword());
    std::shared_ptr<TSessionBackend> backend = m_backend;
    dialog.SetQrConfigProbe([backend](const QString &host, int port, bool ssl) {
        QByteArray body;
        const TServerAddress s{host, port, ssl};
        if (!backend->HttpGet(WebEndpoints::QrConfig(s.BaseUrl()), ssl, 12000, body))
            return 0;
        bool ok = false;
        const int v = QString::fromUtf8(body).trimmed().toInt(&ok);
        return ok ? v : 0;
    });
    dialog.SetLoginHandler([this, backend](TLoginFrm *d) {
        m_session.SetDialogServer(d->ServerIp(), d->PortText(), d->Ssl());
        const TServerAddress server = m_session.Server();
        const QString name = d->NickName();
        const QString password = d->Password();
        const THS_Language language = FHS_Language;
        QPointer<TLoginFrm> guard(d);
        struct Outcome {
            bool ok = false;
            TLoginResult r;
            QString error;
        };
        RunOnPool(RequestPool(), d, [backend, server, name, password, language] {
            Outcome o;
            o.ok = backend->Login(server, language, name, password, o.r, &o.error);
            return o;
        }, [this, guard, name, password](const Outcome &o) {
            if (!guard)
                return;
            if (o.ok)
                m_session.AcceptDialogLogin(name, password, o.r);
            guard->LoginFinished(o.ok, o.error);
        });
    });
    // Posted, not sent: the scan-code window opens after this dialog has closed.
    connect(&dialog, &TLoginFrm::qrLoginRequested, this, [this] { handleMessage(wm::QrLogin, 0, 0); }, Qt::QueuedConnection);
    QTimer::singleShot(0, &dialog, &TLoginFrm::CheckQr);
    dialog.exec();
    FLoginFrm = nullptr;
    if (dialog.FIsLogined) {
        establishSession(true);
        showPlaceNotice(m_session.TakePlaceNotice());
    }
    return dialog.FIsLogined;
}

bool TARVOClientFrm::UMQRLogin()
{
    if (m_session.FIsLogin || FLoginFrm || FQrLoginFrm)
        return m_session.FIsLogin;
    QString reason = m_browsers.UnavailableReason ? m_browsers.UnavailableReason(FHS_Language == HSL_CN) : QString();
    if (reason.isEmpty() && !m_browsers.Create)
        reason = EmbeddedBrowser::NoBrowserText(FHS_Language == HSL_CN);
    if (!reason.isEmpty()) {
        TPrompter::Instance().Error(this, t("提示", "Hint"), reason);
        return ShowLoginDialog();
    }
    m_session.TakeServerFromStore();
    const TServerAddress server = m_session.Server();
    std::shared_ptr<TSessionBackend> backend = m_backend;
    auto fetch = [backend, server](QString &path) {
        QByteArray body;
        if (!backend->HttpGet(WebEndpoints::QrUrl(server.BaseUrl()), server.SSL, 16000, body))
            return false;
        path = QString::fromUtf8(body);
        return true;
    };
    bool loggedIn = false;
    {
        // Gone, with its page and poll, before the dialog may come back.
        TDuziDezLoginFrm frm(m_config, server, FHS_Language, fetch, m_browsers.Create, this);
        FQrLoginFrm = &frm;
        frm.exec();
        FQrLoginFrm = nullptr;
        loggedIn = frm.FIsLogin;
    }
    if (!loggedIn)
        return ShowLoginDialog();
    establishSession(false);
    UMBringToFront();
    return true;
}

void TARVOClientFrm::establishSession(bool storeServer)
{
    m_session.Establish(storeServer);
    m_webTarget->SetSession(m_session.Server(), m_config.EncryptId(), FHS_Language);
    m_status->setText(QStringLiteral("    ") + t("欢迎：", "Welcome:") + m_config.OwnerName());
    qCInfo(lcApp) << "session established";
    postLoginFetches();
    TFileMagSession files = TFileMagSession::FromConfig(m_config);
    files.Conn.Language = screenLanguage();
    PFileMagFrm->SetSession(files);
    PFileMagFrm->Init();
    m_pages->setCurrentWidget(PFileMagFrm);
    handleMessage(wm::RobotStartAll, 0, 0);
    m_logOut->setEnabled(true);
    Q_EMIT loginStateChanged(true);
    QTimer::singleShot(0, this, [this] { m_editing->OfferLeftovers(this); });
    // The login's burst (lists, icons, replies) leaves freed memory inside the
    // heap; a resident client hands it back once that work has settled.
    QTimer::singleShot(kSettleMs, this, &ReturnFreedMemory);
}

void TARVOClientFrm::postLoginFetches()
{
    const TServerAddress server = m_session.Server();
    const QString base = server.BaseUrl();
    const qint64 userId = m_config.OwnerId2();
    const bool chinese = FHS_Language == HSL_CN;
    std::shared_ptr<TSessionBackend> backend = m_backend;
    struct Fetched {
        int stage = 0;  // how many fetches succeeded, in order
        QByteArray sc, extInfo, logo;
    };
    RunOnPool(RequestPool(), this, [backend, base, userId, chinese, ssl = server.SSL] {
        Fetched f;
        if (!backend->HttpGet(WebEndpoints::SecurityClasses(base, userId), ssl, 16000, f.sc))
            return f;
        f.stage = 1;
        if (!backend->HttpGet(WebEndpoints::ClientConfig(base, userId), ssl, 16000, f.extInfo))
            return f;
        f.stage = 2;
        if (backend->HttpGet(WebEndpoints::Logo(base, chinese), ssl, 16000, f.logo))
            f.stage = 3;
        return f;
    }, [this](const Fetched &f) {
        if (f.stage >= 1)
            m_config.FScInfos = TClientConfigX::ParseScInfos(QString::fromUtf8(f.sc));
        if (f.stage >= 2) {
            m_config.SetFileExtInfo(QString::fromUtf8(f.extInfo).trimmed());
            m_config.Save();
        }
        // Only a picture becomes the logo: an error page must not.
        if (f.stage >= 3 && !f.logo.isEmpty() && !QImage::fromData(f.logo).isNull()
            && WriteFileAtomic(FLogoPath, f.logo))
            loadLogo();
    });
}

void TARVOClientFrm::showPlaceNotice(const QString &notice)
{
    // Told once, when the saved password's place changes; never as a modal box.
    if (!notice.isEmpty())
        m_hint->ShowHint(notice, 0);
}

void TARVOClientFrm::showMessageNotice()
{
    if (width() <= 0 || height() <= 0)
        resize(800, 640);
    // One notice at a time: every poll that finds messages would otherwise stack
    // another (each lives 30 s), and a resident client grows by them.
    if (!m_messageNotice) {
        m_messageNotice = new TMessageNoticeFrm(FHS_Language, plWork);
        m_messageNotice->setGeometry(plWork->width() - 380, plWork->height() - 230, 360, 200);
        const QString doc = WebEndpoints::Doc(m_session.Server().BaseUrl());
        connect(m_messageNotice, &TMessageNoticeFrm::viewRequested, this, [doc] { QDesktopServices::openUrl(QUrl(doc)); });
        connect(m_messageNotice, &TMessageNoticeFrm::suppressRequested, this,
                [this](int kind) { handleMessage(wm::SuppressReminders, 0, kind); });
    }
    m_messageNotice->show();
    m_messageNotice->raise();
    UMTrayIcon(wm::LeftButtonDown);
    QTimer::singleShot(100, this, &TARVOClientFrm::UMBringToFront);
}

void TARVOClientFrm::openHomePage()
{
    if (!m_session.FIsLogin)
        return;
    QDesktopServices::openUrl(QUrl(WebEndpoints::Home(m_session.Server().BaseUrl(), m_config.EncryptId())));
}

void TARVOClientFrm::handleMessage(int number, qint64 wParam, qint64 lParam)
{
    qCDebug(lcApp) << "message" << number << wParam << lParam;
    switch (number) {
    case wm::TrayIcon: UMTrayIcon(lParam); break;
    case wm::BringToFront:
        UMBringToFront();
        noticeLanguageChange();
        break;
    case wm::ReloadOrg: PFileMagFrm->UMSelectedOwner2(); break;
    case wm::Exit:
        if (!m_editing->ConfirmExit(this))
            break;
        BClose = true;
        close();
        break;
    case wm::RemoveTrayIcon:
        if (m_tray)
            m_tray->hide();
        break;
    case wm::SuppressReminders: m_duties->SetMsgType(int(lParam)); break;
    case wm::QrLogin: UMQRLogin(); break;
    case wm::RobotStartAll: PBatchFrm->UMRobotStartAll(TBatchSettings::FromConfig(m_config)); break;
    default: break;
    }
}

void TARVOClientFrm::UMTrayIcon(qint64 lParam)
{
    if (lParam == wm::LeftButtonDown) {
        UMBringToFront();
    } else if (lParam == 516) {
        activateWindow();
        PopupMenu2->popup(QCursor::pos());
    }
}

void TARVOClientFrm::UMBringToFront()
{
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
    // Desktops that refuse focus stealing still flag the window for attention.
    QApplication::alert(this);
}

void TARVOClientFrm::noticeLanguageChange()
{
    // A launch with "-l" stored another language for this running client: say when it applies.
    const THS_Language stored = TClientConfigX().Language();
    if (stored == FHS_Language || stored == m_languageTold)
        return;
    m_languageTold = stored;
    QTimer::singleShot(0, this, [this] {
        TPrompter::Instance().Info(this, t("提示", "Hint"),
                                   t("界面语言将在下次启动客户端时生效。", "The new interface language applies the next time the client starts."));
    });
}

bool TARVOClientFrm::HasTray() const
{
    // A tray host can go away after start (the panel was closed).
    return m_tray && m_tray->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void TARVOClientFrm::HideToTray()
{
    ensureTray();
    // Without a tray the window must stay reachable: minimise to the task bar instead.
    if (!HasTray()) {
        if (!m_toldNoTray) {
            m_toldNoTray = true;
            // Said before the window goes, so the box is seen with it.
            TPrompter::Instance().Info(this, t("提示", "Hint"),
                                       t("此桌面没有系统托盘：客户端窗口将最小化到任务栏，再次启动客户端可恢复窗口；"
                                         "退出请点击“退出客户端”。",
                                         "This desktop has no system tray: the client's window is minimised to the task "
                                         "bar, and starting the client again brings it back. To quit, click Exit."));
        }
        showMinimized();
        return;
    }
    hide();
}

void TARVOClientFrm::LogOut()
{
    if (!m_session.FIsLogin || !m_editing->ConfirmExit(this))
        return;
    m_session.LogOutForExit();
    m_session.FIsLogin = false;
    m_logOut->setEnabled(false);
    PFileMagFrm->ClearSession();
    // Batch tasks ran as this user; the next login starts them as the next one.
    PBatchFrm->Manager().StopAllTasks();
    // What this user previewed is not left for the next one.
    ClearConversionCache(GetTempFolder());
    m_status->setText(QStringLiteral("    ") + t("未登录...", "Not logged in"));
    Q_EMIT loginStateChanged(false);
    UMBringToFront();
    // Posted: a menu that asked for it has closed before the modal dialog opens.
    QTimer::singleShot(0, this, [this] {
        if (!m_session.FIsLogin)
            ShowLoginDialog();
    });
}

void TARVOClientFrm::saveLayout()
{
    QSettings layout(FClientPath + QStringLiteral("layout.ini"), QSettings::IniFormat);
    layout.setValue(QStringLiteral("MainWindow/Geometry"), saveGeometry());
    layout.setValue(QStringLiteral("FileManager/Columns"), PFileMagFrm->ColumnState());
    layout.setValue(QStringLiteral("FileManager/DownloadPath"), PFileMagFrm->FLastDownloadPath);
}

void TARVOClientFrm::restoreLayout()
{
    QSettings layout(FClientPath + QStringLiteral("layout.ini"), QSettings::IniFormat);
    const QByteArray geometry = layout.value(QStringLiteral("MainWindow/Geometry")).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    PFileMagFrm->RestoreColumnState(layout.value(QStringLiteral("FileManager/Columns")).toByteArray());
    PFileMagFrm->FLastDownloadPath = layout.value(QStringLiteral("FileManager/DownloadPath")).toString();
}

void TARVOClientFrm::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    saveLayout();
}

void TARVOClientFrm::LogOutAndExit()
{
    // An edit that has not reached the server is never dropped without asking.
    if (!m_editing->ConfirmExit(this))
        return;
    m_session.LogOutForExit();
    BClose = true;
    close();
}

void TARVOClientFrm::closeEvent(QCloseEvent *event)
{
    if (!BClose) {
        event->ignore();
        HideToTray();
        return;
    }
    event->accept();
    QApplication::quit();
}

void TARVOClientFrm::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && HasTray())
        QTimer::singleShot(0, this, &QWidget::hide);
}

void TARVOClientFrm::mousePressEvent(QMouseEvent *event)
{
    // The borderless window is resized from its edges.
    const QPoint p = event->position().toPoint();
    Qt::Edges edges;
    if (p.x() < kFrame)
        edges |= Qt::LeftEdge;
    if (p.x() > width() - kFrame)
        edges |= Qt::RightEdge;
    if (p.y() < kFrame)
        edges |= Qt::TopEdge;
    if (p.y() > height() - kFrame)
        edges |= Qt::BottomEdge;
    if (edges && windowHandle() && windowHandle()->startSystemResize(edges))
        return;
    QWidget::mousePressEvent(event);
}

bool TARVOClientFrm::eventFilter(QObject *watched, QEvent *event)
{
    // The user strip drags the window, as a caption would.
    if (watched == plUserInfo && event->type() == QEvent::MouseButtonPress
        && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton && windowHandle()) {
        windowHandle()->startSystemMove();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
