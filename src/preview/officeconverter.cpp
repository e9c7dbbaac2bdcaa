#include "preview/officeconverter.h"

#include "preview/logging.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

QString TOfficeConverter::FindSoffice()
{
    const QString env = qEnvironmentVariable("ZUDIVUVO_SOFFICE");
    if (!env.isEmpty())
        return QFileInfo(env).isExecutable() ? env : QString();
    for (const char *name : {"soffice", "libreoffice"}) {
        const QString found = QStandardPaths::findExecutable(QLatin1String(name));
        if (!found.isEmpty())
            return found;
    }
    for (const char *path : {"/usr/lib/libreoffice/program/soffice", "/opt/libreoffice/program/soffice"})
        if (QFileInfo(QLatin1String(path)).isExecutable())
            return QLatin1String(path);
    return {};
}

QString TOfficeConverter::FindBwrap()
{
    for (const char *path : {"/usr/bin/bwrap", "/bin/bwrap"})
        if (QFileInfo(QLatin1String(path)).isExecutable())
            return QLatin1String(path);
    return QStandardPaths::findExecutable(QStringLiteral("bwrap"));
}

QStringList TOfficeConverter::SandboxArguments(const QString &bwrap, const QString &profile,
                                               const QStringList &writableFolders, const QString &program)
{
    if (bwrap.isEmpty())
        return {program};
    QStringList a{bwrap,
                  QStringLiteral("--unshare-net"),
                  QStringLiteral("--die-with-parent"),
                  QStringLiteral("--ro-bind"), QStringLiteral("/"), QStringLiteral("/"),
                  QStringLiteral("--dev"), QStringLiteral("/dev"),
                  QStringLiteral("--proc"), QStringLiteral("/proc"),
                  // LibreOffice needs a writable /tmp for its pipe.
                  QStringLiteral("--tmpfs"), QStringLiteral("/tmp")};
    // The program itself may live below /tmp (a stand-in); it stays readable.
    const QString programDir = QFileInfo(program).absolutePath();
    a << QStringLiteral("--ro-bind") << programDir << programDir;
    for (const QString &folder : writableFolders) {
        const QString abs = QFileInfo(folder).absoluteFilePath();
        a << QStringLiteral("--bind") << abs << abs;
    }
    a << QStringLiteral("--setenv") << QStringLiteral("HOME") << QFileInfo(profile).absoluteFilePath()
      << QStringLiteral("--") << program;
    return a;
}

bool TOfficeConverter::SeedProfile(const QString &profile)
{
    const QString user = QDir(profile).filePath(QStringLiteral("user"));
    if (!QDir().mkpath(user))
        return false;
    // Macro security "very high" with execution switched off; links to other
    // documents and pictures are never updated or followed.
    static const char kItems[] =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<oor:items xmlns:oor=\"http://openoffice.org/2001/registry\" xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
        "<item oor:path=\"/org.openoffice.Office.Common/Security/Scripting\"><prop oor:name=\"MacroSecurityLevel\" "
        "oor:op=\"fuse\"><value>3</value></prop></item>\n"
        "<item oor:path=\"/org.openoffice.Office.Common/Security/Scripting\"><prop oor:name=\"DisableMacrosExecution\" "
        "oor:op=\"fuse\"><value>true</value></prop></item>\n"
        "<item oor:path=\"/org.openoffice.Office.Common/Security/Scripting\"><prop oor:name=\"BlockUntrustedRefererLinks\" "
        "oor:op=\"fuse\"><value>true</value></prop></item>\n"
        "<item oor:path=\"/org.openoffice.Office.Common/Security/Scripting\"><prop oor:name=\"SecureURL\" "
        "oor:op=\"fuse\"><value></value></prop></item>\n"
        "<item oor:path=\"/org.openoffice.Office.Writer/Content/Update\"><prop oor:name=\"Link\" "
        "oor:op=\"fuse\"><value>2</value></prop></item>\n"
        "<item oor:path=\"/org.openoffice.Office.Calc/Content/Update\"><prop oor:name=\"Link\" "
        "oor:op=\"fuse\"><value>2</value></prop></item>\n"
        "<item oor:path=\"/org.openoffice.Office.Common/Misc\"><prop oor:name=\"UseLocking\" "
        "oor:op=\"fuse\"><value>false</value></prop></item>\n"
        "</oor:items>\n";
    QFile f(QDir(user).filePath(QStringLiteral("registrymodifications.xcu")));
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(kItems) == qint64(sizeof kItems - 1);
}

TOfficeConverter::TOfficeConverter(const QString &soffice)
    : m_soffice(soffice)
{
}

