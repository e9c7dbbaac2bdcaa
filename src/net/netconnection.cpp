#include "net/netconnection.h"

#include "core/uitext.h"

#include <QStringList>
#include <QtEndian>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qint64 kBufferSize = 64 * 1024;
// With read-ahead, one receive takes whatever fits here: several TLS records per
// system call instead of about one.
constexpr size_t kTlsReadBuffer = 128 * 1024;

// A socket BIO that sends with MSG_NOSIGNAL, so a peer that went away gives
// EPIPE instead of killing the process with SIGPIPE, and that never blocks: the
// connection polls with its own time-outs.
struct BioState {
    int fd = -1;
    int lastErrno = 0;
    int sendFlags = MSG_NOSIGNAL;
    bool bufferedOnly = false;   // reads end where OpenSSL's buffer ends, without a system call
};

int bioWrite(BIO *b, const char *buf, int len)
{
    auto *st = static_cast<BioState *>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    const ssize_t n = ::send(st->fd, buf, size_t(len), st->sendFlags);
    if (n >= 0)
        return int(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        BIO_set_retry_write(b);
    else
        st->lastErrno = errno;
    return -1;
}

int bioRead(BIO *b, char *buf, int len)
{
    auto *st = static_cast<BioState *>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    if (st->bufferedOnly) {
        BIO_set_retry_read(b);
        return -1;
    }
    const ssize_t n = ::recv(st->fd, buf, size_t(len), 0);
    if (n >= 0)
        return int(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        BIO_set_retry_read(b);
    else
        st->lastErrno = errno;
    return -1;
}

long bioCtrl(BIO *, int cmd, long, void *)
{
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO *b)
{
    BIO_set_init(b, 1);
    return 1;
}

BIO_METHOD *bioMethod()
{
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zudivuvo-socket");
        BIO_meth_set_write(m, bioWrite);
        BIO_meth_set_read(m, bioRead);
        BIO_meth_set_ctrl(m, bioCtrl);
        BIO_meth_set_create(m, bioCreate);
        return m;
    }();
    return method;
}

SSL_CTX *clientContext()
{
    // Shared by every thread: SSL_new on one context is thread-safe.
    static SSL_CTX *ctx = [] {
        OPENSSL_init_ssl(0, nullptr);
        SSL_CTX *c = SSL_CTX_new(TLS_client_method());
        if (!c)
            return c;
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_verify_depth(c, 0);
        // Read whole records (and what follows) per recv() instead of header and body apart.
        SSL_CTX_set_read_ahead(c, 1);
        SSL_CTX_set_default_read_buffer_len(c, kTlsReadBuffer);
#ifdef SSL_OP_IGNORE_UNEXPECTED_EOF
        // A server that closes without close_notify is "connection closed", as on a
        // plain socket; every message of the protocol carries its own length and trailer.
        SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF);
#endif
        return c;
    }();
    return ctx;
}

QString opensslErrors()
{
    QStringList parts;
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        parts << QString::fromLatin1(buf);
    }
    return parts.join(QLatin1String("; "));
}

int remainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : int(std::min<qint64>(left.count(), 0x7FFFFFFF));
}

} // namespace

struct TNetConnection::Tls {
    SSL *ssl = nullptr;
    BioState bio;
    ~Tls()
    {
        if (ssl)
            SSL_free(ssl);
    }
};

QString NetErrorText(TNetErrorKind kind, const QString &detail)
{
    switch (kind) {
    case TNetErrorKind::Closed:
        return UiText("服务器关闭了连接%1。", "The server closed the connection%1.").arg(detail.isEmpty() ? QString() : QStringLiteral(" (") + detail + u')');
    default:
        return detail;
    }
}

TNetConnection::TNetConnection() = default;

TNetConnection::~TNetConnection()
{
    close();
}

bool TNetConnection::isOpen() const
{
    return m_fd >= 0;
}

QString TNetConnection::peerText() const
{
    return m_host + u':' + QString::number(m_port);
}

