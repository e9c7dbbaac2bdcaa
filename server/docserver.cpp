#include "docserver.h"

#include "filechannel.h"
#include "httphandler.h"
#include "requesthandler.h"
#include "store.h"
#include "tlscert.h"
#include "wire.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QScopeGuard>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcServer, "zudivuvo.server")

namespace {
constexpr char kTlsHandshake = 0x16;
// A connection with its database, WAL, shared memory and a file body open.
constexpr int kDescriptorsPerConnection = 5;
constexpr int kSpareDescriptors = 64;
// Forward secrecy only, unless old clients are allowed.
const char *const kModernCiphers = "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20:ECDHE+AES:DHE+AES:!aNULL:!eNULL:!MD5:!DSS";
const char *const kLegacyCiphers = "HIGH:!aNULL:!eNULL:!MD5";

QString sslError()
{
    char buffer[256] = {};
    ERR_error_string_n(ERR_get_error(), buffer, sizeof buffer);
    return QString::fromLatin1(buffer);
}

QHostAddress peerAddress(const sockaddr_storage &a)
{
    QHostAddress address(reinterpret_cast<const sockaddr *>(&a));
    // An IPv4 client of an IPv6 listener counts as its IPv4 address.
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}
} // namespace

DocServer::DocServer(const ServerOptions &options) : m_options(options)
{
}

DocServer::~DocServer()
{
    stop();
    if (m_sslContext)
        SSL_CTX_free(m_sslContext);
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool DocServer::openDataDir(QString *error)
{
    if (m_lockFd >= 0)
        return true;
    if (!QDir().mkpath(m_options.dataDir)) {
        if (error)
            *error = QStringLiteral("Cannot create %1").arg(m_options.dataDir);
        return false;
    }
    // One server per data folder: it alone cleans staging, where another one's
    // uploads (or the demo seed) are being written.
    const QByteArray lockPath = QFile::encodeName(m_options.dataDir + QStringLiteral("/server.lock"));
    const int fd = ::open(lockPath.constData(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (error) {
            *error = errno == EWOULDBLOCK
                ? QStringLiteral("Another zudivuvo-server is already serving %1").arg(m_options.dataDir)
                : QStringLiteral("Cannot lock %1: %2").arg(QFile::decodeName(lockPath), QString::fromLocal8Bit(strerror(errno)));
        }
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    if (!Store::initDataDir(m_options.dataDir, error)) {
        ::close(fd);
        return false;
    }
    m_lockFd = fd;
    Store::sweepStaging(m_options.dataDir, m_options.stagingMaxAgeMs, true);
    return true;
}

bool DocServer::start(QString *error)
{
    if (!openDataDir(error))
        return false;
    // A peer that goes away while we write must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (m_options.tls && !m_sslContext) {
        const QString cert = m_options.certFile.isEmpty() ? m_options.dataDir + QStringLiteral("/tls/server.crt") : m_options.certFile;
        const QString key = m_options.keyFile.isEmpty() ? m_options.dataDir + QStringLiteral("/tls/server.key") : m_options.keyFile;
        if (m_options.certFile.isEmpty() && !ensureSelfSignedCertificate(cert, key, error))
            return false;
        SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
        // The desktop client speaks TLS 1.2 only.
        const bool ok = ctx && SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1
            && SSL_CTX_use_certificate_chain_file(ctx, QFile::encodeName(cert).constData()) == 1
            && SSL_CTX_use_PrivateKey_file(ctx, QFile::encodeName(key).constData(), SSL_FILETYPE_PEM) == 1
            && SSL_CTX_check_private_key(ctx) == 1
            && SSL_CTX_set_cipher_list(ctx, m_options.tlsLegacyCiphers ? kLegacyCiphers : kModernCiphers) == 1;
        if (!ok) {
            if (error)
                *error = QStringLiteral("Cannot use the TLS certificate %1 or key %2: %3").arg(cert, key, sslError());
            if (ctx)
                SSL_CTX_free(ctx);
            return false;
        }
        SSL_CTX_set_dh_auto(ctx, 1);
        SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        m_sslContext = ctx;
    }

    // Every connection needs descriptors: take what the system allows, and refuse
    // connections well before running out rather than failing inside one.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        if (limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
            ::getrlimit(RLIMIT_NOFILE, &limit);
        }
        const qint64 usable = (qint64(qMin<rlim_t>(limit.rlim_cur, 1 << 20)) - kSpareDescriptors) / kDescriptorsPerConnection;
        m_maxConnections = int(qBound<qint64>(1, usable, qint64(m_options.maxConnections)));
    } else {
        m_maxConnections = m_options.maxConnections;
    }

    const bool v6 = m_options.listenAddress.protocol() == QAbstractSocket::IPv6Protocol;
    m_listenFd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int yes = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (v6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&addr);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(m_options.port);
        const Q_IPV6ADDR ip = m_options.listenAddress.toIPv6Address();
        memcpy(&a->sin6_addr, &ip, 16);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&addr);
        a->sin_family = AF_INET;
        a->sin_port = htons(m_options.port);
        a->sin_addr.s_addr = htonl(m_options.listenAddress.toIPv4Address());
        len = sizeof *a;
    }
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(m_listenFd, 512) != 0) {
        if (error)
            *error = QStringLiteral("Cannot listen on %1:%2: %3").arg(m_options.listenAddress.toString()).arg(m_options.port).arg(QString::fromLocal8Bit(strerror(errno)));
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    sockaddr_storage bound{};
    socklen_t boundLen = sizeof bound;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&bound), &boundLen);
    m_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    m_stopping = false;
    m_acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void DocServer::stop()
{
    if (m_listenFd < 0)
        return;
    m_stopping = true;
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    ::close(m_listenFd);
    m_listenFd = -1;
    std::unique_lock lock(m_mutex);
    // Waiting readers wake up at once instead of after their time-out.
    for (int fd : std::as_const(m_open))
        ::shutdown(fd, SHUT_RDWR);
    m_idle.wait(lock, [this] { return m_active == 0; });
}