TConversionResult TOfficeConverter::Convert(const QString &source, const QString &outDir, const QString &workDir,
                                            const QString &format, const std::atomic<bool> *cancel) const
{
    TConversionResult r;
    if (m_soffice.isEmpty()) {
        r.Error = QStringLiteral("LibreOffice is not installed");
        return r;
    }
    const QFileInfo in(source);
    if (!in.isFile()) {
        r.Error = QStringLiteral("Cannot read %1").arg(source);
        return r;
    }
    if (!QDir().mkpath(outDir) || !QDir().mkpath(workDir)) {
        r.Error = QStringLiteral("Cannot create %1").arg(outDir);
        return r;
    }
    QTemporaryDir profile(QDir(workDir).filePath(QStringLiteral("lo-profile-XXXXXX")));
    if (!profile.isValid()) {
        r.Error = QStringLiteral("Cannot create a LibreOffice profile in %1").arg(workDir);
        return r;
    }
    if (!SeedProfile(profile.path())) {
        r.Error = QStringLiteral("Cannot write a LibreOffice profile in %1").arg(profile.path());
        return r;
    }
    // "docx:MS Word 2007 XML" names a filter after the type.
    const QString target = QDir(outDir).filePath(in.completeBaseName() + u'.' + format.section(u':', 0, 0));
    QFile::remove(target);

    QProcess p;
    // An absolute path never reads as an option, whatever the file is called.
    const QStringList officeArgs{
        QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(profile.path()).toString(),
        QStringLiteral("--headless"), QStringLiteral("--invisible"), QStringLiteral("--norestore"),
        QStringLiteral("--nologo"), QStringLiteral("--nodefault"), QStringLiteral("--nolockcheck"),
        QStringLiteral("--convert-to"), format, QStringLiteral("--outdir"), QDir(outDir).absolutePath(),
        in.absoluteFilePath()};
    const QStringList run = SandboxArguments(Sandbox ? FindBwrap() : QString(), profile.path(),
                                             {in.absolutePath(), QDir(outDir).absolutePath(), profile.path()},
                                             m_soffice);
    p.setProgram(run.first());
    p.setArguments(run.mid(1) + officeArgs);
    p.setStandardInputFile(QProcess::nullDevice());
    p.setProcessChannelMode(QProcess::MergedChannels);
    // The launcher starts the real office process as its child: a group of its
    // own lets a time-out end both.
    p.setChildProcessModifier([] { ::setpgid(0, 0); });
    p.start();
    if (!p.waitForStarted(10000)) {
        r.Error = QStringLiteral("Cannot start %1: %2").arg(m_soffice, p.errorString());
        return r;
    }
    const qint64 pid = p.processId();
    const QDeadlineTimer deadline(TimeoutMs);
    bool finished = false;
    while (!finished) {
        finished = p.waitForFinished(200) || p.state() == QProcess::NotRunning;
        if (finished)
            break;
        if (deadline.hasExpired() || (cancel && cancel->load())) {
            r.TimedOut = deadline.hasExpired();
            ::kill(-pid_t(pid), SIGKILL);
            p.waitForFinished(5000);
            r.Error = r.TimedOut ? QStringLiteral("LibreOffice did not finish within %1 s").arg(TimeoutMs / 1000)
                                 : QStringLiteral("Cancelled");
            QFile::remove(target);
            return r;
        }
    }
    // Whatever the launcher left behind in its group goes with it.
    ::kill(-pid_t(pid), SIGKILL);
    const QByteArray output = p.readAll().left(2000);
    const QFileInfo out(target);
    if (p.exitStatus() == QProcess::NormalExit && out.isFile() && out.size() > 0) {
        r.Ok = true;
        r.OutputPath = out.absoluteFilePath();
        return r;
    }
    r.Error = QStringLiteral("LibreOffice could not convert %1").arg(in.fileName());
    qCWarning(lcPreview).noquote() << r.Error << "exit" << p.exitCode() << QString::fromLocal8Bit(output).trimmed();
    QFile::remove(target);
    return r;
}

TConversionCache::TConversionCache(const QString &folder)
    : m_folder(folder)
{
}

QString TConversionCache::ContentId(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    if (!h.addData(&f))
        return {};
    return QString::fromLatin1(h.result().toHex().left(32));
}

QString TConversionCache::nameFor(qint64 fileKey, const QString &source) const
{
    const QString id = ContentId(source);
    if (id.isEmpty())
        return {};
    return QDir(m_folder).filePath(QStringLiteral("%1-%2.pdf").arg(fileKey).arg(id));
}

QString TConversionCache::Lookup(qint64 fileKey, const QString &source) const
{
    const QString name = nameFor(fileKey, source);
    return !name.isEmpty() && QFileInfo(name).isFile() && QFileInfo(name).size() > 0 ? name : QString();
}

QString TConversionCache::Store(qint64 fileKey, const QString &source, const QString &pdf) const
{
    const QString name = nameFor(fileKey, source);
    if (name.isEmpty() || !QDir().mkpath(m_folder))
        return pdf;
    // Other users of the machine have no business in what the previews showed.
    if (!QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
        return pdf;
    QFile::remove(name);
    return QFile::rename(pdf, name) ? name : pdf;
}

void TConversionCache::Remove(qint64 fileKey, const QString &source) const
{
    const QString name = nameFor(fileKey, source);
    if (!name.isEmpty())
        QFile::remove(name);
}

void TConversionCache::Clear() const
{
    QDir dir(m_folder);
    if (dir.exists())
        dir.removeRecursively();
}