void TNetConnection::close() noexcept
{
    if (m_tls) {
        if (m_tls->ssl && m_fd >= 0)
            SSL_shutdown(m_tls->ssl);  // one non-blocking try to send close_notify
        m_tls.reset();
        ERR_clear_error();
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_pos = m_end = 0;
    m_cancel = nullptr;   // set again by whoever opens the next transfer
}

void TNetConnection::open(const QString &host, quint16 port, bool tls, int connectTimeoutMs, int readTimeoutMs)
{
    close();
    m_host = host;
    m_port = port;
    m_readTimeoutMs = readTimeoutMs;
    m_bytesSent = m_bytesReceived = 0;
    if (m_buffer.size() != kBufferSize)
        m_buffer.resize(kBufferSize);
    connectTcp(host, port, connectTimeoutMs);
    if (tls) {
        try {
            startTls(host);
        } catch (...) {
            close();
            throw;
        }
    }
}

void TNetConnection::connectTcp(const QString &host, quint16 port, int connectTimeoutMs)
{
    if (host.trimmed().isEmpty())
        throw ENetError(TNetErrorKind::Resolve,
                        UiText("未设置服务器地址。请在设置中输入服务器地址和端口。", "No server address is set. Enter the server address and port in the settings."));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *list = nullptr;
    const QByteArray h = host.trimmed().toUtf8();
    const QByteArray p = QByteArray::number(port);
    const int rc = ::getaddrinfo(h.constData(), p.constData(), &hints, &list);
    if (rc != 0 || !list)
        throw ENetError(TNetErrorKind::Resolve,
                        UiText("无法解析服务器名称“%1”（%2）。请检查设置中的服务器地址和网络连接。",
                               "The server name \"%1\" could not be resolved (%2). Check the server address "
                               "in the settings and the network connection.")
                            .arg(host, QString::fromLocal8Bit(gai_strerror(rc))));
    int lastErr = 0;
    bool timedOut = false;
    for (addrinfo *ai = list; ai; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            lastErr = errno;
            continue;
        }
        int r = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            pollfd pfd{fd, POLLOUT, 0};
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(connectTimeoutMs);
            for (;;) {
                const int pr = ::poll(&pfd, 1, connectTimeoutMs > 0 ? remainingMs(deadline) : -1);
                if (pr < 0 && errno == EINTR)
                    continue;
                if (pr == 0) {
                    timedOut = true;
                    r = -1;
                    break;
                }
                int soErr = 0;
                socklen_t len = sizeof soErr;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len);
                r = soErr == 0 ? 0 : -1;
                if (soErr)
                    lastErr = soErr;
                break;
            }
        } else if (r != 0) {
            lastErr = errno;
        }
        if (r == 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            m_fd = fd;
            break;
        }
        ::close(fd);
    }
    ::freeaddrinfo(list);
    if (m_fd >= 0)
        return;
    if (timedOut && lastErr == 0)
        throw ENetError(TNetErrorKind::Timeout,
                        UiText("连接服务器 %1 超时（%2 秒）。请检查设置中的服务器地址和端口，并确认服务器正在运行。",
                               "Connecting to the server %1 timed out after %2 seconds. Check the server "
                               "address and port in the settings and that the server is running.")
                            .arg(peerText())
                            .arg(connectTimeoutMs / 1000.0));
    throw ENetError(TNetErrorKind::Socket,
                    UiText("无法连接服务器 %1：%2。请检查设置中的服务器地址和端口，并确认服务器正在运行。",
                           "Cannot connect to the server %1: %2. Check the server address and port in the "
                           "settings and that the server is running.")
                        .arg(peerText(), QString::fromLocal8Bit(std::strerror(lastErr ? lastErr : ECONNREFUSED))));
}

