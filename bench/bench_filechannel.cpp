// File channel throughput against a raw socket copy of the same bytes,
// plain and TLS, on loopback, with the client's peak memory.
//
// The server runs in a forked child process, so the peak resident size measured
// here (getrusage of this process) is the client's alone. The server is a sink
// and a source: it discards uploads and sends a pattern for downloads, so the
// numbers are the client's cost, not a storage engine's.
//
// The raw baseline does not use the client's code at all: a blocking socket
// (plain) or OpenSSL's own socket BIO (TLS), 128 KiB buffers, read() from the file
// and send(), recv() and write() to the file.
#include "net/robottcpclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// 128 KiB, as cp uses: large enough for few system calls, small enough to stay in
// the CPU caches (a 1 MiB buffer made the raw copy slower, not faster).
constexpr size_t kRawBuf = 128 * 1024;

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "bench: %s (%s)\n", what, std::strerror(errno));
    ERR_print_errors_fp(stderr);
    std::exit(2);
}

// ---- a blocking stream, plain or TLS (used by the server and the raw client)
struct Stream {
    int fd = -1;
    SSL *ssl = nullptr;
    void readExact(char *p, size_t n)
    {
        while (n > 0) {
            const long r = ssl ? SSL_read(ssl, p, int(std::min<size_t>(n, 1 << 30))) : ::recv(fd, p, n, 0);
            if (r <= 0)
                die("read failed");
            p += r;
            n -= size_t(r);
        }
    }
    size_t readSome(char *p, size_t n, bool waitAll = false)
    {
        const long r = ssl ? SSL_read(ssl, p, int(n)) : ::recv(fd, p, n, waitAll ? MSG_WAITALL : 0);
        if (r <= 0)
            die("read failed");
        return size_t(r);
    }
    void writeAll(const char *p, size_t n)
    {
        while (n > 0) {
            const long r = ssl ? SSL_write(ssl, p, int(std::min<size_t>(n, 1 << 30))) : ::send(fd, p, n, MSG_NOSIGNAL);
            if (r <= 0)
                die("write failed");
            p += r;
            n -= size_t(r);
        }
    }
    std::string readLine()
    {
        std::string s;
        char c;
        for (;;) {
            readExact(&c, 1);
            if (c == '\n')
                break;
            if (c != '\r')
                s += c;
        }
        return s;
    }
    qint64 readI64()
    {
        unsigned char b[8];
        readExact(reinterpret_cast<char *>(b), 8);
        qint64 v = 0;
        for (unsigned char x : b)
            v = (v << 8) | x;
        return v;
    }
    void writeI64(qint64 v)
    {
        char b[8];
        for (int i = 7; i >= 0; --i, v >>= 8)
            b[i] = char(v & 0xFF);
        writeAll(b, 8);
    }
    void writeI32(qint32 v)
    {
        char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        writeAll(b, 4);
    }
    qint32 readI32()
    {
        unsigned char b[4];
        readExact(reinterpret_cast<char *>(b), 4);
        return qint32((quint32(b[0]) << 24) | (quint32(b[1]) << 16) | (quint32(b[2]) << 8) | b[3]);
    }
    void close()
    {
        if (ssl) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
            ssl = nullptr;
        }
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

QString decodeParam(const std::string &line)
{
    const QByteArray l = QByteArray::fromStdString(line);
    if (l.size() > 4 && l.startsWith("%_") && l.endsWith("_%"))
        return QString::fromUtf8(QByteArray::fromHex(l.mid(2, l.size() - 4)));
    return QString::fromLatin1(l);
}

qint64 tagNumber(const QString &text, const QString &tag)
{
    const qsizetype b = text.indexOf(u'[' + tag + u']');
    const qsizetype e = text.indexOf(QStringLiteral("[/") + tag + u']');
    return b >= 0 && e > b ? text.mid(b + tag.size() + 2, e - b - tag.size() - 2).toLongLong() : 0;
}

void sink(Stream &s, qint64 n, std::vector<char> &buf)
{
    while (n > 0) {
        const size_t r = s.readSome(buf.data(), size_t(std::min<qint64>(n, qint64(buf.size()))));
        n -= qint64(r);
    }
}

void source(Stream &s, qint64 n, const std::vector<char> &buf)
{
    while (n > 0) {
        const size_t step = size_t(std::min<qint64>(n, qint64(buf.size())));
        s.writeAll(buf.data(), step);
        n -= qint64(step);
    }
}

// ---- the server (child process)
void serve(int listenFd, SSL_CTX *ctx)
{
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<char> buf(kRawBuf);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = char((i * 131) ^ (i >> 9));
    for (;;) {
        Stream s;
        s.fd = ::accept(listenFd, nullptr, nullptr);
        if (s.fd < 0)
            continue;
        int one = 1;
        ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (ctx) {
            s.ssl = SSL_new(ctx);
            SSL_set_fd(s.ssl, s.fd);
            if (SSL_accept(s.ssl) != 1) {
                s.close();
                continue;
            }
        }
        const std::string first = s.readLine();
        if (first == "QUIT") {
            s.close();
            std::_Exit(0);
        }
        if (first.rfind("RAW_UP ", 0) == 0) {
            sink(s, std::stoll(first.substr(7)), buf);
            s.writeAll("OK\n", 3);
        } else if (first.rfind("RAW_DOWN ", 0) == 0) {
            source(s, std::stoll(first.substr(9)), buf);
        } else if (first == "ZYVEK_FILE /TCP/1.0") {
            const qint32 op = s.readI32();
            const QString params = decodeParam(s.readLine());
            if (op == 1) {
                s.writeI32(3);
                s.writeI64(0);
                s.writeI64(0);
                s.readI64();
                sink(s, s.readI64(), buf);
                s.readI32();
                s.writeI64(4242);
            } else if (op == 2) {
                const qint64 size = tagNumber(params, QStringLiteral("BenchSize"));
                s.writeI32(10);
                s.writeAll("0\r\n", 3);
                s.readI64();
                s.readI64();
                s.writeI64(0);
                s.writeI64(size);
                source(s, size, buf);
                s.writeI32(65520);
            }
        }
        // Wait for the client to close first, so no byte is cut off by a reset.
        char c;
        while ((s.ssl ? SSL_read(s.ssl, &c, 1) : ::recv(s.fd, &c, 1, 0)) > 0) {
        }
        s.close();
    }
}

SSL_CTX *serverContext()
{
    EVP_PKEY *pkey = EVP_EC_gen("P-256");
    X509 *x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, pkey);
    X509_NAME *name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_sign(x, pkey, EVP_sha256());
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx, x);
    SSL_CTX_use_PrivateKey(ctx, pkey);
    X509_free(x);
    EVP_PKEY_free(pkey);
    return ctx;
}

