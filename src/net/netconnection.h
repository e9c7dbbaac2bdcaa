#pragma once
// One blocking TCP connection, optionally TLS 1.2, driven entirely on the
// calling thread: poll() with time-outs, no event loop, no Qt socket objects, so
// the batch worker thread (or any std::thread) can use it. Every failure throws
// ENetError with a kind the callers map to their result codes.
#include "net/neterror.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <memory>

class TNetConnection
{
public:
    TNetConnection();
    ~TNetConnection();
    TNetConnection(const TNetConnection &) = delete;
    TNetConnection &operator=(const TNetConnection &) = delete;

    // connectTimeoutMs <= 0: the platform's connect time-out applies.
    // TLS: 1.2 only, client mode, no peer verification, TLS from the first byte.
    void open(const QString &host, quint16 port, bool tls, int connectTimeoutMs, int readTimeoutMs);
    bool isOpen() const;
    void close() noexcept;

    void setReadTimeout(int ms) { m_readTimeoutMs = ms; }
    // While flag reads 1, every wait for the peer ends within a fifth of a second
    // with Cancelled: a stalled server must not hold a cancel for its whole
    // time-out. Cleared by close().
    void setCancelFlag(const std::atomic<qint32> *flag) { m_cancel = flag; }
    int readTimeout() const { return m_readTimeoutMs; }

    void write(const char *data, qint64 size);
    void write(const QByteArray &bytes) { write(bytes.constData(), bytes.size()); }
    // For a part of a stream whose next part is sent right after: the kernel may hold
    // the bytes to fill whole segments. The last write before a wait for the peer must
    // be a plain write(), which sends what is held.
    void writeMore(const char *data, qint64 size);
    void writeInt32BE(qint32 v);
    void writeInt64BE(qint64 v);

    // Exactly size bytes, or ENetError (Closed when the stream ends early).
    void readExact(char *data, qint64 size);
    QByteArray readExact(qint64 size);
    // Between 1 and maxSize bytes: what is buffered, else what one wait brings (for
    // TLS, every record that has already arrived).
    qint64 readSome(char *data, qint64 maxSize);
    qint32 readInt32BE();
    qint64 readInt64BE();
    // ASCII line up to LF; a CR before the LF is dropped. Longer than maxLength: Protocol.
    QByteArray readLine(int maxLength = 64 * 1024);

    qint64 bytesSent() const { return m_bytesSent; }
    qint64 bytesReceived() const { return m_bytesReceived; }
    QString peerText() const;

private:
    struct Tls;
    void connectTcp(const QString &host, quint16 port, int connectTimeoutMs);
    void startTls(const QString &host);
    qint64 rawRecv(char *data, qint64 size);  // > 0, or throws
    qint64 tlsReadPending(char *data, int size);
    void rawSend(const char *data, qint64 size, bool more = false);
    void waitFor(short events, int timeoutMs, bool forRead);
    [[noreturn]] void throwErrno(int err, const char *what);
    [[noreturn]] void throwTls(const char *what);
    void fill();

    int m_fd = -1;
    std::unique_ptr<Tls> m_tls;
    QString m_host;
    quint16 m_port = 0;
    int m_readTimeoutMs = 30000;
    const std::atomic<qint32> *m_cancel = nullptr;
    QByteArray m_buffer;   // received, not yet consumed: m_buffer[m_pos, m_end)
    qint64 m_pos = 0;
    qint64 m_end = 0;
    qint64 m_bytesSent = 0;
    qint64 m_bytesReceived = 0;
};

// The user-facing texts of the transport errors (English; the file channel maps
// kinds to its own bilingual table).
QString NetErrorText(TNetErrorKind kind, const QString &detail);
