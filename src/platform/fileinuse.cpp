#include "platform/fileinuse.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>

#include <csignal>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace FileInUse {

namespace {

constexpr qint64 kMaxLockBytes = 4096;

QByteArray readHead(const QString &path, qint64 max = kMaxLockBytes)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.read(max);
}

// Seconds since the epoch at which the machine started; a lock file older
// than that was left by a process of an earlier boot.
qint64 bootTime()
{
    static const qint64 boot = [] {
        QFile stat(QStringLiteral("/proc/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            return qint64(0);
        while (!stat.atEnd()) {
            const QByteArray line = stat.readLine(256);
            if (line.startsWith("btime "))
                return line.mid(6).trimmed().toLongLong();
        }
        return qint64(0);
    }();
    return boot;
}

bool fromEarlierBoot(const QFileInfo &lock)
{
    const qint64 boot = bootTime();
    return boot > 0 && lock.lastModified().toSecsSinceEpoch() < boot;
}

bool sameHost(const QString &host)
{
    return host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0;
}

// Where LibreOffice keeps the default profile: $XDG_CONFIG_HOME, else ~/.config.
QString userConfigHome()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    return QDir::isAbsolutePath(xdg) ? xdg : QDir::homePath() + QStringLiteral("/.config");
}

bool anyRunning(const QList<ProcessInfo> &processes, const QStringList &names)
{
    for (const ProcessInfo &p : processes)
        if (names.contains(p.Name))
            return true;
    return false;
}

const QStringList &libreOfficeNames()
{
    static const QStringList names{QStringLiteral("soffice.bin"), QStringLiteral("soffice"),
                                   QStringLiteral("oosplash"), QStringLiteral("libreoffice")};
    return names;
}

const QStringList &officeSuiteNames()
{
    static const QStringList names = libreOfficeNames()
                                     + QStringList{QStringLiteral("wps"), QStringLiteral("et"), QStringLiteral("wpp"),
                                                   QStringLiteral("wpspdf"), QStringLiteral("wpsoffice")};
    return names;
}

// LibreOffice writes "name,user,host,date,profile;" with "\," for a comma in a value.
QStringList splitLockFields(const QString &text)
{
    QStringList fields;
    QString cur;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\\' && i + 1 < text.size()) {
            cur += text.at(++i);
        } else if (c == u',' || c == u';') {
            fields << cur;
            cur.clear();
            if (c == u';')
                break;
        } else {
            cur += c;
        }
    }
    if (!cur.isEmpty())
        fields << cur;
    return fields;
}

// A profile as a local folder: the lock file and the command line give URLs
// ("file:///home/ann/My%20Profile"); "$SYSUSERCONFIG" is the user's configuration folder.
QString profileFolder(QString profile)
{
    profile = profile.trimmed();
    static const QString sysUserConfig = QStringLiteral("$SYSUSERCONFIG");
    if (profile.startsWith(sysUserConfig))
        profile = QUrl::fromLocalFile(userConfigHome()).toString() + profile.mid(sysUserConfig.size());
    const QUrl url(profile);
    const QString local = url.isLocalFile() ? url.toLocalFile() : profile;
    return local.isEmpty() ? QString() : QDir::cleanPath(local);
}

// The profile a LibreOffice process runs with, as a local folder.
QString libreOfficeProfile(const ProcessInfo &p)
{
    static const QString option = QStringLiteral("-env:UserInstallation=");
    for (const QString &a : p.Args)
        if (a.startsWith(option))
            return profileFolder(a.mid(option.size()));
    return QDir::cleanPath(userConfigHome() + QStringLiteral("/libreoffice/4"));
}

bool officeLockHeld(const QFileInfo &lock, const QList<ProcessInfo> &processes)
{
    if (fromEarlierBoot(lock))
        return false;
    const QStringList fields = splitLockFields(QString::fromUtf8(readHead(lock.filePath())));
    // A lock of another machine (a shared folder) cannot be checked: it holds.
    if (fields.size() >= 3 && !fields.at(2).isEmpty() && !sameHost(fields.at(2)))
        return true;
    // The lock names the profile of the LibreOffice that wrote it: only that one holds it.
    const QString profile = fields.size() >= 5 ? profileFolder(fields.at(4)) : QString();
    for (const ProcessInfo &p : processes) {
        if (!libreOfficeNames().contains(p.Name))
            continue;
        if (profile.isEmpty() || libreOfficeProfile(p) == profile)
            return true;
    }
    return false;
}