struct Server {
    pid_t pid = -1;
    quint16 port = 0;
};

Server startServer(bool tls)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0)
        die("cannot listen");
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    Server s;
    s.port = ntohs(a.sin_port);
    SSL_CTX *ctx = tls ? serverContext() : nullptr;
    s.pid = ::fork();
    if (s.pid == 0) {
        serve(fd, ctx);
        std::_Exit(0);
    }
    ::close(fd);
    if (ctx)
        SSL_CTX_free(ctx);
    return s;
}

// ---- the raw client baseline
Stream rawConnect(quint16 port, bool tls)
{
    Stream s;
    s.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        die("raw connect");
    int one = 1;
    ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (tls) {
        static SSL_CTX *ctx = [] {
            SSL_CTX *c = SSL_CTX_new(TLS_client_method());
            SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
            SSL_CTX_set_max_proto_version(c, TLS1_2_VERSION);
            SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
            return c;
        }();
        s.ssl = SSL_new(ctx);
        SSL_set_fd(s.ssl, s.fd);
        if (SSL_connect(s.ssl) != 1)
            die("raw TLS handshake");
    }
    return s;
}

void rawUpload(quint16 port, bool tls, const QString &file, qint64 size)
{
    Stream s = rawConnect(port, tls);
    const std::string head = "RAW_UP " + std::to_string(size) + "\n";
    s.writeAll(head.data(), head.size());
    const int in = ::open(QFile::encodeName(file).constData(), O_RDONLY);
    std::vector<char> buf(kRawBuf);
    ssize_t n;
    while ((n = ::read(in, buf.data(), buf.size())) > 0)
        s.writeAll(buf.data(), size_t(n));
    ::close(in);
    if (s.readLine() != "OK")
        die("raw upload not confirmed");
    s.close();
}

