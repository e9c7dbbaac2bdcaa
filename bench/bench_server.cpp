// The reference server under load: N concurrent clients, each logged in on its
// own session, upload files into a folder of their own and then download them
// again through the client's file channel (TRobotTcpClient), over loopback.
// Reports the aggregate speed of each phase and the server's peak memory.
//
// The server is a separate zudivuvo-server process started here on a temporary
// data folder, so its peak (VmHWM) is its own. Every source file has its own
// content (the server stores bodies by content and would fold copies into one),
// and every downloaded file is compared with its source by SHA-256 after the
// timed part.
#include "core/wiredate.h"
#include "net/robottcpclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QThread>

#include <QtEndian>

#include <openssl/evp.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <barrier>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kChunk = kMiB;  // generation and hashing buffer

// Ctrl-C stops generation and every transfer after its current block, so the
// temporary files and the server are still cleaned up.
std::atomic<qint32> g_break{0};

void onSignal(int)
{
    g_break.store(1);
}

struct BenchFile {
    QString name;
    QString source;
    QString target;
    qint64 size = 0;
    quint64 seed = 0;
    QByteArray sha;
    qint64 key = 0;
};

struct ClientRun {
    int index = 0;
    std::vector<BenchFile> files;
    QString error;       // first failure, empty when all went well
    bool transferred = false;  // every upload and download succeeded
    double upSeconds = 0;
    double downSeconds = 0;
    int verified = 0;
};

// Sixty-four pseudo-random bits per step: cheap enough that generation is bound
// by the disk, different for every seed.
struct SplitMix64 {
    quint64 state;
    quint64 next()
    {
        quint64 z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
};

class Sha256
{
public:
    Sha256() : m_ctx(EVP_MD_CTX_new()) { EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr); }
    ~Sha256() { EVP_MD_CTX_free(m_ctx); }
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;
    void add(const char *data, qint64 n) { EVP_DigestUpdate(m_ctx, data, size_t(n)); }
    QByteArray result()
    {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_DigestFinal_ex(m_ctx, out, &n);
        return QByteArray(reinterpret_cast<const char *>(out), int(n));
    }

private:
    EVP_MD_CTX *m_ctx;
};

// Writes the file's content and returns its hash; empty on failure.
QByteArray generate(const BenchFile &f, QString *error)
{
    QFile out(f.source);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("Cannot create %1: %2").arg(f.source, out.errorString());
        return {};
    }
    std::vector<quint64> buf(static_cast<size_t>(kChunk / 8));
    SplitMix64 rng{f.seed};
    Sha256 sha;
    for (qint64 left = f.size; left > 0 && g_break.load() == 0;) {
        for (quint64 &w : buf)
            w = rng.next();
        const qint64 n = std::min(left, kChunk);
        const char *p = reinterpret_cast<const char *>(buf.data());
        if (out.write(p, n) != n) {
            *error = QStringLiteral("Cannot write %1: %2").arg(f.source, out.errorString());
            return {};
        }
        sha.add(p, n);
        left -= n;
    }
    return sha.result();
}

QByteArray hashFile(const QString &path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return {};
    std::vector<char> buf(static_cast<size_t>(kChunk));
    Sha256 sha;
    qint64 n;
    while ((n = in.read(buf.data(), qint64(buf.size()))) > 0)
        sha.add(buf.data(), n);
    return n < 0 ? QByteArray() : sha.result();
}

