#include "preview/previewcommand.h"

#include "core/workpools.h"
#include "net/webendpoints.h"
#include "preview/logging.h"
#include "preview/pdfpreviewfrm.h"
#include "preview/simplepreviewfrms.h"
#include "web/previewhint.h"

#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

TPreviewWindows::TPreviewWindows(const QRect &rect, QObject *parent)
    : QObject(parent)
    , m_rect(rect)
{
}

TPreviewWindows::~TPreviewWindows()
{
    for (const QPointer<QWidget> &w : std::as_const(m_windows))
        if (w)
            m_rect = w->geometry();
    if (FSaveRect)
        FSaveRect(m_rect);
    for (const QPointer<QWidget> &w : std::as_const(m_windows))
        delete w.data();
}

void TPreviewWindows::Add(QWidget *window)
{
    m_windows.removeAll(nullptr);
    m_windows.append(window);
    window->installEventFilter(this);
}

QList<QWidget *> TPreviewWindows::Windows() const
{
    QList<QWidget *> out;
    for (const QPointer<QWidget> &w : m_windows)
        if (w)
            out << w.data();
    return out;
}

bool TPreviewWindows::eventFilter(QObject *watched, QEvent *event)
{
    // A window freed on closing still leaves its place to the next one.
    if (event->type() == QEvent::Close || event->type() == QEvent::Move || event->type() == QEvent::Resize)
        if (auto *w = qobject_cast<QWidget *>(watched); w && w->isVisible())
            m_rect = w->geometry();
    return QObject::eventFilter(watched, event);
}

TPreviewCommand::TPreviewCommand(const TServerConn &conn, const QString &tempFolder, TPreViewHint *hint,
                                 TPreviewWindows *windows, QObject *parent)
    : QObject(parent)
    , m_conn(conn)
    , m_temp(tempFolder)
    , m_hint(hint)
    , m_windows(windows)
{
    FProbe = std::make_shared<TLocalSoftwareProbe>();
    FOpenUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    FStartHelpViewer = [](const QString &program, const QString &file) {
        return QProcess::startDetached(program, {file});
    };
}

QString TPreviewCommand::t(const char *cn, const char *en) const
{
    return m_conn.Language == HSL_CN ? QString::fromUtf8(cn) : QString::fromUtf8(en);
}

QString TPreviewCommand::ConversionCacheFolder() const
{
    return QDir(m_temp).filePath(QStringLiteral("preview-cache"));
}

bool TPreviewCommand::openWebPage(const TPreviewRequest &r, const QString &why, QString *error)
{
    const QUrl url(WebEndpoints::PreviewOpen(m_conn.BaseUrl(), r.Key, m_conn.EncryptId));
    if (!FOpenUrl || !FOpenUrl(url)) {
        *error = why + QStringLiteral("\r\n") + t("无法打开浏览器。", "The browser could not be opened.");
        return false;
    }
    if (m_hint)
        m_hint->ShowHint(why + QStringLiteral("\r\n")
                             + t("已在浏览器中打开服务器的预览页面。", "The server's preview page opens in the browser."),
                         0);
    Q_EMIT webPageOpened(url);
    return true;
}

TPreviewBaseFrm *TPreviewCommand::createViewer(TPreviewRoute route)
{
    switch (route) {
    case TPreviewRoute::PdfView:
        return new TPdfPreviewFrm(m_conn, m_temp);
    case TPreviewRoute::Convert:
        return new TOfficeFilePreviewFrm(m_conn, m_temp, ConversionCacheFolder());
    case TPreviewRoute::Image:
        return new TImagePreviewFrm(m_conn, m_temp);
    case TPreviewRoute::Text:
        return new TTextPreviewFrm(m_conn, m_temp);
    case TPreviewRoute::Eml:
        return new TEmlPreviewFrm(m_conn, m_temp);
    case TPreviewRoute::Mht:
        return new TMhtPreviewFrm(m_conn, m_temp);
    default:
        return nullptr;
    }
}

bool TPreviewCommand::Run(const QString &cmd, QString *error)
{
    const TPreviewRequest r = TPreviewRequest::Parse(cmd);
    if (r.Key == 0) {
        *error = QStringLiteral("File parameter error!");
        return false;
    }
    const TPreviewOptions options = TPreviewOptions::Parse(r.Options);
    const int choice = ChooseViewer(r, *FProbe, FRelationFile, FAsk);
    const QString noViewer = t("本机没有可以预览此类文件的程序。", "No viewer for this type of file is installed on this computer.");
    if (choice != VC_Own)
        return openWebPage(r, noViewer, error);

    const TViewerKind kind = PickViewer(r.Code, FProbe->PdfControlKind());
    if (kind == TViewerKind::None)
        return true;
    const TPreviewRoute route = RouteOf(kind, *FProbe);
    if (route == TPreviewRoute::WebPage) {
        const bool needsOffice = kind == TViewerKind::Office || kind == TViewerKind::Vsd || kind == TViewerKind::Cdr
                                 || kind == TViewerKind::Rtf;
        return openWebPage(r, needsOffice ? t("需要本地安装LibreOffice！", "Need to install LibreOffice!") : noViewer, error);
    }
    if (m_hint) {
        m_hint->ShowHint(t("正在获取数据，请稍候...", "Downloading Data, please wait..."), 0);
    }
    if (route == TPreviewRoute::HelpViewer) {
        // A plain base window fetches the file; the help viewer shows it.
        auto *fetcher = new TPreviewBaseFrm(m_conn, m_temp);
        fetcher->ApplyOptions(options);
        fetcher->SetHint(m_hint);
        const QString program = FProbe->HelpViewer();
        auto start = FStartHelpViewer;
        QPointer<TPreViewHint> hint = m_hint;
        fetcher->FOnDownloaded = [fetcher, program, start, hint](bool ok) {
            if (ok && start)
                start(program, fetcher->FLocalFileName);
            // The help viewer reads the copy after we are gone: it stays until the cleanup at exit.
            fetcher->FLocalFileName.clear();
            if (hint && ok)
                hint->hide();
            fetcher->deleteLater();
        };
        fetcher->PreviewEx(r.Code, r.Version, r.Key);
        return true;
    }

    TPreviewBaseFrm *w = createViewer(route);
    if (!w)
        return true;
    if (m_windows) {
        m_windows->Add(w);
        w->setGeometry(m_windows->Rect());
    }
    w->SetHint(m_hint);
    w->setWindowTitle(r.Name);
    w->ApplyOptions(options);
    w->show();
    w->raise();
    w->activateWindow();
    w->ShowHTML(r.Code, r.Version, r.Key);
    Q_EMIT opened(w);
    return true;
}

void CleanPreviewCopies(const QString &tempFolder)
{
    QDir dir(tempFolder);
    if (!dir.exists())
        return;
    static const QRegularExpression stamped(QStringLiteral("^\\d{13,15}Z(\\..*)?$"));
    for (const QFileInfo &f : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
        if (stamped.match(f.fileName()).hasMatch())
            QFile::remove(f.absoluteFilePath());
    for (const QFileInfo &d : dir.entryInfoList({QStringLiteral("preview-cache"), QStringLiteral("lo-profile-*"),
                                                 QStringLiteral("lo-out-*")},
                                                QDir::Dirs | QDir::NoDotAndDotDot))
        QDir(d.absoluteFilePath()).removeRecursively();
}