void rawDownload(quint16 port, bool tls, const QString &file, qint64 size)
{
    Stream s = rawConnect(port, tls);
    const std::string head = "RAW_DOWN " + std::to_string(size) + "\n";
    s.writeAll(head.data(), head.size());
    const int out = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char> buf(kRawBuf);
    qint64 left = size;
    while (left > 0) {
        const size_t r = s.readSome(buf.data(), size_t(std::min<qint64>(left, qint64(buf.size()))), true);
        if (::write(out, buf.data(), r) != ssize_t(r))
            die("raw download write");
        left -= qint64(r);
    }
    ::close(out);
    s.close();
}

void stopServer(const Server &srv, bool tls)
{
    Stream s = rawConnect(srv.port, tls);
    s.writeAll("QUIT\n", 5);
    s.close();
    ::waitpid(srv.pid, nullptr, 0);
}

// CPU seconds of this process (the client; the server is a child of its own).
double cpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Wall and CPU seconds of every run of one transfer. CPU time is what the client
// itself spent and moves far less with the machine's load than the wall time.
struct Runs {
    std::vector<double> wall, cpu;
    void time(const std::function<void()> &f)
    {
        const double cpu0 = cpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        f();
        wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        cpu.push_back(cpuSeconds() - cpu0);
    }
};

// Untimed: the written file goes to disk and away, so the next measurement does
// not pay for this one's write-back.
void settle(const QString &file)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    QFile::remove(file);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Speeds of every run of one transfer, as min / median / max, and the ratios
// channel / raw of the medians and of the best runs.
void printRow(const char *mode, const char *direction, double mb, const Runs &ch, const Runs &rw)
{
    const std::vector<double> &channel = ch.wall, &raw = rw.wall;
    auto spread = [mb](const std::vector<double> &secs) {
        const auto [fast, slow] = std::minmax_element(secs.begin(), secs.end());
        char text[64];
        std::snprintf(text, sizeof text, "%.0f / %.0f / %.0f", mb / *slow, mb / median(secs), mb / *fast);
        return std::string(text);
    };
    const double best = *std::min_element(raw.begin(), raw.end()) / *std::min_element(channel.begin(), channel.end());
    std::printf("%-6s %-9s %20s %20s %13.2f %11.2f %12.2f %8.2f\n", mode, direction, spread(channel).c_str(),
                spread(raw).c_str(), median(raw) / median(channel), best, median(ch.cpu), median(rw.cpu));
}

