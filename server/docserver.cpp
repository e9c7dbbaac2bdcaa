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
#include <QSslCipher>
#include <QSslKey>
#include <QSslSocket>

#include <openssl/crypto.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcServer, "zudivuvo.server")

namespace {
constexpr qint64 kFileChannelReadBuffer = 1024 * 1024;
constexpr char kTlsHandshake = 0x16;

QByteArray readFileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

DocServer::DocServer(const ServerOptions &options) : m_options(options)
{
    m_pool.setMaxThreadCount(qMax(4, qMin(options.maxConnections, 200)));
    m_pool.setExpiryTimeout(60000);
}

DocServer::~DocServer()
{
    stop();
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
    if (m_options.tls) {
        const QString cert = m_options.certFile.isEmpty() ? m_options.dataDir + QStringLiteral("/tls/server.crt") : m_options.certFile;
        const QString key = m_options.keyFile.isEmpty() ? m_options.dataDir + QStringLiteral("/tls/server.key") : m_options.keyFile;
        if (m_options.certFile.isEmpty() && !ensureSelfSignedCertificate(cert, key, error))
            return false;
        const QList<QSslCertificate> certs = QSslCertificate::fromData(readFileBytes(cert), QSsl::Pem);
        const QSslKey sslKey(readFileBytes(key), QSsl::Rsa, QSsl::Pem);
        if (certs.isEmpty() || sslKey.isNull()) {
            if (error)
                *error = QStringLiteral("Cannot read the TLS certificate %1 or key %2").arg(cert, key);
            return false;
        }
        m_tls = QSslConfiguration::defaultConfiguration();
        m_tls.setLocalCertificateChain(certs);
        m_tls.setPrivateKey(sslKey);
        // The desktop client speaks TLS 1.2 only.
        m_tls.setProtocol(QSsl::TlsV1_2OrLater);
        m_tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        if (!m_options.tlsLegacyCiphers) {
            // Only key exchanges with forward secrecy: a stolen key cannot open recorded sessions.
            QList<QSslCipher> ciphers;
            for (const QSslCipher &c : m_tls.ciphers()) {
                if (c.protocol() == QSsl::TlsV1_3 || c.keyExchangeMethod().startsWith(QLatin1String("ECDH")) || c.keyExchangeMethod().startsWith(QLatin1String("DH")))
                    ciphers << c;
            }
            m_tls.setCiphers(ciphers);
        }
        m_tlsReady = true;
    }

    const bool v6 = m_options.listenAddress.protocol() == QAbstractSocket::IPv6Protocol;
    m_listenFd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(m_listenFd, 128) != 0) {
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
    m_acceptThread = std::thread([this] { acceptLoop(m_listenFd); });
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
    {
        // Waiting readers wake up at once instead of after their idle time-out.
        QMutexLocker lock(&m_openMutex);
        for (qintptr fd : std::as_const(m_open))
            ::shutdown(int(fd), SHUT_RDWR);
    }
    m_pool.waitForDone();
}

void DocServer::acceptLoop(qintptr listenFd)
{
    while (!m_stopping) {
        pollfd p{int(listenFd), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const int fd = ::accept4(int(listenFd), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        {
            QMutexLocker lock(&m_openMutex);
            m_open.insert(fd);
        }
        m_pool.start([this, fd] {
            serve(fd);
            // Pool threads outlive the connection and may outlive OpenSSL's own
            // clean-up at exit: free this thread's random generator state now.
            OPENSSL_thread_stop();
        });
    }
}

void DocServer::serve(qintptr fd)
{
    // Ends the registration whatever path the exchange takes.
    auto unregister = qScopeGuard([this, fd] {
        QMutexLocker lock(&m_openMutex);
        m_open.remove(fd);
    });
    pollfd p{int(fd), POLLIN, 0};
    char first = 0;
    if (m_stopping || ::poll(&p, 1, m_options.firstLineTimeoutMs) <= 0 || ::recv(int(fd), &first, 1, MSG_PEEK) != 1) {
        // A bare connect and close (the client's connection test) ends here.
        ::close(int(fd));
        return;
    }
    QSslSocket socket;
    if (!socket.setSocketDescriptor(fd)) {
        ::close(int(fd));
        return;
    }
    if (first == kTlsHandshake) {
        if (!m_tlsReady) {
            socket.abort();
            return;
        }
        socket.setSslConfiguration(m_tls);
        socket.startServerEncryption();
        if (!socket.waitForEncrypted(m_options.firstLineTimeoutMs)) {
            qCDebug(lcServer) << "TLS handshake failed:" << socket.errorString();
            socket.abort();
            return;
        }
    }
    SocketStream stream(&socket, m_options.firstLineTimeoutMs);
    QByteArray line;
    if (!stream.readLine(line, kMaxHttpLine)) {
        socket.abort();
        return;
    }
    Store store(m_options.dataDir);
    if (!store.isOpen()) {
        qCWarning(lcServer) << "cannot open the database:" << store.db().lastError();
        socket.abort();
        return;
    }
    try {
        if (line == kFramedRequestLine) {
            FramedRequest request;
            const FrameResult result = readFramedRequest(stream, request);
            if (result == FrameResult::Ok) {
                const Reply reply = RequestHandler(store, Peer{socket.peerAddress(), &m_throttle}).handle(request);
                stream.writeAll(encodeReply(reply.status, reply.body, reply.freeInt));
            } else if (result != FrameResult::Closed) {
                stream.writeAll(encodeReply(21, {}));
            }
        } else if (line == kFileRequestLine) {
            // A body arrives faster than the disk takes it: keep the backlog in
            // the kernel, not in our memory (loopback windows reach 32 MiB each).
            socket.setReadBufferSize(kFileChannelReadBuffer);
            stream.setIdleTimeout(m_options.idleTimeoutMs);
            FileChannel(store, stream).run();
        } else if (line.endsWith("\n") && line.contains(" HTTP/1.")) {
            HttpHandler(store, stream, socket.isEncrypted(), Peer{socket.peerAddress(), &m_throttle}).run(line);
        }
    } catch (const std::exception &e) {
        qCWarning(lcServer) << "connection failed:" << e.what();
    }
    socket.flush();
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(1000);
}