// vim's swap file: "b0", version, page size, mtime, inode, then the pid as four
// little-endian bytes at offset 24, the user at 28 and the host name at 68.
bool vimSwapHeld(const QFileInfo &swap)
{
    if (fromEarlierBoot(swap))
        return false;
    const QByteArray b = readHead(swap.filePath(), 108);
    if (b.size() < 108 || !b.startsWith("b0"))
        return true;  // not one we can read: count it
    const qint64 pid = qint64(quint8(b[24])) | qint64(quint8(b[25])) << 8 | qint64(quint8(b[26])) << 16
                       | qint64(quint8(b[27])) << 24;
    const QString host = QString::fromLocal8Bit(b.mid(68, 40).constData());
    if (!host.isEmpty() && !sameHost(host))
        return true;
    return IsProcessAlive(pid);
}

// emacs' ".#NAME" is a symbolic link to "user@host.pid:boot".
bool emacsLockHeld(const QFileInfo &link)
{
    static const QRegularExpression form(QStringLiteral("^[^@]*@(.*)\\.(\\d+)(:\\d+)?$"));
    const QRegularExpressionMatch m = form.match(QFileInfo(link.symLinkTarget()).fileName());
    if (!m.hasMatch() || !sameHost(m.captured(1)))
        return true;
    return IsProcessAlive(m.captured(2).toLongLong());
}

// Session services that never hold a document open for editing: their
// descriptors (often thousands) are not read.
bool unlikelyHolder(const QString &name)
{
    static const QStringList services{
        QStringLiteral("systemd"), QStringLiteral("dbus-daemon"), QStringLiteral("dbus-broker"),
        QStringLiteral("pipewire"), QStringLiteral("pipewire-pulse"), QStringLiteral("wireplumber"),
        QStringLiteral("pulseaudio"), QStringLiteral("gpg-agent"), QStringLiteral("ssh-agent"),
        QStringLiteral("at-spi-bus-laun"), QStringLiteral("at-spi2-registr"), QStringLiteral("xdg-permission-"),
        QStringLiteral("xdg-document-po"), QStringLiteral("gnome-keyring-d"), QStringLiteral("kwalletd5"),
        QStringLiteral("tracker-miner-f"), QStringLiteral("baloo_file"), QStringLiteral("(sd-pam)")};
    return services.contains(name);
}

// Where the open descriptors of the processes lead; our own are left out.
QSet<QByteArray> openFiles(const QList<ProcessInfo> &processes)
{
    const qint64 self = qint64(::getpid());
    QSet<QByteArray> out;
    for (const ProcessInfo &p : processes) {
        if (p.Pid == self || unlikelyHolder(p.Name))
            continue;
        const QString fdDir = QStringLiteral("/proc/%1/fd").arg(p.Pid);
        const QStringList fds = QDir(fdDir).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : fds) {
            char buf[4096];
            const QByteArray link = QFile::encodeName(fdDir + u'/' + fd);
            const ssize_t n = ::readlink(link.constData(), buf, sizeof buf - 1);
            if (n > 0 && buf[0] == '/')
                out.insert(QByteArray(buf, int(n)));
        }
    }
    return out;
}

// Letters (Chinese ones too), digits, marks, "_" and "." make up a file name;
// anything else (blanks, dashes, brackets, quotes, slashes) ends one.
bool isNameChar(char32_t c)
{
    return c == U'_' || c == U'.' || QChar::isLetterOrNumber(c) || QChar::isMark(c);
}

// The code point that ends just before i (0 at the start) and the one that
// starts at i (0 at the end), a surrogate pair taken whole.
char32_t pointBefore(const QString &s, qsizetype i)
{
    if (i <= 0)
        return 0;
    const QChar c = s.at(i - 1);
    if (c.isLowSurrogate() && i >= 2 && s.at(i - 2).isHighSurrogate())
        return QChar::surrogateToUcs4(s.at(i - 2), c);
    return c.unicode();
}

char32_t pointAt(const QString &s, qsizetype i)
{
    if (i >= s.size())
        return 0;
    const QChar c = s.at(i);
    if (c.isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate())
        return QChar::surrogateToUcs4(c, s.at(i + 1));
    return c.unicode();
}

} // namespace

QString OfficeLockName(const QString &path)
{
    const QFileInfo info(path);
    return info.dir().filePath(QStringLiteral(".~lock.") + info.fileName() + u'#');
}

bool IsProcessAlive(qint64 pid)
{
    if (pid <= 0 || pid > 0x3fffffff)
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    // A finished child nobody has waited for yet is a zombie: gone for our purposes.
    const QByteArray stat = readHead(QStringLiteral("/proc/%1/stat").arg(pid), 512);
    const qsizetype close = stat.lastIndexOf(')');
    return close < 0 || close + 2 >= stat.size() || (stat.at(close + 2) != 'Z' && stat.at(close + 2) != 'X');
}

