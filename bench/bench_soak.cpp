// A long run of a resident program, sampling its resident memory, open
// descriptors and threads, to show whether it grows.
//
// Client (the default): the reference server with the demo data and the message
// poll at 1 s, a virtual X display, the client logged in with a saved login; a
// periodic upload task (period one minute) whose source changes each minute, and every
// 30 s a preview opened by a second launch with a "ZuDivuvo://" link (a text and a
// PDF file in turn) and closed a few seconds later as a window manager closes
// windows (WM_DELETE_WINDOW); six previews before the clock starts fill the
// viewers' caches.
// Server (--server): the reference server under a steady mix of logins, folder
// listings, uploads and downloads by zudivuvo-cli processes.
//
// The first half of the run is warm-up. Over the second half it prints the growth
// per hour (least-squares slope; for memory over the samples taken at least 10 s
// after a preview closed) of each measure and exits with 1 when resident
// memory grows more than 2 MiB per hour or the descriptors or threads grow (their
// least values at the start and at the end of the second half, so a sample taken
// while a preview or transfer runs does not count); 2 when the setup fails.
#include "core/clientconfigx.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

struct Sample {
    double seconds = 0;
    double rssMiB = 0;
    double anonMiB = 0;
    int fds = 0;
    int threads = 0;
    bool quiet = true;  // no preview for a while: the viewer's transient memory has gone
};

std::optional<Sample> sampleOf(qint64 pid, double seconds)
{
    Sample s;
    s.seconds = seconds;
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!rollup.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray &line : rollup.readAll().split('\n'))
        if (line.startsWith("Rss:"))
            s.rssMiB = line.simplified().split(' ').value(1).toDouble() / 1024.0;
        else if (line.startsWith("Anonymous:"))
            s.anonMiB = line.simplified().split(' ').value(1).toDouble() / 1024.0;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("Threads:"))
            s.threads = line.simplified().split(' ').value(1).toInt();
    s.fds = int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
    return s;
}

// Least-squares slope of value over time, per hour.
double slopePerHour(const QList<Sample> &samples, double (*value)(const Sample &))
{
    const double n = double(samples.size());
    if (n < 2)
        return 0;
    double st = 0, sv = 0, stt = 0, stv = 0;
    for (const Sample &s : samples) {
        const double t = s.seconds / 3600.0;
        st += t;
        sv += value(s);
        stt += t * t;
        stv += t * value(s);
    }
    const double d = n * stt - st * st;
    return d == 0 ? 0 : (n * stv - st * sv) / d;
}

int leastOf(const QList<Sample> &samples, qsizetype from, qsizetype to, int Sample::*field)
{
    int least = INT_MAX;
    for (qsizetype i = from; i < to; ++i)
        least = std::min(least, samples.at(i).*field);
    return least;
}

int setupFailed(const QString &why)
{
    std::fprintf(stderr, "bench_soak: %s\n", qPrintable(why));
    return 2;
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

void stop(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished(2000);
    }
}

// Runs a short command to its end; its output, or nullopt when it failed.
std::optional<QString> run(const QString &program, const QStringList &args, const QProcessEnvironment &env, int ms = 120000)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(ms)) {
        p.kill();
        p.waitForFinished(2000);
        return std::nullopt;
    }
    const QString out = QString::fromUtf8(p.readAll());
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s %s failed:\n%s\n", qPrintable(program), qPrintable(args.join(u' ')), qPrintable(out));
        return std::nullopt;
    }
    return out;
}