// One field of /proc/<pid>/status in KiB, -1 when unreadable.
long procStatusKiB(qint64 pid, const char *field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

long selfPeakKiB()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

double since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Setup failures: exit code 2, as opposed to 1 for a failed or wrong transfer.
int setupFailed(const QString &what)
{
    std::fprintf(stderr, "bench_server: %s\n", qPrintable(what));
    return 2;
}

struct Settings {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 0;
    QString mac;
};

// Runs one client from login to verification. Failures are recorded, never
// thrown: the thread must still reach every barrier or the others would wait forever.
template <typename Barrier>
void runClient(ClientRun &run, const Settings &settings, Barrier &sync)
{
    auto fail = [&run](const QString &what) {
        if (run.error.isEmpty())
            run.error = what;
    };
    TRobotTcpClient c;
    c.Host = settings.host;
    c.Port = settings.port;
    // The server hashes and flushes a whole body to disk before it answers with the
    // key; with many large bodies at once that can take longer than the default 30 s.
    c.ReadTimeout = 10 * 60 * 1000;
    c.FLanguage = HSL_ENG;
    c.PIsBreak = &g_break;
    qint64 owner = 0;
    qint64 folder = 0;
    try {
        TLoginReply reply;
        const quint8 status = c.Login(QStringLiteral("demo"), QStringLiteral("demo"), settings.mac, settings.host,
                                      QString::number(settings.port), &reply);
        if (status != st::LoginOk) {
            fail(QStringLiteral("login refused (%1): %2").arg(status).arg(c.GetLastError()));
        } else {
            c.SetUserEncryptId(reply.UserId);
            owner = reply.UserId2;
            const QString name = QStringLiteral("bench-%1").arg(run.index, 3, 10, QLatin1Char('0'));
            if (c.CreateFolder(owner, 0, folder, name) != st::Ok || folder <= 0)
                fail(QStringLiteral("cannot create the folder %1: %2").arg(name, c.GetLastError()));
        }
    } catch (const std::exception &e) {
        fail(QStringLiteral("login or folder: %1").arg(QString::fromUtf8(e.what())));
    }

    sync.arrive_and_wait();  // everyone is logged in: the upload phase starts
    auto t0 = Clock::now();
    for (BenchFile &f : run.files) {
        if (!run.error.isEmpty() || g_break.load() != 0)
            break;
        TTidyFile tf;
        tf.Path = f.source;
        tf.DisplayName = f.name;
        tf.Size = f.size;
        tf.ModifyDT = NowDateTime();
        const quint8 status = c.UploadFile(owner, QString(), f.key, tf, folder);
        if (status != fc::Stored || f.key <= 0)
            fail(QStringLiteral("upload of %1 failed (%2): %3").arg(f.name).arg(status).arg(c.GetLastError()));
    }
    run.upSeconds = since(t0);

    sync.arrive_and_wait();  // all uploads are stored: the download phase starts
    t0 = Clock::now();
    for (BenchFile &f : run.files) {
        if (!run.error.isEmpty() || g_break.load() != 0)
            break;
        const quint8 status = c.DownloadFile(f.target, QStringLiteral("[IsReplace]True[/IsReplace]"), f.key);
        if (status != fc::Download)
            fail(QStringLiteral("download of %1 failed (%2): %3").arg(f.name).arg(status).arg(c.GetLastError()));
    }
    run.downSeconds = since(t0);
    if (g_break.load() != 0)
        fail(QStringLiteral("interrupted"));
    run.transferred = run.error.isEmpty();

    sync.arrive_and_wait();  // untimed from here
    for (const BenchFile &f : run.files) {
        if (!run.error.isEmpty())
            break;
        if (hashFile(f.target) != f.sha)
            fail(QStringLiteral("%1 came back with other bytes than were sent").arg(f.name));
        else
            ++run.verified;
        QFile::remove(f.target);
    }
}

class ServerProcess
{
public:
    explicit ServerProcess(const QString &binary) : m_binary(binary) {}
    ~ServerProcess() { stop(); }

    bool start(const QString &dataDir, QString *error, const QStringList &extra = {})
    {
        m_dataDir = dataDir;
        m_process.setProgram(m_binary);
        m_process.setArguments(QStringList{QStringLiteral("--data"), dataDir, QStringLiteral("--seed"), QStringLiteral("demo"),
                                           QStringLiteral("--port"), QStringLiteral("0")} + extra);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Goes with us even when we are killed.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_process.start();
        if (!m_process.waitForStarted(10000)) {
            *error = QStringLiteral("cannot start %1: %2").arg(m_binary, m_process.errorString());
            return false;
        }
        // The first line comes once the demo data is in place: "... listening on ADDR:PORT".
        QByteArray line;
        while (!line.contains('\n') && m_process.waitForReadyRead(30000))
            line += m_process.readAll();
        // "ADDR:PORT", maybe followed by " (plain and TLS)".
        const QByteArray where = line.mid(line.indexOf("listening on ") + 13).trimmed().split(' ').value(0);
        const qsizetype colon = where.lastIndexOf(':');
        m_port = colon > 0 ? quint16(where.mid(colon + 1).toUInt()) : 0;
        if (!line.contains("listening on") || m_port == 0) {
            *error = QStringLiteral("the server did not say where it listens: %1").arg(QString::fromLocal8Bit(line.trimmed()));
            return false;
        }
        return true;
    }
    // Admin commands run on the same data folder while the server serves.
    bool admin(const QStringList &args) const
    {
        return QProcess::execute(m_binary, QStringList{QStringLiteral("--data"), m_dataDir} + args) == 0;
    }
    // Returns the exit code, -1 when it had to be killed.
    int stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        m_process.terminate();
        if (!m_process.waitForFinished(60000)) {
            m_process.kill();
            m_process.waitForFinished(10000);
            return -1;
        }
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    qint64 pid() const { return m_process.processId(); }
    quint16 port() const { return m_port; }

private:
    QString m_binary;
    QString m_dataDir;
    QProcess m_process;
    quint16 m_port = 0;
};

QString mib(long kib)
{
    return kib < 0 ? QStringLiteral("?") : QString::number(kib / 1024.0, 'f', 1) + QStringLiteral(" MiB");
}

// ---- Hostile connections: openings that never finish, from many loopback addresses.

QByteArray int32BE(qint32 v)
{
    QByteArray b(4, Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}

// A framed request as the client sends it (request line included).
QByteArray framedRequest(quint8 code, const QString &text)
{
    QByteArray body(text.size() * 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        qToLittleEndian(text.at(i).unicode(), body.data() + 2 * i);
    QByteArray head(16, '\0');
    head[0] = 2;
    head[2] = char(code);
    QByteArray out = "ZYVEK /TCP/1.0\r\n" + int32BE(qint32(body.size()) + 20) + head;
    if (!body.isEmpty())
        out += int32BE(qint32(body.size())) + body;
    return out + int32BE(65518);
}

int connectFrom(quint32 source, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(source);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0
        || ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Milliseconds until a demo login is answered from 127.0.0.1; -1 when it is not.
double normalLoginMs(quint16 port)
{
    const auto t0 = Clock::now();
    const int fd = connectFrom(INADDR_LOOPBACK, port);
    if (fd < 0)
        return -1;
    const QByteArray request = framedRequest(84, QStringLiteral("[Name]demo[/Name][PassWord]demo[/PassWord][Mac][/Mac]"));
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    QByteArray reply;
    if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, n);
    }
    ::close(fd);
    return reply.size() >= 24 && quint8(reply.at(6)) == 86 ? since(t0) * 1000 : -1;
}

struct HostileKind {
    const char *name;
    QByteArray opening;
    qint64 stallBytes;  // sent after the opening, then nothing more
};

// Each kind: N connections held open, a normal client's login timed meanwhile
// (median and worst of five), the server's memory while they are open.
void runHostile(const QString &serverBinary, const QString &dataDir, int connections)
{
    ServerProcess server(serverBinary);
    QString error;
    if (!server.start(dataDir, &error, {QStringLiteral("--tls")})) {
        std::printf("hostile connections: %s\n", qPrintable(error));
        return;
    }
    const quint16 port = server.port();
    auto loginTimes = [&] {
        std::vector<double> ms;
        for (int i = 0; i < 5; ++i)
            ms.push_back(normalLoginMs(port));
        std::sort(ms.begin(), ms.end());
        return std::make_pair(ms[2], ms.front() < 0 ? -1.0 : ms.back());
    };
    const auto idle = loginTimes();
    const long idleKiB = procStatusKiB(server.pid(), "VmRSS");
    std::printf("\nhostile connections: %d of each kind from 50 loopback addresses, against a fresh server\n", connections);
    std::printf("%-28s %6s %12s %12s %12s %12s\n", "kind", "made", "login median", "login worst", "server RSS", "server peak");
    std::printf("%-28s %6d %9.1f ms %9.1f ms %12s %12s\n", "none (idle)", 0, idle.first, idle.second,
                qPrintable(mib(idleKiB)), qPrintable(mib(procStatusKiB(server.pid(), "VmHWM"))));
    const qint32 frame = 16 * 1024 * 1024;
    const QList<HostileKind> kinds{
        {"file-channel request line", "ZYVEK_FILE /TCP/1.0\r\n", 0},
        {"framed request line", "ZYVEK /TCP/1.0\r\n", 0},
        {"one HTTP header line", "GET /index HTTP/1.1\r\nHost: 127.0.0.1\r\n", 0},
        {"three bytes of a TLS record", QByteArray("\x16\x03\x01", 3), 0},
        {"nothing", QByteArray(), 0},
        {"16 MiB frame, 1 MiB sent", "ZYVEK /TCP/1.0\r\n" + int32BE(frame + 20) + QByteArray(16, '\0') + int32BE(frame), 1024 * 1024},
    };
    const QByteArray filler(64 * 1024, 'x');
    for (const HostileKind &kind : kinds) {
        std::vector<int> fds;
        for (int i = 0; i < connections && g_break.load() == 0; ++i) {
            const int fd = connectFrom(INADDR_LOOPBACK + 1 + quint32(i % 50), port);
            if (fd < 0)
                continue;
            fds.push_back(fd);
            const int flags = ::fcntl(fd, F_GETFL);
            ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
            if (!kind.opening.isEmpty())
                (void)::send(fd, kind.opening.constData(), size_t(kind.opening.size()), MSG_NOSIGNAL);
            for (qint64 sent = 0; sent < kind.stallBytes;) {
                const ssize_t n = ::send(fd, filler.constData(), size_t(std::min<qint64>(filler.size(), kind.stallBytes - sent)), MSG_NOSIGNAL);
                if (n <= 0)
                    break;  // refused, or the kernel's buffers are full: both are what an attacker gets
                sent += n;
            }
        }
        const auto times = loginTimes();
        std::printf("%-28s %6zu %9.1f ms %9.1f ms %12s %12s\n", kind.name, fds.size(), times.first, times.second,
                    qPrintable(mib(procStatusKiB(server.pid(), "VmRSS"))), qPrintable(mib(procStatusKiB(server.pid(), "VmHWM"))));
        std::fflush(stdout);
        for (int fd : fds)
            ::close(fd);
        // Let the server see the closes before the next kind.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const long peakKiB = procStatusKiB(server.pid(), "VmHWM");
    const int exitCode = server.stop();
    std::printf("server peak memory over all kinds (VmHWM): %s (idle %s); server exit code %d\n",
                qPrintable(mib(peakKiB)), qPrintable(mib(idleKiB)), exitCode);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int clients = 20;
    int smallCount = 50;
    qint64 largeMiB = 256;
    QString dirArg;
    int hostile = 500;
    bool usage = false;
    for (int i = 1; i < argc && !usage; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        const QString value = i + 1 < argc ? QString::fromLocal8Bit(argv[i + 1]) : QString();
        bool ok = !value.isEmpty();
        if (a == QLatin1String("--clients"))
            clients = value.toInt(&ok);
        else if (a == QLatin1String("--small"))
            smallCount = value.toInt(&ok);
        else if (a == QLatin1String("--large-mib"))
            largeMiB = value.toLongLong(&ok);
        else if (a == QLatin1String("--dir"))
            dirArg = value;
        else if (a == QLatin1String("--hostile"))
            hostile = value.toInt(&ok);
        else
            ok = false;
        usage = !ok;
        ++i;
    }
    if (usage || clients < 1 || clients > 500 || smallCount < 0 || smallCount > 100000 || largeMiB < 0
        || largeMiB > 64 * 1024 || (smallCount == 0 && largeMiB == 0) || hostile < 0 || hostile > 5000) {
        std::fprintf(stderr, "usage: bench_server [--clients N (1..500)] [--small N] [--large-mib N] [--dir FOLDER] [--hostile N (0..5000)]\n");
        return 2;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    const QString serverBinary = QCoreApplication::applicationDirPath() + QStringLiteral("/zudivuvo-server");
    if (!QFileInfo(serverBinary).isExecutable())
        return setupFailed(QStringLiteral("%1 is missing; build the zudivuvo-server target").arg(serverBinary));

    const QString base = dirArg.isEmpty() ? QDir::tempPath() : dirArg;
    QTemporaryDir tmp(base + QStringLiteral("/zudivuvo-bench-server-XXXXXX"));
    if (!tmp.isValid())
        return setupFailed(QStringLiteral("cannot create a temporary folder in %1").arg(base));

    // First the openings that never finish, against a server of their own, so its peak is theirs.
    if (hostile > 0)
        runHostile(serverBinary, tmp.path() + QStringLiteral("/hostile"), hostile);

    // The sources, the server's copies and the downloads are all on this disk at the end.
    const qint64 perClient = smallCount * kMiB + largeMiB * kMiB;
    const qint64 total = perClient * clients;
    const qint64 needed = 3 * total + 512 * kMiB;
    const QStorageInfo disk(tmp.path());
    if (disk.bytesAvailable() < needed)
        return setupFailed(QStringLiteral("%1 MiB are needed in %2 (sources, the server's copies, downloads), %3 MiB are free; "
                           "use --dir elsewhere or fewer clients or files")
                .arg(needed / kMiB)
                .arg(base)
                .arg(disk.bytesAvailable() / kMiB));

    const QString dataDir = tmp.path() + QStringLiteral("/server");
    std::vector<ClientRun> runs(static_cast<size_t>(clients));
    for (int c = 0; c < clients; ++c) {
        ClientRun &run = runs[size_t(c)];
        run.index = c + 1;
        const QString srcDir = tmp.path() + QStringLiteral("/source/%1").arg(run.index);
        const QString downDir = tmp.path() + QStringLiteral("/download/%1").arg(run.index);
        if (!QDir().mkpath(srcDir) || !QDir().mkpath(downDir))
            return setupFailed(QStringLiteral("cannot create the folders in %1").arg(tmp.path()));
        auto add = [&](const QString &name, qint64 size) {
            BenchFile f;
            f.name = name;
            f.source = srcDir + u'/' + name;
            f.target = downDir + u'/' + name;
            f.size = size;
            f.seed = (quint64(run.index) << 32) + quint64(run.files.size());
            run.files.push_back(f);
        };
        for (int i = 0; i < smallCount; ++i)
            add(QStringLiteral("small-%1.bin").arg(i + 1, 5, 10, QLatin1Char('0')), kMiB);
        if (largeMiB > 0)
            add(QStringLiteral("large.bin"), largeMiB * kMiB);
    }

    std::printf("reference server under load: %d clients, each %d x 1 MiB and 1 x %lld MiB up, then down, "
                "over loopback\n",
                clients, smallCount, static_cast<long long>(largeMiB));
    std::printf("generating %.0f MiB of source files ...\n", double(total) / kMiB);
    std::fflush(stdout);
    {
        std::vector<BenchFile *> jobs;
        for (ClientRun &run : runs)
            for (BenchFile &f : run.files)
                jobs.push_back(&f);
        // Large files first, so the small ones fill the gaps at the end.
        std::stable_sort(jobs.begin(), jobs.end(), [](const BenchFile *a, const BenchFile *b) { return a->size > b->size; });
        std::atomic<size_t> nextJob{0};
        std::atomic<bool> failed{false};
        std::vector<std::thread> workers;
        const int n = std::max(2, QThread::idealThreadCount());
        std::vector<QString> errors(static_cast<size_t>(n));
        for (int w = 0; w < n; ++w) {
            workers.emplace_back([&, w] {
                while (!failed && g_break.load() == 0) {
                    const size_t j = nextJob++;
                    if (j >= jobs.size())
                        break;
                    jobs[j]->sha = generate(*jobs[j], &errors[size_t(w)]);
                    if (jobs[j]->sha.isEmpty())
                        failed = true;
                }
            });
        }
        for (std::thread &t : workers)
            t.join();
        for (const QString &e : errors)
            if (!e.isEmpty())
                return setupFailed(e);
        if (g_break.load() != 0)
            return setupFailed(QStringLiteral("interrupted"));
        // On disk before the clock starts: the write-back of these pages would
        // otherwise compete with the server's own writes during the uploads.
        ::sync();
    }

    ServerProcess server(serverBinary);
    QString error;
    if (!server.start(dataDir, &error))
        return setupFailed(error);
    // The large file is above the demo's upload limit.
    const QStringList limit{QStringLiteral("set"), QStringLiteral("max_upload_mb"), QString::number(std::max<qint64>(200, largeMiB + 1))};
    if (!server.admin(limit))
        return setupFailed(QStringLiteral("admin command failed: %1").arg(limit.join(u' ')));
    const long serverStartKiB = procStatusKiB(server.pid(), "VmHWM");

    Settings settings;
    settings.port = server.port();
    settings.mac = LoginMacValue();
    std::array<Clock::time_point, 3> marks;
    std::atomic<int> phase{0};
    long serverAfterUploadKiB = -1;
    const qint64 serverPid = server.pid();
    auto onPhase = [&]() noexcept {
        const int p = phase++;
        marks[size_t(std::min(p, 2))] = Clock::now();
        if (p == 1)
            serverAfterUploadKiB = procStatusKiB(serverPid, "VmHWM");
    };
    std::barrier sync(clients, onPhase);
    {
        std::vector<std::thread> threads;
        for (ClientRun &run : runs)
            threads.emplace_back([&run, &settings, &sync] { runClient(run, settings, sync); });
        for (std::thread &t : threads)
            t.join();
    }
    const long serverPeakKiB = procStatusKiB(server.pid(), "VmHWM");
    const int serverExit = server.stop();

    const int files = clients * (smallCount + (largeMiB > 0 ? 1 : 0));
    if (std::all_of(runs.begin(), runs.end(), [](const ClientRun &r) { return r.transferred; })) {
        // marks: 0 = uploads start, 1 = downloads start, 2 = downloads end.
        const double upSeconds = std::chrono::duration<double>(marks[1] - marks[0]).count();
        const double downSeconds = std::chrono::duration<double>(marks[2] - marks[1]).count();
        const double mb = double(total) / 1e6;
        const double totalMiB = double(total) / kMiB;
        auto spread = [&](double ClientRun::*field) {
            double lo = 1e300, hi = 0;
            for (const ClientRun &r : runs) {
                lo = std::min(lo, r.*field);
                hi = std::max(hi, r.*field);
            }
            return std::make_pair(lo, hi);
        };
        const auto up = spread(&ClientRun::upSeconds);
        const auto down = spread(&ClientRun::downSeconds);
        std::printf("\n%-9s %7s %9s %9s %8s   %s\n", "phase", "files", "MiB", "seconds", "MB/s",
                    "one client's time (fastest .. slowest)");
        std::printf("%-9s %7d %9.0f %9.1f %8.0f   %.1f .. %.1f s\n", "upload", files, totalMiB, upSeconds, mb / upSeconds,
                    up.first, up.second);
        std::printf("%-9s %7d %9.0f %9.1f %8.0f   %.1f .. %.1f s\n", "download", files, totalMiB, downSeconds,
                    mb / downSeconds, down.first, down.second);
        std::printf("%-9s %7d %9.0f %9.1f %8.0f\n", "total", 2 * files, 2 * totalMiB, upSeconds + downSeconds,
                    2 * mb / (upSeconds + downSeconds));
    } else {
        std::printf("\nno speeds: not every transfer completed\n");
    }
    std::printf("\nserver peak memory (VmHWM): %s (%s after start, %s after the uploads); server exit code %d\n",
                qPrintable(mib(serverPeakKiB)), qPrintable(mib(serverStartKiB)), qPrintable(mib(serverAfterUploadKiB)),
                serverExit);
    std::printf("peak RSS of this process (%d client threads): %s\n", clients, qPrintable(mib(selfPeakKiB())));

    int verified = 0;
    bool ok = serverExit == 0;
    for (const ClientRun &r : runs) {
        verified += r.verified;
        if (!r.error.isEmpty()) {
            std::printf("FAIL client %d: %s\n", r.index, qPrintable(r.error));
            ok = false;
        }
    }
    if (serverExit != 0)
        std::printf("FAIL: the server did not stop cleanly\n");
    std::printf("%d of %d downloaded files have the SHA-256 of their source\n", verified, files);
    return ok && verified == files ? 0 : 1;
}
