#include "preview/previewcommand.h"
#include "preview/previewplugin.h"

#include "core/memberpowers.h"
#include "core/safepath.h"
#include "core/workpools.h"
#include "net/sslhttp.h"
#include "platform/desktopopener.h"
#include "web/webmodule.h"
#include "net/webendpoints.h"
#include "preview/logging.h"
#include "preview/officeconverter.h"
#include "preview/pdfpreviewfrm.h"
#include "preview/simplepreviewfrms.h"
#include "web/previewhint.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

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

std::function<void(const TEmlAttachment &)> TPreviewCommand::attachmentOpener(qint64 key, const TPreviewOptions &options)
{
    QPointer<TPreViewHint> hint = m_hint;
    const bool chinese = m_conn.Language == HSL_CN;
    if (options.Restricted()) {
        // Another program would neither keep the document read-only nor stop it being printed or copied.
        const QString refusal = t("此文档仅供预览，不能用其他程序打开其附件。",
                                  "This document is for viewing only: its attachments cannot be opened in other programs.");
        return [hint, refusal](const TEmlAttachment &) {
            if (hint)
                hint->ShowHint(refusal, 1);
        };
    }
    const TServerConn conn = m_conn;
    const QString folder = QDir(m_temp).filePath(QStringLiteral("attachments"));
    return [hint, conn, key, folder, chinese](const TEmlAttachment &a) {
        struct Outcome {
            bool allowed = false;
            bool opened = false;
            QString text;
        };
        RunOnPool(RequestPool(), qApp, [conn, key, folder, a, chinese] {
            Outcome o;
            const QString answer = TSSLHttp(conn.SSL).GetText(WebEndpoints::GetPower(conn.BaseUrl(), key, conn.EncryptId), 4000);
            o.allowed = ParseMemberPowers(answer).has(2);
            if (!o.allowed) {
                o.text = chinese ? QStringLiteral("没有文件下载权限!") : QStringLiteral("There is no file download permissions!");
                return o;
            }
            QString error;
            const std::optional<QString> path = SafeJoin(folder, a.Name, &error);
            QFile f(path.value_or(QString()));
            if (!path || !QDir().mkpath(folder) || !f.open(QIODevice::WriteOnly) || f.write(a.Data) != a.Data.size()) {
                o.text = error.isEmpty() ? f.errorString() : error;
                return o;
            }
            f.close();
            // Programs and scripts among the attachments are saved, never started.
            if (TWebModule::IsSafeToOpen(*path))
                o.opened = DesktopOpener::OpenFile(*path, &o.text, chinese);
            else
                o.text = (chinese ? QStringLiteral("附件已保存，但不会被运行：") : QStringLiteral("The attachment was saved but is not run: "))
                         + *path;
            return o;
        }, [hint](const Outcome &o) {
            if (hint && !o.opened && !o.text.isEmpty())
                hint->ShowHint(o.text, 1);
        });
    };
}

TPreviewBaseFrm *TPreviewCommand::createViewer(TViewerRoute route)
{
    switch (route) {
    case TViewerRoute::PdfView:
        return new TPdfPreviewFrm(m_conn, m_temp);
    case TViewerRoute::Convert:
        return new TOfficeFilePreviewFrm(m_conn, m_temp, ConversionCacheFolder());
    case TViewerRoute::Image:
        return new TImagePreviewFrm(m_conn, m_temp);
    case TViewerRoute::Text:
        return new TTextPreviewFrm(m_conn, m_temp);
    case TViewerRoute::Eml:
        return new TEmlPreviewFrm(m_conn, m_temp);
    case TViewerRoute::Mht:
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
    const TViewerRoute route = RouteOf(kind, *FProbe);
    if (route == TViewerRoute::WebPage) {
        const bool needsOffice = kind == TViewerKind::Office || kind == TViewerKind::Vsd || kind == TViewerKind::Cdr
                                 || kind == TViewerKind::Rtf;
        return openWebPage(r, needsOffice ? t("需要本地安装LibreOffice！", "Need to install LibreOffice!") : noViewer, error);
    }
    if (m_hint) {
        m_hint->ShowHint(t("正在获取数据，请稍候...", "Downloading Data, please wait..."), 0);
    }
    if (route == TViewerRoute::HelpViewer) {
        // The help viewer knows nothing of read-only, print or copy: a restricted
        // file is shown by the server's own page instead.
        if (options.Restricted())
            return openWebPage(r, t("此文档仅供预览，不能用其他程序打开。",
                                    "This document is for viewing only: it cannot be opened in another program."),
                               error);
        // A plain base window fetches the file; the help viewer shows it.
        auto *fetcher = new TPreviewBaseFrm(m_conn, m_temp);
        fetcher->ApplyOptions(options);
        fetcher->SetHint(m_hint);
        const QString program = FProbe->HelpViewer();
        auto start = FStartHelpViewer;
        QPointer<TPreViewHint> hint = m_hint;
        const QString cannotStart = t("无法启动帮助文件查看程序：", "The help viewer could not be started: ") + program;
        fetcher->FOnDownloaded = [fetcher, program, start, hint, cannotStart](bool ok) {
            if (ok) {
                if (start && start(program, fetcher->FLocalFileName)) {
                    // The help viewer reads the copy after we are gone: it stays until the cleanup at exit.
                    fetcher->FLocalFileName.clear();
                    if (hint)
                        hint->hide();
                } else if (hint) {
                    hint->ShowHint(cannotStart, 1);
                }
            }
            // A copy nobody opened goes with the fetcher.
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
    if (auto *mail = qobject_cast<TEmlPreviewFrm *>(w))
        mail->FOnAttachment = attachmentOpener(r.Key, options);
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

extern "C" Q_DECL_EXPORT bool zudivuvo_preview_run(int interfaceVersion, const TPreviewRun &run, QString *error)
{
    if (interfaceVersion != kPreviewInterfaceVersion || !error)
        return false;
    TPreviewCommand command(run.Conn, run.TempFolder, run.Hint, run.Windows);
    command.FRelationFile = run.RelationFile;
    return command.Run(run.Command, error);
}