void TNetConnection::startTls(const QString &host)
{
    SSL_CTX *ctx = clientContext();
    if (!ctx)
        throw ENetError(TNetErrorKind::Tls, UiText("TLS 不可用：%1", "TLS is not available: %1").arg(opensslErrors()));
    m_tls = std::make_unique<Tls>();
    m_tls->bio.fd = m_fd;
    m_tls->ssl = SSL_new(ctx);
    BIO *bio = BIO_new(bioMethod());
    if (!m_tls->ssl || !bio) {
        if (bio)
            BIO_free(bio);
        throw ENetError(TNetErrorKind::Tls, UiText("TLS 不可用：%1", "TLS is not available: %1").arg(opensslErrors()));
    }
    BIO_set_data(bio, &m_tls->bio);
    SSL_set_bio(m_tls->ssl, bio, bio);
    // Server name indication for names only (not for address literals).
    in6_addr a6;
    in_addr a4;
    const QByteArray h = host.trimmed().toUtf8();
    if (::inet_pton(AF_INET, h.constData(), &a4) != 1 && ::inet_pton(AF_INET6, h.constData(), &a6) != 1)
        SSL_set_tlsext_host_name(m_tls->ssl, h.constData());
    ERR_clear_error();
    for (;;) {
        const int r = SSL_connect(m_tls->ssl);
        if (r == 1)
            return;
        const int e = SSL_get_error(m_tls->ssl, r);
        try {
            if (e == SSL_ERROR_WANT_READ) {
                waitFor(POLLIN, m_readTimeoutMs, true);
                continue;
            }
            if (e == SSL_ERROR_WANT_WRITE) {
                waitFor(POLLOUT, m_readTimeoutMs, false);
                continue;
            }
        } catch (const ENetError &err) {
            throw ENetError(TNetErrorKind::Tls, UiText("与服务器 %1 的 TLS 握手失败：%2", "The TLS handshake with the server %1 failed: %2")
                                                    .arg(peerText(), err.message()));
        }
        const QString detail = opensslErrors();
        const int sysErr = m_tls->bio.lastErrno;
        QString why;
        if (!detail.isEmpty())
            why = detail;
        else if (sysErr)
            why = QString::fromLocal8Bit(std::strerror(sysErr));
        else
            why = UiText("服务器关闭了连接", "the server closed the connection");
        throw ENetError(TNetErrorKind::Tls,
                        UiText("与服务器 %1 的 TLS 握手失败（%2）。请检查 TLS 设置是否与服务器一致。",
                               "The TLS handshake with the server %1 failed (%2). Check that the TLS setting "
                               "matches the server's.")
                            .arg(peerText(), why));
    }
}

namespace {
// The step names are English words in the code; the Chinese screen gets its own.
QString stepText(const char *what)
{
    if (TextLanguage() != HSL_CN)
        return QLatin1String(what);
    if (std::strcmp(what, "waiting for data") == 0)
        return QStringLiteral("等待数据");
    if (std::strcmp(what, "sending") == 0)
        return QStringLiteral("发送数据");
    if (std::strcmp(what, "receiving") == 0)
        return QStringLiteral("接收数据");
    return QLatin1String(what);
}
} // namespace

void TNetConnection::throwErrno(int err, const char *what)
{
    if (err == ECONNRESET || err == EPIPE)
        throw ENetError(TNetErrorKind::Socket,
                        UiText("与服务器 %1 的连接在%2时中断（%3）。", "The connection to the server %1 was broken while %2 (%3).")
                            .arg(peerText(), stepText(what), QString::fromLocal8Bit(std::strerror(err))));
    throw ENetError(TNetErrorKind::Socket, UiText("与服务器 %1 %2时发生网络错误：%3。", "Network error with the server %1 while %2: %3.")
                                               .arg(peerText(), stepText(what),
                                                    QString::fromLocal8Bit(std::strerror(err))));
}

void TNetConnection::throwTls(const char *what)
{
    const QString detail = opensslErrors();
    if (m_tls && m_tls->bio.lastErrno) {
        const int err = m_tls->bio.lastErrno;
        m_tls->bio.lastErrno = 0;
        throwErrno(err, what);
    }
    throw ENetError(TNetErrorKind::Tls, UiText("与服务器 %1 %2时发生 TLS 错误：%3", "TLS error with the server %1 while %2: %3")
                                            .arg(peerText(), stepText(what),
                                                 detail.isEmpty() ? UiText("未知", "unknown") : detail));
}