// The key of the entry named name in a "zudivuvo-cli ls" listing ("d 1013 ... Soak").
qint64 keyInListing(const QString &listing, const QString &name)
{
    for (const QString &line : listing.split(u'\n')) {
        const QStringList parts = line.simplified().split(u' ');
        if (parts.size() >= 3 && parts.last() == name)
            return parts.at(1).toLongLong();
    }
    return 0;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

// A one-page PDF, as small as the format allows.
QByteArray tinyPdf()
{
    const QByteArray content = "BT /F1 24 Tf 72 720 Td (soak) Tj ET";
    QList<QByteArray> objects{
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>",
        "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (qsizetype i = 0; i < objects.size(); ++i) {
        offsets << pdf.size();
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype o : offsets)
        pdf += QByteArray::number(o).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n"
           + QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

// Closes the display's top-level windows titled title the way a window manager
// does, so the program closes them itself. The number of windows asked.
class Display
{
public:
    explicit Display(const QString &name) { m_conn = xcb_connect(name.toLocal8Bit().constData(), &m_screen); }
    ~Display()
    {
        if (m_conn)
            xcb_disconnect(m_conn);
    }
    bool ok() const { return m_conn && !xcb_connection_has_error(m_conn); }

    int closeWindows(const QString &title)
    {
        const xcb_atom_t protocols = atom("WM_PROTOCOLS");
        const xcb_atom_t deleteWindow = atom("WM_DELETE_WINDOW");
        int asked = 0;
        for (xcb_window_t w : windowsTitled(title)) {
            xcb_client_message_event_t ev{};
            ev.response_type = XCB_CLIENT_MESSAGE;
            ev.format = 32;
            ev.window = w;
            ev.type = protocols;
            ev.data.data32[0] = deleteWindow;
            ev.data.data32[1] = XCB_CURRENT_TIME;
            xcb_send_event(m_conn, 0, w, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&ev));
            ++asked;
        }
        xcb_flush(m_conn);
        return asked;
    }

    QList<xcb_window_t> windowsTitled(const QString &title)
    {
        QList<xcb_window_t> out;
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data;
        xcb_query_tree_reply_t *tree = xcb_query_tree_reply(m_conn, xcb_query_tree(m_conn, screen->root), nullptr);
        if (!tree)
            return out;
        const xcb_window_t *children = xcb_query_tree_children(tree);
        const xcb_atom_t netName = atom("_NET_WM_NAME");
        const xcb_atom_t utf8 = atom("UTF8_STRING");
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            xcb_get_property_reply_t *prop = xcb_get_property_reply(
                m_conn, xcb_get_property(m_conn, 0, children[i], netName, utf8, 0, 1024), nullptr);
            if (!prop)
                continue;
            const QString name = QString::fromUtf8(static_cast<const char *>(xcb_get_property_value(prop)),
                                                   xcb_get_property_value_length(prop));
            free(prop);
            // Viewers may add to the caption; the file's name leads it.
            if (name.startsWith(title))
                out << children[i];
        }
        free(tree);
        return out;
    }

private:
    xcb_atom_t atom(const char *name)
    {
        xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(m_conn, xcb_intern_atom(m_conn, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(r);
        return a;
    }
    xcb_connection_t *m_conn = nullptr;
    int m_screen = 0;
};

// The shortest run whose memory slope means something (2 MiB per hour over its
// second half is at least 170 KiB).
constexpr double kJudgedMinutes = 10;

struct Options {
    double minutes = 60;
    int sampleSeconds = 5;
    int previewSeconds = 30;   // 0: no previews after the priming ones
    bool server = false;
    QStringList wrap;
};

class Soak
{
public:
    explicit Soak(const Options &o) : m_options(o) {}

    int run()
    {
        m_bin = QCoreApplication::applicationDirPath();
        if (!m_work.isValid())
            return setupFailed(QStringLiteral("no temporary folder"));
        m_root = m_work.path();
        for (const char *sub : {"srv", "home", "data/Kv", "config", "cache", "runtime", "src/Soak", "files"})
            QDir(m_root).mkpath(QLatin1String(sub));
        QFile::setPermissions(m_root + QLatin1String("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("HOME"), m_root + QLatin1String("/home"));
        m_env.insert(QStringLiteral("XDG_DATA_HOME"), m_root + QLatin1String("/data"));
        m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_root + QLatin1String("/config"));
        m_env.insert(QStringLiteral("XDG_CACHE_HOME"), m_root + QLatin1String("/cache"));
        m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_root + QLatin1String("/runtime"));
        m_env.insert(QStringLiteral("ZUDIVUVO_KEYRING"), QStringLiteral("off"));
        m_env.insert(QStringLiteral("ZUDIVUVO_PASSWORD"), QStringLiteral("demo"));
        m_env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        m_env.remove(QStringLiteral("WAYLAND_DISPLAY"));

        const int setup = startServer();
        if (setup != 0)
            return setup;
        const int code = m_options.server ? soakServer() : soakClient();
        stop(m_client);
        stop(m_xvfb);
        stop(m_server);
        return code;
    }

private:
    int startServer()
    {
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.start(m_bin + QLatin1String("/zudivuvo-server"),
                       {QStringLiteral("--data"), m_root + QLatin1String("/srv"), QStringLiteral("--port"), QStringLiteral("0"),
                        QStringLiteral("--seed"), QStringLiteral("demo")});
        QByteArray out;
        if (!waitForLine(m_server, out, " listening on ", 30000))
            return setupFailed(QStringLiteral("the reference server did not start: ") + QString::fromUtf8(out));
        m_port = QRegularExpression(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)")).match(QString::fromUtf8(out)).captured(1).toInt();
        if (m_port <= 0)
            return setupFailed(QStringLiteral("no port in the server's first line"));
        // The poll answer is read from the store at every request.
        if (!admin({QStringLiteral("set"), QStringLiteral("poll_seconds"), QStringLiteral("1")}))
            return setupFailed(QStringLiteral("cannot set the poll interval"));
        // A saved login: the client logs in at start, zudivuvo-cli uses it too.
        TClientConfigX config(m_root + QLatin1String("/data/Kv/rvc.sys"));
        config.SetServerHost(QStringLiteral("127.0.0.1"));
        config.SetServerPort(m_port);
        config.SetIsSSL(false);
        config.SetLanguage(HSL_ENG);
        config.SetLoginName(QStringLiteral("demo"));
        config.SetLoginPassword(QStringLiteral("demo"));
        config.SetSaveLoginInfo(true);
        config.SetAutoLogin(true);
        if (!config.Save())
            return setupFailed(QStringLiteral("cannot write the configuration: ") + config.LastSaveError());
        const auto login = cli({QStringLiteral("login")});
        const QRegularExpressionMatch owner = QRegularExpression(QStringLiteral("owner id (\\d+)")).match(login.value_or(QString()));
        if (!owner.hasMatch())
            return setupFailed(QStringLiteral("zudivuvo-cli could not log in"));
        m_owner = owner.captured(1).toLongLong();
        return 0;
    }

    bool admin(const QStringList &args)
    {
        return QProcess::execute(m_bin + QLatin1String("/zudivuvo-server"),
                                 QStringList{QStringLiteral("--data"), m_root + QLatin1String("/srv")} + args) == 0;
    }

    std::optional<QString> cli(const QStringList &args)
    {
        return ::run(m_bin + QLatin1String("/zudivuvo-cli"), args, m_env);
    }

    QString sourceFolder() const { return m_root + QLatin1String("/src/Soak"); }

    // Both preview files and a changing one, uploaded by a periodic task.
    int prepareClient()
    {
        writeFile(sourceFolder() + QLatin1String("/soak-notes.txt"), QByteArray("soak\r\n").repeated(2000));
        writeFile(sourceFolder() + QLatin1String("/soak-page.pdf"), tinyPdf());
        touchChanging();
        const auto added = cli({QStringLiteral("task"), QStringLiteral("add"), QStringLiteral("--upload"), QStringLiteral("--source"),
                                sourceFolder(), QStringLiteral("--dest"), QStringLiteral("Soak\\"), QStringLiteral("--owner"),
                                QString::number(m_owner), QStringLiteral("--period"), QStringLiteral("1")});
        const QString task = added.value_or(QString()).trimmed();
        m_task = task.toLongLong();
        if (task.isEmpty() || !cli({QStringLiteral("task"), QStringLiteral("run"), task}))
            return setupFailed(QStringLiteral("the upload task could not be added and run"));
        const qint64 folder = keyInListing(cli({QStringLiteral("ls"), QString::number(m_owner)}).value_or(QString()), QStringLiteral("Soak"));
        const QString files = cli({QStringLiteral("ls"), QStringLiteral("%1:%2").arg(m_owner).arg(folder)}).value_or(QString());
        m_previews = {{keyInListing(files, QStringLiteral("soak-notes.txt")), QStringLiteral("soak-notes.txt")},
                      {keyInListing(files, QStringLiteral("soak-page.pdf")), QStringLiteral("soak-page.pdf")}};
        for (const auto &[key, name] : m_previews)
            if (key == 0)
                return setupFailed(QStringLiteral("%1 is not on the server:\n%2").arg(name, files));
        return 0;
    }

    // Runs of the task its log records (the first was zudivuvo-cli's).
    int taskRuns() const
    {
        QFile f(m_root + QStringLiteral("/data/Kv/index/%1.log").arg(m_task));
        if (!f.open(QIODevice::ReadOnly))
            return 0;
        return int(QString::fromUtf16(reinterpret_cast<const char16_t *>(f.readAll().constData()), f.size() / 2)
                       .count(QLatin1String("Task initialization...")));
    }

    void touchChanging()
    {
        writeFile(sourceFolder() + QLatin1String("/changing.txt"),
                  QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8().repeated(100));
    }

    int soakClient()
    {
        const int prepared = prepareClient();
        if (prepared != 0)
            return prepared;
        m_xvfb.setStandardOutputFile(QProcess::nullDevice());
        m_xvfb.start(QStringLiteral("sh"), {QStringLiteral("-c"),
                                            QStringLiteral("exec Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>&2 2>/dev/null")});
        QByteArray displayOut;
        const QDeadlineTimer started(15000);
        while (!started.hasExpired() && !displayOut.contains('\n') && m_xvfb.state() != QProcess::NotRunning) {
            m_xvfb.waitForReadyRead(200);
            displayOut += m_xvfb.readAllStandardError();
        }
        const QString display = QLatin1Char(':') + QString::fromUtf8(displayOut).trimmed();
        if (display.size() < 2)
            return setupFailed(QStringLiteral("Xvfb did not start (is it installed?)"));
        m_env.insert(QStringLiteral("DISPLAY"), display);
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        m_env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("zudivuvo.app.info=true"));
        Display x(display);
        if (!x.ok())
            return setupFailed(QStringLiteral("cannot connect to the virtual display"));

        m_client.setProcessEnvironment(m_env);
        m_client.setProcessChannelMode(QProcess::MergedChannels);
        // --wrap runs the client under a tool (heaptrack, valgrind) to find what grows.
        if (m_options.wrap.isEmpty())
            m_client.start(m_bin + QLatin1String("/ZuDivuvo"), {});
        else
            m_client.start(m_options.wrap.first(), m_options.wrap.mid(1) << m_bin + QLatin1String("/ZuDivuvo"));
        QByteArray clientOut;
        if (!waitForLine(m_client, clientOut, "session established", 60000))
            return setupFailed(QStringLiteral("the client did not log in:\n") + QString::fromUtf8(clientOut));
        std::printf("client logged in (pid %lld); soaking for %.1f minutes\n", m_client.processId(), m_options.minutes);
        std::fflush(stdout);

        int previews = 0;
        int closed = 0;
        int changes = 0;
        auto preview = [&] {
            const auto &[key, name] = m_previews.at(previews % 2);
            ++previews;
            const QString link = QStringLiteral("ZuDivuvo://-p%20[code]13[/code][cmd][filekey]%1[/filekey][filename]%2[/filename]"
                                                "[ctparams]CanPrint=True,CtrlC=True[/ctparams][/cmd]/")
                                     .arg(key)
                                     .arg(name);
            ::run(m_bin + QLatin1String("/ZuDivuvo"), {link}, m_env, 20000);
            const QDeadlineTimer shown(20000);
            while (!shown.hasExpired() && x.windowsTitled(name).isEmpty())
                QThread::msleep(200);
            QThread::msleep(3000);
            if (x.closeWindows(name) > 0)
                ++closed;
            m_quietFrom = m_clock.isValid() ? m_clock.elapsed() / 1000.0 + 10.0 : 0.0;
        };
        // The first previews of each kind fill the viewers' caches (fonts, the PDF
        // library): they come before the clock, so a short run measures the steady state.
        for (int i = 0; i < 6; ++i)
            preview();
        // So does the client's first run of the task (its worker keeps the task's index
        // open).
        const QDeadlineTimer firstRun(150000);
        while (!firstRun.hasExpired() && taskRuns() < 2)
            QThread::msleep(500);
        std::printf("primed with %d previews and %d task runs\n", previews, taskRuns());
        std::fflush(stdout);
        auto step = [&](double seconds) {
            // Every 30 s a preview, shown for a few seconds; every minute a changed source file.
            const int slot = m_options.previewSeconds > 0 ? int(seconds / m_options.previewSeconds) : -1;
            if (slot >= m_nextPreview) {
                m_nextPreview = slot + 1;
                preview();
            }
            if (int(seconds / 60.0) >= m_nextChange) {
                m_nextChange = int(seconds / 60.0) + 1;
                touchChanging();
                ++changes;
            }
        };
        const int code = sampleLoop(m_client, step);
        clientOut += m_client.readAll();
        std::printf("previews opened %d, closed by the display %d; source changes %d\n", previews, closed, changes);
        const int runs = int(clientOut.count("Task initialization..."));
        if (runs > 0)
            std::printf("task runs logged by the client: %d\n", runs);
        if (closed < previews)
            std::printf("note: %d previews had no window to close (a viewer that failed shows a hint instead)\n", previews - closed);
        return code;
    }

    // A steady mix: a login, two listings, an upload and a download per round, by
    // separate zudivuvo-cli processes (each a new connection and session).
    int soakServer()
    {
        std::printf("server pid %lld; soaking for %.1f minutes\n", m_server.processId(), m_options.minutes);
        std::fflush(stdout);
        int rounds = 0;
        int failures = 0;
        qint64 folder = 0;
        auto step = [&](double) {
            const QString local = m_root + QStringLiteral("/files/up-%1.bin").arg(rounds % 20);
            writeFile(local, QByteArray::number(rounds).repeated(2000 + rounds % 7 * 3000));
            bool ok = bool(cli({QStringLiteral("login")}));
            const QString top = cli({QStringLiteral("ls"), QString::number(m_owner)}).value_or(QString());
            if (folder == 0)
                folder = keyInListing(top, QStringLiteral("Personal"));
            const QString target = QStringLiteral("%1:%2").arg(m_owner).arg(folder);
            ok = ok && folder != 0 && bool(cli({QStringLiteral("put"), local, target}));
            const QString listing = cli({QStringLiteral("ls"), target}).value_or(QString());
            const qint64 key = keyInListing(listing, QFileInfo(local).fileName());
            ok = ok && key != 0
                 && bool(cli({QStringLiteral("get"), QString::number(key), m_root + QStringLiteral("/files/down.bin")}));
            ++rounds;
            failures += ok ? 0 : 1;
        };
        const int code = sampleLoop(m_server, step);
        std::printf("rounds %d (login, 2 listings, upload, download each), failed %d\n", rounds, failures);
        return failures > 0 ? 1 : code;
    }

    template <typename Step>
    int sampleLoop(QProcess &process, Step step)
    {
        const qint64 pid = process.processId();
        QList<Sample> samples;
        QElapsedTimer &clock = m_clock;
        clock.start();
        const double total = m_options.minutes * 60.0;
        double nextSample = 0;
        while (clock.elapsed() / 1000.0 < total) {
            if (process.state() == QProcess::NotRunning) {
                std::printf("FAIL: the process ended during the run:\n%s\n", process.readAll().constData());
                return 1;
            }
            step(clock.elapsed() / 1000.0);
            const double now = clock.elapsed() / 1000.0;
            if (now >= nextSample) {
                if (auto s = sampleOf(pid, now)) {
                    s->quiet = now >= m_quietFrom;
                    samples << *s;
                }
                nextSample = now + m_options.sampleSeconds;
            }
            process.readAll();  // keep its output from piling up in the pipe
            QThread::msleep(200);
        }
        return report(samples);
    }

    int report(const QList<Sample> &all)
    {
        QList<Sample> second;
        const double half = m_options.minutes * 30.0;
        for (const Sample &s : all)
            if (s.seconds >= half)
                second << s;
        if (second.size() < 6)
            return setupFailed(QStringLiteral("too few samples in the second half"));
        // Memory is judged on the quiet samples: one taken while a viewer is open or just
        // closed holds that viewer, which says nothing about growth.
        QList<Sample> quiet;
        for (const Sample &s : second)
            if (s.quiet)
                quiet << s;
        if (quiet.size() < 3)
            return setupFailed(QStringLiteral("too few quiet samples in the second half"));
        const double rss = slopePerHour(quiet, [](const Sample &s) { return s.rssMiB; });
        const double anon = slopePerHour(quiet, [](const Sample &s) { return s.anonMiB; });
        const double fds = slopePerHour(second, [](const Sample &s) { return double(s.fds); });
        const double threads = slopePerHour(second, [](const Sample &s) { return double(s.threads); });
        const qsizetype third = second.size() / 3;
        const int fdsStart = leastOf(second, 0, third, &Sample::fds);
        const int fdsEnd = leastOf(second, second.size() - third, second.size(), &Sample::fds);
        const int threadsStart = leastOf(second, 0, third, &Sample::threads);
        const int threadsEnd = leastOf(second, second.size() - third, second.size(), &Sample::threads);

        std::printf("\n%s soak: %.1f minutes, %lld samples (%lld in the second half, %lld of them quiet)\n\n",
                    m_options.server ? "server" : "client", m_options.minutes, qint64(all.size()), qint64(second.size()),
                    qint64(quiet.size()));
        std::printf("%-22s %10s %10s %10s %16s\n", "measure", "first", "middle", "last", "growth per hour");
        const Sample &first = all.first();
        const Sample &mid = second.first();
        const Sample &last = second.last();
        std::printf("%-22s %10.1f %10.1f %10.1f %16.2f\n", "resident memory (MiB)", first.rssMiB, mid.rssMiB, last.rssMiB, rss);
        std::printf("%-22s %10.1f %10.1f %10.1f %16.2f\n", "  of it anonymous", first.anonMiB, mid.anonMiB, last.anonMiB, anon);
        std::printf("%-22s %10d %10d %10d %16.2f   (least: %d at the start, %d at the end of the second half)\n",
                    "open descriptors", first.fds, mid.fds, last.fds, fds, fdsStart, fdsEnd);
        std::printf("%-22s %10d %10d %10d %16.2f   (least: %d at the start, %d at the end of the second half)\n",
                    "threads", first.threads, mid.threads, last.threads, threads, threadsStart, threadsEnd);
        int code = 0;
        // Over a short run 2 MiB per hour is a few KiB, below what one allocation more
        // or less moves: such a run proves the harness and the descriptor and thread
        // counts, not the memory.
        if (m_options.minutes < kJudgedMinutes) {
            std::printf("memory not judged: %.0f minutes are too short to tell 2 MiB per hour from noise "
                        "(judged from %.0f minutes)\n", m_options.minutes, kJudgedMinutes);
        } else if (rss > 2.0) {
            std::printf("FAIL: resident memory grows %.2f MiB per hour (limit 2)\n", rss);
            code = 1;
        }
        if (fdsEnd > fdsStart) {
            std::printf("FAIL: open descriptors grow across the second half (%d -> %d)\n", fdsStart, fdsEnd);
            code = 1;
        }
        if (threadsEnd > threadsStart) {
            std::printf("FAIL: threads grow across the second half (%d -> %d)\n", threadsStart, threadsEnd);
            code = 1;
        }
        if (code == 0)
            std::printf("PASS\n");
        return code;
    }

    Options m_options;
    QTemporaryDir m_work;
    QString m_root;
    QString m_bin;
    QProcessEnvironment m_env;
    QProcess m_server;
    QProcess m_xvfb;
    QProcess m_client;
    int m_port = 0;
    qint64 m_owner = 0;
    qint64 m_task = 0;
    QList<QPair<qint64, QString>> m_previews;
    int m_nextPreview = 0;
    int m_nextChange = 1;
    QElapsedTimer m_clock;
    double m_quietFrom = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--server")) {
            options.server = true;
        } else if (a == QLatin1String("--minutes") && i + 1 < args.size()) {
            options.minutes = qMax(1.0, args.at(++i).toDouble());
        } else if (a == QLatin1String("--wrap") && i + 1 < args.size()) {
            options.wrap = args.at(++i).split(u' ', Qt::SkipEmptyParts);
        } else if (a == QLatin1String("--sample-seconds") && i + 1 < args.size()) {
            options.sampleSeconds = qMax(1, args.at(++i).toInt());
        } else if (a == QLatin1String("--preview-seconds") && i + 1 < args.size()) {
            options.previewSeconds = qMax(0, args.at(++i).toInt());
        } else {
            std::fprintf(stderr, "usage: bench_soak [--server] [--minutes N] [--sample-seconds N] [--preview-seconds N] [--wrap \"TOOL ARGS\"]\n");
            return 2;
        }
    }
    return Soak(options).run();
}
