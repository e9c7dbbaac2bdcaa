#include "platform/shellintegration.h"

#include "core/folders.h"
#include "core/textfile.h"
#include "platform/logging.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

namespace ShellIntegration {

namespace {

// Desktop Entry Exec quoting: inside double quotes escape ", `, $ and \.
QString quoteExec(const QString &path)
{
    QString q;
    for (QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            q += u'\\';
        q += c;
    }
    return u'"' + q + u'"';
}

void runQuietly(const QString &program, const QStringList &args)
{
    const QString exe = QStandardPaths::findExecutable(program);
    if (exe.isEmpty()) {
        qCInfo(lcPlatform) << program << "not found; skipped";
        return;
    }
    QProcess p;
    p.start(exe, args);
    if (!p.waitForFinished(10000))
        p.kill();
}

} // namespace

QString UrlDesktopFileText(const QString &exePath)
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=DaRezavoDeduroru\n"
                          "Comment=KelVo Client link handler\n"
                          "Exec=%1 %u\n"
                          "Icon=zudivuvo\n"
                          "Terminal=false\n"
                          "NoDisplay=true\n"
                          "MimeType=x-scheme-handler/zudivuvo;\n")
        .arg(quoteExec(exePath));
}

bool RegisterUrlProtocol(const QString &exePath, const QString &applicationsFolder)
{
    QString folder = applicationsFolder;
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return false;
    const QString file = QDir(folder).filePath(kUrlDesktopFile);
    QString error;
    if (!WriteFileAtomic(file, UrlDesktopFileText(exePath).toUtf8(), &error)) {
        qCWarning(lcPlatform).noquote() << error;
        return false;
    }
    runQuietly(QStringLiteral("xdg-mime"),
               {QStringLiteral("default"), kUrlDesktopFile, QStringLiteral("x-scheme-handler/zudivuvo")});
    runQuietly(QStringLiteral("update-desktop-database"), {folder});
    return true;
}

bool RegisterViewerControl(bool doRegister)
{
    Q_UNUSED(doRegister);
    return false;
}

} // namespace ShellIntegration