QList<ProcessInfo> UserProcesses()
{
    QList<ProcessInfo> out;
    const uid_t me = ::getuid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &e : entries) {
        bool ok = false;
        const qint64 pid = e.toLongLong(&ok);
        if (!ok)
            continue;
        struct stat st {};
        if (::stat(QFile::encodeName(QStringLiteral("/proc/") + e).constData(), &st) != 0 || st.st_uid != me)
            continue;
        ProcessInfo p{pid, QString::fromLocal8Bit(readHead(QStringLiteral("/proc/%1/comm").arg(pid), 64)).trimmed(), {}};
        if (officeSuiteNames().contains(p.Name)) {
            const QByteArray cmdline = readHead(QStringLiteral("/proc/%1/cmdline").arg(pid), 16384);
            for (const QByteArray &a : cmdline.split('\0'))
                if (!a.isEmpty())
                    p.Args << QString::fromLocal8Bit(a);
        }
        out << p;
    }
    return out;
}

bool TitleShows(const QString &title, const QString &text)
{
    if (text.isEmpty())
        return false;
    for (qsizetype at = title.indexOf(text, 0, Qt::CaseInsensitive); at >= 0;
         at = title.indexOf(text, at + 1, Qt::CaseInsensitive)) {
        if (!isNameChar(pointBefore(title, at)) && !isNameChar(pointAt(title, at + text.size())))
            return true;
    }
    return false;
}

Signal Check(const QString &path, const Probe &probe)
{
    Snapshot snapshot;
    return Check(path, probe, snapshot);
}

Signal Check(const QString &path, const Probe &probe, Snapshot &snapshot)
{
    const QFileInfo file(path);
    if (!file.exists())
        return Signal::Missing;
    for (qint64 pid : probe.EditorPids)
        if (IsProcessAlive(pid))
            return Signal::EditorRunning;

    if (!snapshot.Processes)
        snapshot.Processes = probe.Processes ? probe.Processes() : UserProcesses();
    const QList<ProcessInfo> &processes = *snapshot.Processes;
    const QDir dir = file.dir();
    const QString name = file.fileName();

    const QFileInfo officeLock(OfficeLockName(path));
    if (officeLock.exists() && officeLockHeld(officeLock, processes))
        return Signal::OfficeLock;

    // Microsoft Office shortens long names by their first two characters.
    QStringList ownerFiles{QStringLiteral("~$") + name};
    if (name.size() > 2)
        ownerFiles << QStringLiteral("~$") + name.mid(2);
    for (const QString &owner : ownerFiles) {
        const QFileInfo lock(dir.filePath(owner));
        if (lock.exists() && !fromEarlierBoot(lock) && anyRunning(processes, officeSuiteNames()))
            return Signal::OtherSuiteLock;
    }

    const QFileInfo swap(dir.filePath(u'.' + name + QStringLiteral(".swp")));
    if (swap.exists() && vimSwapHeld(swap))
        return Signal::EditorSwap;
    const QFileInfo emacs(dir.filePath(QStringLiteral(".#") + name));
    if (emacs.isSymLink() && emacsLockHeld(emacs))
        return Signal::EditorSwap;

    if (!snapshot.OpenFiles)
        snapshot.OpenFiles = openFiles(processes);
    if (snapshot.OpenFiles->contains(QFile::encodeName(file.canonicalFilePath())))
        return Signal::OpenDescriptor;

    // Programs that read the file and close it (most text editors) show it only in a title.
    if (!probe.WindowTexts.isEmpty()) {
        if (!snapshot.Windows)
            snapshot.Windows = probe.Windows ? probe.Windows() : VisibleWindowTitles();
        for (const QString &title : std::as_const(*snapshot.Windows)) {
            if (probe.OwnTitles.contains(title))
                continue;
            for (const QString &text : probe.WindowTexts)
                if (TitleShows(title, text))
                    return Signal::EditorWindow;
        }
    }
    return Signal::None;
}

QStringList VisibleWindowTitles()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return {};
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xdotool.isEmpty())
        return {};
    QProcess x;
    x.start(xdotool, {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                      QStringLiteral("."), QStringLiteral("getwindowname"), QStringLiteral("%@")});
    if (!x.waitForFinished(3000)) {
        x.kill();
        x.waitForFinished(500);
        return {};
    }
    return QString::fromUtf8(x.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

QString SignalName(Signal s)
{
    switch (s) {
    case Signal::None: return QStringLiteral("free");
    case Signal::Missing: return QStringLiteral("missing");
    case Signal::EditorRunning: return QStringLiteral("editor running");
    case Signal::OfficeLock: return QStringLiteral("office lock file");
    case Signal::OtherSuiteLock: return QStringLiteral("office owner file");
    case Signal::EditorSwap: return QStringLiteral("editor swap file");
    case Signal::OpenDescriptor: return QStringLiteral("open descriptor");
    case Signal::EditorWindow: return QStringLiteral("editor window");
    }
    return {};
}

} // namespace FileInUse
