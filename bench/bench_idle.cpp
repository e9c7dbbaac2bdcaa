// The resident client at rest: starts the reference server with the demo data,
// a virtual X display, the client logged in automatically with a saved login,
// and a bare Qt Widgets window beside it; after the settle time it reads both
// processes' resident and proportional memory from /proc/PID/smaps_rollup and
// which heavy libraries the client has mapped.
//
// Exit code 1 when the client did not log in, holds more than 64 MiB resident,
// more than 1.5 times the bare window's, or has a library of a feature not
// used yet mapped (Qt WebEngine, an OpenGL driver, libcurl, Qt Multimedia,
// SANE, Qt Pdf, GMime); 2 when the setup fails.
#include "core/clientconfigx.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QHash>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <csignal>

namespace {

struct Memory {
    double rssMiB = -1;
    double pssMiB = -1;
};

Memory readMemory(qint64 pid)
{
    Memory m;
    QFile f(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return m;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() < 2)
            continue;
        if (parts[0] == "Rss:")
            m.rssMiB = parts[1].toDouble() / 1024.0;
        else if (parts[0] == "Pss:")
            m.pssMiB = parts[1].toDouble() / 1024.0;
    }
    return m;
}

// Mapped libraries whose names hold one of the patterns.
QStringList mappedLibraries(qint64 pid, const QStringList &patterns)
{
    QFile f(QStringLiteral("/proc/%1/maps").arg(pid));
    QStringList found;
    if (!f.open(QIODevice::ReadOnly))
        return found;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const int slash = line.indexOf('/');
        if (slash < 0)
            continue;
        const QString path = QString::fromUtf8(line.mid(slash));
        for (const QString &p : patterns)
            if (path.contains(p) && !found.contains(path))
                found << path;
    }
    return found;
}

// Resident KiB per mapped file (anonymous memory as "[anon]", heap as "[heap]"), largest first.
QList<QPair<qint64, QString>> residentByFile(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/smaps").arg(pid));
    QHash<QString, qint64> kib;
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QString current;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.isEmpty() || parts[0].isEmpty())
            continue;
        if (parts[0].contains('-') && parts.size() >= 5) {
            current = parts.size() >= 6 ? QString::fromUtf8(parts[5]) : QStringLiteral("[anon]");
        } else if (parts[0] == "Rss:" && parts.size() >= 2) {
            kib[current] += parts[1].toLongLong();
        }
    }
    QList<QPair<qint64, QString>> sorted;
    for (auto it = kib.cbegin(); it != kib.cend(); ++it)
        sorted.append({it.value(), it.key()});
    std::sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    return sorted;
}

bool waitForLine(QProcess &p, QByteArray &seen, const QByteArray &needle, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired() && p.state() != QProcess::NotRunning) {
        p.waitForReadyRead(int(qBound(qint64(1), deadline.remainingTime(), qint64(200))));
        seen += p.readAll();
        if (seen.contains(needle))
            return true;
    }
    seen += p.readAll();
    return seen.contains(needle);
}

int setupFailed(const QString &why)
{
    std::fprintf(stderr, "bench_idle: %s\n", qPrintable(why));
    return 2;
}