bool DocServer::admit(const QHostAddress &peer, int fd)
{
    std::lock_guard lock(m_mutex);
    int &fromPeer = m_perAddress[peer.toString()];
    if (m_active >= m_maxConnections || fromPeer >= m_options.maxPerAddress) {
        if (fromPeer == 0)
            m_perAddress.remove(peer.toString());
        return false;
    }
    ++fromPeer;
    ++m_active;
    m_open.insert(fd);
    return true;
}

void DocServer::release(const QHostAddress &peer, int fd)
{
    std::lock_guard lock(m_mutex);
    m_open.remove(fd);
    if (--m_perAddress[peer.toString()] <= 0)
        m_perAddress.remove(peer.toString());
    if (--m_active == 0)
        m_idle.notify_all();
}

void DocServer::acceptLoop()
{
    // A descriptor kept in reserve: at the limit it is given up to accept and close
    // the waiting connection, so the loop neither spins on it nor leaves it hanging.
    int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    QDeadlineTimer nextSweep(m_options.stagingSweepMs);
    while (!m_stopping) {
        if (nextSweep.hasExpired()) {
            Store::sweepStaging(m_options.dataDir, m_options.stagingMaxAgeMs, false, isStagingFileBusy);
            nextSweep = QDeadlineTimer(m_options.stagingSweepMs);
        }
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        sockaddr_storage from{};
        socklen_t fromLen = sizeof from;
        const int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr *>(&from), &fromLen, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                qCWarning(lcServer) << "out of descriptors: refusing a connection";
                if (spare >= 0) {
                    ::close(spare);
                    const int refused = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (refused >= 0)
                        ::close(refused);
                    spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                }
                // Give running connections time to end before trying again.
                ::poll(nullptr, 0, 50);
            }
            continue;
        }
        const QHostAddress peer = peerAddress(from);
        if (!admit(peer, fd)) {
            // Refused at once: a queue would only hold the caller longer.
            ::close(fd);
            continue;
        }
        try {
            std::thread([this, fd, peer] {
                serve(fd, peer);
                // OpenSSL keeps per-thread state; this thread ends here.
                OPENSSL_thread_stop();
                // Released before the number can be reused by the next connection.
                release(peer, fd);
                ::close(fd);
            }).detach();
        } catch (const std::system_error &e) {
            qCWarning(lcServer) << "cannot start a connection thread:" << e.what();
            ::close(fd);
            release(peer, fd);
        }
    }
    if (spare >= 0)
        ::close(spare);
}

