#include "platform/shellintegration.h"

#include "core/folders.h"
#include "core/textfile.h"
#include "platform/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

namespace ShellIntegration {

namespace {

// A value of string type: the reader turns \\, \s, \n, \t and \r back.
QString escapeValue(const QString &value)
{
    QString out;
    for (QChar c : value) {
        switch (c.unicode()) {
        case u'\\': out += QLatin1String("\\\\"); break;
        case u'\n': out += QLatin1String("\\n"); break;
        case u'\t': out += QLatin1String("\\t"); break;
        case u'\r': out += QLatin1String("\\r"); break;
        default: out += c;
        }
    }
    return out;
}

// One Exec argument: inside double quotes ", `, $ and \ take a backslash and a
// literal % is doubled, since the reader expands field codes.
QString quoteExecArg(const QString &arg)
{
    QString q;
    for (QChar c : arg) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            q += u'\\';
        else if (c == u'%')
            q += u'%';
        q += c;
    }
    return u'"' + q + u'"';
}

// The whole Exec value: the quoted program, then an unquoted field code.
QString execValue(const QString &exePath, const QString &fieldCode = QString())
{
    // A plain path stays unquoted: xdg-open's generic mode (no desktop environment)
    // takes the first word literally, quotes and all, and then finds no program.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9/._+-]+$"));
    QString line = plain.match(exePath).hasMatch() ? exePath : quoteExecArg(exePath);
    if (!fieldCode.isEmpty())
        line += u' ' + fieldCode;
    return escapeValue(line);
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
                          "Exec=%1\n"
                          "Icon=zudivuvo\n"
                          "Terminal=false\n"
                          "NoDisplay=true\n"
                          "MimeType=x-scheme-handler/zudivuvo;\n")
        .arg(execValue(exePath, QStringLiteral("%u")));
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

QString LauncherText(const QString &exePath, const QString &name, const QString &extra)
{
    return QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\nPath=%3\nIcon=zudivuvo\nTerminal=false\n")
               .arg(escapeValue(name), execValue(exePath), escapeValue(QFileInfo(exePath).absolutePath()))
           + extra;
}

namespace {
QString autostartFolderOr(const QString &folder)
{
    if (!folder.isEmpty())
        return folder;
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1String("/autostart");
}
const QString kAutostartName = QStringLiteral("zudivuvo.desktop");
} // namespace

QString AutostartFile()
{
    return QDir(autostartFolderOr(QString())).filePath(kAutostartName);
}

bool IsAutostart(const QString &exePath, const QString &autostartFolder)
{
    QFile f(QDir(autostartFolderOr(autostartFolder)).filePath(kAutostartName));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QString want = QLatin1String("Exec=") + execValue(exePath);
    for (const QByteArray &line : f.readAll().split('\n'))
        if (QString::fromUtf8(line).trimmed().compare(want, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

bool SetAutostart(const QString &exePath, bool enabled, const QString &autostartFolder)
{
    const QString folder = autostartFolderOr(autostartFolder);
    const QString file = QDir(folder).filePath(kAutostartName);
    if (!enabled)
        return !QFileInfo::exists(file) || QFile::remove(file);
    if (!QDir().mkpath(folder))
        return false;
    return WriteFileAtomic(file, LauncherText(exePath, QStringLiteral("KelVo Client"),
                                              QStringLiteral("X-GNOME-Autostart-enabled=true\n"))
                                     .toUtf8());
}

bool CreateDesktopShortcut(const QString &exePath, const QString &name, const QString &desktopFolder)
{
    QString folder = desktopFolder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::DesktopLocation)
                                             : desktopFolder;
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return false;
    const QString file = QDir(folder).filePath(name + QLatin1String(".desktop"));
    if (!WriteFileAtomic(file, LauncherText(exePath, name).toUtf8()))
        return false;
    // Desktops only start launchers that are marked executable.
    return QFile::setPermissions(file, QFile::permissions(file) | QFileDevice::ExeOwner);
}

bool RegisterViewerControl(bool doRegister)
{
    Q_UNUSED(doRegister);
    return false;
}

} // namespace ShellIntegration