void stop(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(2000);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int settleSeconds = 30;
    int top = 0;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--seconds"))
            settleSeconds = qMax(1, args.at(i + 1).toInt());
        else if (args.at(i) == QLatin1String("--top"))
            top = qMax(0, args.at(i + 1).toInt());
    }

    const QString bin = QCoreApplication::applicationDirPath();
    QTemporaryDir work;
    if (!work.isValid())
        return setupFailed(QStringLiteral("no temporary folder"));
    const QString root = work.path();
    for (const char *sub : {"srv", "home", "data", "config", "cache", "runtime"})
        QDir(root).mkpath(QLatin1String(sub));
    QFile::setPermissions(root + QLatin1String("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(bin + QLatin1String("/zudivuvo-server"),
                 {QStringLiteral("--data"), root + QLatin1String("/srv"), QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--seed"),
                  QStringLiteral("demo")});
    QByteArray serverOut;
    if (!waitForLine(server, serverOut, " listening on ", 30000))
        return setupFailed(QStringLiteral("the reference server did not start: ") + QString::fromUtf8(serverOut));
    const QRegularExpressionMatch portMatch =
        QRegularExpression(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)")).match(QString::fromUtf8(serverOut));
    const int port = portMatch.captured(1).toInt();
    if (port <= 0)
        return setupFailed(QStringLiteral("no port in the server's first line"));

    // The virtual display picks a free number itself and writes it to the pipe.
    QProcess xvfb;
    xvfb.setStandardOutputFile(QProcess::nullDevice());
    xvfb.start(QStringLiteral("sh"), {QStringLiteral("-c"),
                                      QStringLiteral("exec Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>&2 2>/dev/null")});
    QByteArray displayOut;
    {
        const QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired() && !displayOut.contains('\n') && xvfb.state() != QProcess::NotRunning) {
            xvfb.waitForReadyRead(200);
            displayOut += xvfb.readAllStandardError();
        }
    }
    const QString display = QLatin1Char(':') + QString::fromUtf8(displayOut).trimmed();
    if (display.size() < 2)
        return setupFailed(QStringLiteral("Xvfb did not start (is it installed?)"));

    // A saved login with automatic login: the client logs in at start without a dialog.
    {
        QDir(root).mkpath(QLatin1String("data/Kv"));
        TClientConfigX config(root + QLatin1String("/data/Kv/rvc.sys"));
        config.SetServerHost(QStringLiteral("127.0.0.1"));
        config.SetServerPort(port);
        config.SetIsSSL(false);
        config.SetLanguage(HSL_ENG);
        config.SetLoginName(QStringLiteral("demo"));
        config.SetLoginPassword(QStringLiteral("demo"));
        config.SetSaveLoginInfo(true);
        config.SetAutoLogin(true);
        if (!config.Save())
            return setupFailed(QStringLiteral("cannot write the configuration: ") + config.LastSaveError());
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("HOME"), root + QLatin1String("/home"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QLatin1String("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QLatin1String("/config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), root + QLatin1String("/cache"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QLatin1String("/runtime"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("zudivuvo.app.info=true"));
    // No desktop session: no keyring, no accessibility bus, no tray.
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));

    QProcess client;
    client.setProcessEnvironment(env);
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.start(bin + QLatin1String("/ZuDivuvo"), {});
    QProcess bare;
    bare.setProcessEnvironment(env);
    bare.setStandardOutputFile(QProcess::nullDevice());
    bare.setStandardErrorFile(QProcess::nullDevice());
    bare.start(bin + QLatin1String("/bench_barewindow"), {});

    QByteArray clientOut;
    const bool loggedIn = waitForLine(client, clientOut, "session established", 60000);
    if (!loggedIn) {
        std::fprintf(stderr, "The client did not log in:\n%s\n", clientOut.constData());
        stop(client);
        stop(bare);
        stop(xvfb);
        stop(server);
        return 1;
    }
    std::printf("client logged in; waiting %d s for it to settle\n", settleSeconds);
    std::fflush(stdout);
    QThread::sleep(settleSeconds);
    clientOut += client.readAll();

    const Memory c = readMemory(client.processId());
    const Memory b = readMemory(bare.processId());
    const QStringList heavy = mappedLibraries(client.processId(),
        {QStringLiteral("libQt6WebEngine"), QStringLiteral("libLLVM"), QStringLiteral("_dri.so"),
         QStringLiteral("libGLX_mesa"), QStringLiteral("libgallium"), QStringLiteral("libcurl"),
         // No scan, preview or mail file yet: their plugins are not loaded.
         QStringLiteral("libQt6Multimedia"), QStringLiteral("libsane"), QStringLiteral("libQt6Pdf"),
         QStringLiteral("libgmime")});
    const auto clientFiles = residentByFile(client.processId());
    const auto bareFiles = residentByFile(bare.processId());
    stop(client);
    stop(bare);
    stop(xvfb);
    stop(server);
    for (const auto &[name, files] : {std::pair{"client", clientFiles}, std::pair{"bare window", bareFiles}}) {
        if (top <= 0)
            break;
        std::printf("\nlargest resident mappings of the %s (KiB)\n", name);
        for (int i = 0; i < qMin(top, int(files.size())); ++i)
            std::printf("%8lld  %s\n", files.at(i).first, qPrintable(files.at(i).second));
    }
    if (c.rssMiB < 0 || b.rssMiB < 0)
        return setupFailed(QStringLiteral("a process ended before it was measured"));

    std::printf("\nidle memory after %d s on a virtual X display (MiB)\n\n", settleSeconds);
    std::printf("%-22s %10s %10s\n", "process", "resident", "PSS");
    std::printf("%-22s %10.1f %10.1f\n", "client, logged in", c.rssMiB, c.pssMiB);
    std::printf("%-22s %10.1f %10.1f\n", "bare Qt Widgets window", b.rssMiB, b.pssMiB);
    std::printf("%-22s %10.2f %10.2f\n", "ratio", c.rssMiB / b.rssMiB, c.pssMiB / b.pssMiB);
    std::printf("\nheavy libraries mapped by the client: %s\n",
                heavy.isEmpty() ? "none" : qPrintable(heavy.join(QLatin1String(", "))));

    int code = 0;
    if (c.rssMiB > 64.0) {
        std::printf("FAIL: the client holds more than 64 MiB resident\n");
        code = 1;
    }
    if (c.rssMiB > 1.5 * b.rssMiB) {
        std::printf("FAIL: the client holds more than 1.5 times the bare window's resident memory\n");
        code = 1;
    }
    if (!heavy.isEmpty()) {
        std::printf("FAIL: libraries of features not used yet are mapped (no web page, mail, scan or preview)\n");
        code = 1;
    }
    return code;
}