void TNetConnection::waitFor(short events, int timeoutMs, bool forRead)
{
    constexpr int kCancelSliceMs = 200;
    pollfd pfd{m_fd, events, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = timeoutMs > 0 ? remainingMs(deadline) : -1;
        if (m_cancel && (wait < 0 || wait > kCancelSliceMs))
            wait = kCancelSliceMs;
        const int r = ::poll(&pfd, 1, wait);
        if (r > 0)
            return;  // ready, or an error/hang-up that the next call reports
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            throwErrno(errno, forRead ? "waiting for data" : "sending");
        if (m_cancel && m_cancel->load() == 1)
            throw ENetError(TNetErrorKind::Cancelled, UiText("与 %1 的传输已取消。", "The transfer with %1 was cancelled.").arg(peerText()));
        if (timeoutMs <= 0 || remainingMs(deadline) > 0)
            continue;
        throw ENetError(TNetErrorKind::Timeout,
                        forRead ? UiText("服务器 %1 在 %2 秒内没有应答。", "The server %1 did not answer within %2 seconds.")
                                      .arg(peerText())
                                      .arg(timeoutMs / 1000.0)
                                : UiText("服务器 %1 在 %2 秒内没有接收数据。", "The server %1 did not take data for %2 seconds.")
                                      .arg(peerText())
                                      .arg(timeoutMs / 1000.0));
    }
}

qint64 TNetConnection::rawRecv(char *data, qint64 size)
{
    if (m_fd < 0)
        throw ENetError(TNetErrorKind::Socket, UiText("未连接到服务器。", "Not connected to the server."));
    const int chunk = int(std::min<qint64>(size, 1 << 30));
    if (m_tls) {
        for (;;) {
            ERR_clear_error();
            m_tls->bio.lastErrno = 0;
            const int r = SSL_read(m_tls->ssl, data, chunk);
            if (r > 0) {
                m_bytesReceived += r;
                return r + tlsReadPending(data + r, chunk - r);
            }
            const int e = SSL_get_error(m_tls->ssl, r);
            if (e == SSL_ERROR_WANT_READ)
                waitFor(POLLIN, m_readTimeoutMs, true);
            else if (e == SSL_ERROR_WANT_WRITE)
                waitFor(POLLOUT, m_readTimeoutMs, false);
            else if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && m_tls->bio.lastErrno == 0))
                throw ENetError(TNetErrorKind::Closed, NetErrorText(TNetErrorKind::Closed, peerText()));
            else
                throwTls("receiving");
        }
    }
    for (;;) {
        const ssize_t n = ::recv(m_fd, data, size_t(chunk), 0);
        if (n > 0) {
            m_bytesReceived += n;
            return n;
        }
        if (n == 0)
            throw ENetError(TNetErrorKind::Closed, NetErrorText(TNetErrorKind::Closed, peerText()));
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitFor(POLLIN, m_readTimeoutMs, true);
            continue;
        }
        throwErrno(errno, "receiving");
    }
}

qint64 TNetConnection::tlsReadPending(char *data, int size)
{
    // Whole records already in OpenSSL's buffer are taken now; a record still
    // arriving, or a failure, is left for the next read.
    qint64 got = 0;
    m_tls->bio.bufferedOnly = true;
    while (size > 0 && SSL_has_pending(m_tls->ssl)) {
        const int r = SSL_read(m_tls->ssl, data, size);
        if (r <= 0) {
            ERR_clear_error();
            m_tls->bio.lastErrno = 0;
            break;
        }
        m_bytesReceived += r;
        got += r;
        data += r;
        size -= r;
    }
    m_tls->bio.bufferedOnly = false;
    return got;
}

