#include "embeddedbrowser.h"

#include <QCoreApplication>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace EmbeddedBrowser {

void PrepareApplication()
{
#ifdef ZUDIVUVO_HAVE_WEBENGINE
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
#endif
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

} // namespace EmbeddedBrowser