long peakRssKiB()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qint64 sizeMiB = 1024;
    int rounds = 6;
    QString dirArg;
    QString onlyMode;  // "plain" or "tls": one of the two (for profiling)
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        if (a == QLatin1String("--size-mib") && i + 1 < argc)
            sizeMiB = QString::fromLocal8Bit(argv[++i]).toLongLong();
        else if (a == QLatin1String("--rounds") && i + 1 < argc)
            rounds = std::max(1, QString::fromLocal8Bit(argv[++i]).toInt());
        else if (a == QLatin1String("--mode") && i + 1 < argc)
            onlyMode = QString::fromLocal8Bit(argv[++i]);
        else if (a == QLatin1String("--dir") && i + 1 < argc)
            dirArg = QString::fromLocal8Bit(argv[++i]);
        else {
            std::fprintf(stderr, "usage: bench_filechannel [--size-mib N] [--rounds N] [--mode plain|tls] [--dir FOLDER]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    const qint64 size = sizeMiB * 1024 * 1024;
    QTemporaryDir tmp(dirArg.isEmpty() ? QDir::tempPath() + QLatin1String("/zudivuvo-bench-XXXXXX")
                                       : dirArg + QLatin1String("/zudivuvo-bench-XXXXXX"));
    if (!tmp.isValid())
        die("no temporary folder");
    const QString src = tmp.path() + QLatin1String("/source.bin");
    {
        QFile f(src);
        if (!f.open(QIODevice::WriteOnly))
            die("cannot create the source file");
        std::vector<char> buf(kRawBuf);
        for (size_t i = 0; i < buf.size(); ++i)
            buf[i] = char((i * 7) ^ (i >> 11));
        for (qint64 left = size; left > 0; left -= qint64(buf.size()))
            f.write(buf.data(), std::min<qint64>(left, qint64(buf.size())));
        // On disk before any measurement: otherwise the write-back of these dirty
        // pages throttles whichever download happens to run first.
        f.flush();
        ::fsync(f.handle());
    }
    const long rssBefore = peakRssKiB();
    std::printf("file channel vs raw socket copy, %lld MiB over loopback (server in a child process)\n\n",
                static_cast<long long>(sizeMiB));
    std::printf("%d rounds each, alternating which goes first; speeds in MB/s as min / median / max of all rounds\n\n",
                rounds);
    std::printf("%-6s %-9s %20s %20s %13s %11s %12s %8s\n", "mode", "direction", "channel", "raw", "ratio median",
                "ratio best", "CPU s: chan", "raw");
    bool ok = true;
    for (bool tls : {false, true}) {
        if (!onlyMode.isEmpty() && onlyMode != QLatin1String(tls ? "tls" : "plain"))
            continue;
        const Server srv = startServer(tls);
        const double mb = double(size) / 1e6;

        TRobotTcpClient c(tls);
        c.Host = QStringLiteral("127.0.0.1");
        c.Port = srv.port;
        c.ReadTimeout = 120000;
        c.FLanguage = HSL_ENG;
        c.SetUserEncryptId(QStringLiteral("BENCH"));
        qint64 progress = 0;
        c.FDoTransmit = [&](TRobotTcpClient *, qint64, qint64 done) { progress = done; };

        TTidyFile tf;
        tf.Path = src;
        tf.Size = size;
        const QString rawOut = tmp.path() + QLatin1String("/raw.bin");
        const QString chOut = tmp.path() + QLatin1String("/channel.bin");
        // Every run is kept: the goal is judged on the medians, and the spread shows how
        // much the machine's load moved the figures.
        Runs rawUp, chUp, rawDown, chDown;
        for (int round = 0; round < rounds; ++round) {
            // Whichever transfer writes a large file first pays the kernel's page-cache
            // reclaim, so the order alternates per round.
            const bool rawFirst = round % 2 == 0;
            auto rawUpRun = [&] { rawUp.time([&] { rawUpload(srv.port, tls, src, size); }); };
            auto chUpRun = [&] {
                qint64 key = 0;
                int upResult = 0;
                progress = 0;
                chUp.time([&] { upResult = c.UploadFile(1, QString(), key, tf, 0); });
                if (upResult != 3 || progress != size) {
                    std::fprintf(stderr, "upload failed: %d %s\n", upResult, qPrintable(c.GetLastError()));
                    ok = false;
                }
            };
            auto rawDownRun = [&] {
                rawDown.time([&] { rawDownload(srv.port, tls, rawOut, size); });
                settle(rawOut);
            };
            auto chDownRun = [&] {
                int downResult = 0;
                chDown.time([&] {
                    downResult = c.DownloadFile(chOut, QStringLiteral("[BenchSize]%1[/BenchSize]").arg(size), 1);
                });
                if (downResult != 10 || QFileInfo(chOut).size() != size) {
                    std::fprintf(stderr, "download failed: %d %s\n", downResult, qPrintable(c.GetLastError()));
                    ok = false;
                }
                settle(chOut);
            };
            if (rawFirst) {
                rawUpRun();
                chUpRun();
                rawDownRun();
                chDownRun();
            } else {
                chUpRun();
                rawUpRun();
                chDownRun();
                rawDownRun();
            }
        }
        stopServer(srv, tls);
        const char *mode = tls ? "TLS" : "plain";
        printRow(mode, "upload", mb, chUp, rawUp);
        printRow(mode, "download", mb, chDown, rawDown);
        std::fflush(stdout);
    }
    const long peak = peakRssKiB();
    std::printf("\npeak RSS of the client process: %.1f MiB (%.1f MiB before the transfers; limit 64 MiB)\n",
                peak / 1024.0, rssBefore / 1024.0);
    if (peak > 64 * 1024) {
        std::printf("FAIL: the client's peak memory is above 64 MiB\n");
        ok = false;
    }
    return ok ? 0 : 1;
}
