#include "embeddedbrowser.h"

#include "platform/logging.h"
#include "platform/plugins.h"
#include "platform/webviewplugin.h"

#include <QCoreApplication>
#include <QOpenGLContext>
#include <QPointer>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

#if QT_CONFIG(opengl)
QT_BEGIN_NAMESPACE
// Exported by Qt GUI without a public header; Qt WebEngine itself sets it this way.
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext *context);
QT_END_NAMESPACE
#endif

namespace {

struct TPluginState {
    bool tried = false;
    TWebViewCreateFn create = nullptr;
    QString error;
};

TPluginState &pluginState()
{
    static TPluginState state;
    return state;
}

#if QT_CONFIG(opengl)
QOpenGLContext *g_shareContext = nullptr;

void dropShareContext()
{
    if (QOpenGLContext::globalShareContext() == g_shareContext)
        qt_gl_set_global_share_context(nullptr);
    delete g_shareContext;
    g_shareContext = nullptr;
}
#endif

// WebEngine draws through contexts shared with one global context. Setting
// Qt::AA_ShareOpenGLContexts before the application exists would make Qt create
// that context (and load the OpenGL driver) at start; we make it only now.
QtMessageHandler g_previousHandler = nullptr;

// Qt warns that the attribute belongs before the application; here it is meant.
void dropLateAttributeWarning(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.contains(QLatin1String("must be set before QCoreApplication is created")))
        return;
    if (g_previousHandler)
        g_previousHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

void prepareSharedOpenGl()
{
    g_previousHandler = qInstallMessageHandler(dropLateAttributeWarning);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    qInstallMessageHandler(g_previousHandler);
#if QT_CONFIG(opengl)
    if (QOpenGLContext::globalShareContext())
        return;
    auto *context = new QOpenGLContext;
    // Kept even when it fails, as Qt keeps its own: WebEngine then draws in
    // software, but it needs a context object to ask.
    if (!context->create())
        qCInfo(lcPlatform) << "no OpenGL context for the web view; it draws in software";
    g_shareContext = context;
    qt_gl_set_global_share_context(context);
    qAddPostRoutine(dropShareContext);
#endif
}

TWebViewCreateFn loadPlugin(QString *error)
{
    TPluginState &state = pluginState();
    if (state.tried) {
        *error = state.error;
        return state.create;
    }
    state.tried = true;
    const QString path = EmbeddedBrowser::PluginPath();
    if (path.isEmpty()) {
        state.error = QStringLiteral("the web view plugin %1 is not in %2")
                          .arg(QLatin1String(kWebViewPluginName), EmbeddedBrowser::PluginFolders().join(QLatin1String(", ")));
    } else {
        prepareSharedOpenGl();
        state.create = reinterpret_cast<TWebViewCreateFn>(
            Plugins::Resolve(QLatin1String(kWebViewPluginName), kWebViewCreateSymbol, &state.error));
    }
    if (!state.error.isEmpty())
        qCWarning(lcPlatform).noquote() << "web view:" << state.error;
    *error = state.error;
    return state.create;
}

class TPluginBrowser : public TEmbeddedBrowser
{
public:
    explicit TPluginBrowser(QObject *parent = nullptr) : TEmbeddedBrowser(parent) {}
    bool Attach(TWebViewCreateFn create, QWidget *parent)
    {
        QPointer<TPluginBrowser> self(this);
        m_backend.reset(create(kWebViewInterfaceVersion, parent, [self](bool ok) {
            if (self)
                Q_EMIT self->loadFinished(ok);
        }));
        return m_backend != nullptr;
    }
    QWidget *Widget() override { return m_backend->Widget(); }
    void Load(const QUrl &url) override { m_backend->Load(url); }
    void RunScript(const QString &script, ScriptDone done) override { m_backend->RunScript(script, std::move(done)); }

private:
    std::unique_ptr<TWebViewBackend> m_backend;
};

} // namespace

namespace EmbeddedBrowser {

QStringList PluginFolders()
{
    return Plugins::Folders();
}

QString PluginPath()
{
#ifdef ZUDIVUVO_HAVE_WEBENGINE
    return Plugins::Find(QLatin1String(kWebViewPluginName));
#else
    return {};
#endif
}

bool IsLoaded()
{
    return pluginState().create != nullptr;
}

QString UnavailableReason(bool chinese)
{
#ifdef ZUDIVUVO_HAVE_WEBENGINE
#ifdef Q_OS_UNIX
    // As root, Chromium's sandbox cannot start and takes the whole process with it.
    if (::geteuid() == 0 && qgetenv("QTWEBENGINE_DISABLE_SANDBOX") != "1")
        return chinese ? QStringLiteral("以 root 身份运行时无法打开内嵌网页：请以普通用户运行，或设置环境变量 QTWEBENGINE_DISABLE_SANDBOX=1。")
                       : QStringLiteral("The embedded web page cannot open when running as root: run as a normal user, "
                                        "or set the environment variable QTWEBENGINE_DISABLE_SANDBOX=1.");
#endif
    const TPluginState &state = pluginState();
    if ((state.tried && !state.create) || PluginPath().isEmpty()) {
        const QString detail = state.tried ? state.error
                                           : QStringLiteral("lib%1.so is not in %2")
                                                 .arg(QLatin1String(kWebViewPluginName), PluginFolders().join(QLatin1String(", ")));
        return chinese ? QStringLiteral("内嵌网页浏览器无法加载（%1）。").arg(detail)
                       : QStringLiteral("The embedded web browser cannot be loaded (%1).").arg(detail);
    }
    return {};
#else
    return NoBrowserText(chinese);
#endif
}

QString NoBrowserText(bool chinese)
{
    return chinese ? QStringLiteral("此版本不含内嵌网页浏览器，无法扫码登录。")
                   : QStringLiteral("This build has no embedded web browser for scan-code login.");
}

std::unique_ptr<TEmbeddedBrowser> Create(QWidget *parent)
{
    if (!UnavailableReason(false).isEmpty())
        return nullptr;
    QString error;
    const TWebViewCreateFn create = loadPlugin(&error);
    if (!create)
        return nullptr;
    auto browser = std::make_unique<TPluginBrowser>();
    if (!browser->Attach(create, parent)) {
        qCWarning(lcPlatform) << "the web view plugin refused this client's interface version";
        return nullptr;
    }
    return browser;
}

} // namespace EmbeddedBrowser