void TNetConnection::rawSend(const char *data, qint64 size, bool more)
{
    if (m_fd < 0)
        throw ENetError(TNetErrorKind::Socket, UiText("未连接到服务器。", "Not connected to the server."));
    const int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
    if (m_tls)
        m_tls->bio.sendFlags = flags;
    while (size > 0) {
        const int chunk = int(std::min<qint64>(size, 1 << 30));
        if (m_tls) {
            ERR_clear_error();
            m_tls->bio.lastErrno = 0;
            const int r = SSL_write(m_tls->ssl, data, chunk);
            if (r > 0) {
                data += r;
                size -= r;
                m_bytesSent += r;
                continue;
            }
            const int e = SSL_get_error(m_tls->ssl, r);
            if (e == SSL_ERROR_WANT_WRITE)
                waitFor(POLLOUT, m_readTimeoutMs, false);
            else if (e == SSL_ERROR_WANT_READ)
                waitFor(POLLIN, m_readTimeoutMs, true);
            else if (e == SSL_ERROR_ZERO_RETURN)
                throw ENetError(TNetErrorKind::Closed, NetErrorText(TNetErrorKind::Closed, peerText()));
            else
                throwTls("sending");
            continue;
        }
        const ssize_t n = ::send(m_fd, data, size_t(chunk), flags);
        if (n > 0) {
            data += n;
            size -= n;
            m_bytesSent += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitFor(POLLOUT, m_readTimeoutMs, false);
            continue;
        }
        throwErrno(n < 0 ? errno : EPIPE, "sending");
    }
    if (m_tls)
        m_tls->bio.sendFlags = MSG_NOSIGNAL;  // what OpenSSL writes by itself is never held
}

void TNetConnection::write(const char *data, qint64 size)
{
    if (size > 0)
        rawSend(data, size);
}

void TNetConnection::writeMore(const char *data, qint64 size)
{
    if (size > 0)
        rawSend(data, size, true);
}

void TNetConnection::writeInt32BE(qint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    write(b, 4);
}

void TNetConnection::writeInt64BE(qint64 v)
{
    char b[8];
    qToBigEndian(v, b);
    write(b, 8);
}

void TNetConnection::fill()
{
    if (m_pos == m_end)
        m_pos = m_end = 0;
    m_end += rawRecv(m_buffer.data() + m_end, kBufferSize - m_end);
}

void TNetConnection::readExact(char *data, qint64 size)
{
    while (size > 0) {
        if (m_pos < m_end) {
            const qint64 n = std::min(size, m_end - m_pos);
            std::memcpy(data, m_buffer.constData() + m_pos, size_t(n));
            m_pos += n;
            data += n;
            size -= n;
            continue;
        }
        m_pos = m_end = 0;
        if (size >= kBufferSize / 2) {
            // Large reads go straight to the caller's memory.
            const qint64 n = rawRecv(data, size);
            data += n;
            size -= n;
        } else {
            fill();
        }
    }
}

qint64 TNetConnection::readSome(char *data, qint64 maxSize)
{
    if (maxSize <= 0)
        return 0;
    if (m_pos == m_end && maxSize >= kBufferSize / 2)
        return rawRecv(data, maxSize);
    if (m_pos == m_end)
        fill();
    const qint64 n = std::min(maxSize, m_end - m_pos);
    std::memcpy(data, m_buffer.constData() + m_pos, size_t(n));
    m_pos += n;
    return n;
}

QByteArray TNetConnection::readExact(qint64 size)
{
    QByteArray out;
    if (size <= 0)
        return out;
    out.resize(size);
    readExact(out.data(), size);
    return out;
}

qint32 TNetConnection::readInt32BE()
{
    char b[4];
    readExact(b, 4);
    return qFromBigEndian<qint32>(b);
}

qint64 TNetConnection::readInt64BE()
{
    char b[8];
    readExact(b, 8);
    return qFromBigEndian<qint64>(b);
}

QByteArray TNetConnection::readLine(int maxLength)
{
    QByteArray line;
    for (;;) {
        if (m_pos == m_end)
            fill();
        const char *start = m_buffer.constData() + m_pos;
        const void *lf = std::memchr(start, '\n', size_t(m_end - m_pos));
        const qint64 take = lf ? (static_cast<const char *>(lf) - start) : (m_end - m_pos);
        if (line.size() + take > maxLength)
            throw ENetError(TNetErrorKind::Protocol,
                            UiText("服务器 %1 发送的文本行超过 %2 字节，已拒绝该应答。", "The server %1 sent a text line longer than %2 bytes; the reply was refused.")
                                .arg(peerText())
                                .arg(maxLength));
        line.append(start, take);
        m_pos += take;
        if (lf) {
            ++m_pos;  // the LF itself
            if (line.endsWith('\r'))
                line.chop(1);
            return line;
        }
    }
}