void DocServer::serve(int fd, const QHostAddress &peer)
{
    // The thread only polls its socket: no event loop, so no descriptors of its own.
    const QDeadlineTimer opening(m_options.firstLineTimeoutMs);
    auto waitIn = [&] {
        pollfd p{fd, POLLIN, 0};
        return !m_stopping && ::poll(&p, 1, int(qMax<qint64>(0, opening.remainingTime()))) > 0;
    };
    char first = 0;
    if (!waitIn() || ::recv(fd, &first, 1, MSG_PEEK) != 1)
        return; // a bare connect and close (the client's connection test) ends here
    SSL *ssl = nullptr;
    auto closeConnection = qScopeGuard([&] {
        if (ssl) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        // Read what the peer still sends (briefly), so closing does not reset our answer.
        ::shutdown(fd, SHUT_WR);
        char sink[4096];
        const QDeadlineTimer drain(1000);
        for (int i = 0; i < 16; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, int(qMax<qint64>(0, drain.remainingTime()))) <= 0 || ::recv(fd, sink, sizeof sink, 0) <= 0)
                break;
        }
    });
    if (first == kTlsHandshake) {
        if (!m_sslContext)
            return;
        ssl = SSL_new(m_sslContext);
        if (!ssl || SSL_set_fd(ssl, fd) != 1)
            return;
        for (;;) {
            ERR_clear_error();
            const int rc = SSL_accept(ssl);
            if (rc == 1)
                break;
            const int err = SSL_get_error(ssl, rc);
            pollfd p{fd, short(err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
            if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || m_stopping
                || ::poll(&p, 1, int(qMax<qint64>(0, opening.remainingTime()))) <= 0) {
                qCDebug(lcServer) << "TLS handshake failed:" << sslError();
                SSL_free(ssl);
                ssl = nullptr;
                return;
            }
        }
    }
    SocketStream stream(fd, ssl, int(qMax<qint64>(1, opening.remainingTime())), m_options.idleTimeoutMs);
    QByteArray line;
    if (!stream.readLine(line, kMaxHttpLine))
        return;
    try {
        if (line == kFramedRequestLine) {
            FramedRequest request;
            const FrameResult result = readFramedRequest(stream, request);
            stream.endOpening();
            if (result == FrameResult::Ok) {
                Store store(m_options.dataDir);
                if (!store.isOpen()) {
                    qCWarning(lcServer) << "cannot open the database:" << store.db().lastError();
                    return;
                }
                const Reply reply = RequestHandler(store, Peer{peer, &m_throttle}).handle(request);
                stream.writeAll(encodeReply(reply.status, reply.body, reply.freeInt));
            } else if (result != FrameResult::Closed) {
                stream.writeAll(encodeReply(21, {}));
            }
            return;
        }
        Store store(m_options.dataDir);
        if (!store.isOpen()) {
            qCWarning(lcServer) << "cannot open the database:" << store.db().lastError();
            return;
        }
        if (line == kFileRequestLine) {
            FileChannel(store, stream, m_options.diskReserveBytes).run();
        } else if (line.endsWith("\n") && line.contains(" HTTP/1.")) {
            HttpHandler(store, stream, ssl != nullptr, Peer{peer, &m_throttle}).run(line);
        }
    } catch (const std::exception &e) {
        qCWarning(lcServer) << "connection failed:" << e.what();
    }
}
