#pragma once
// Byte-level pieces of the three protocols on the shared port: readers with
// bounded lengths, the framed request/reply and the file channel's lines.
#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <optional>


constexpr qint32 kFrameTrailer = 65518;
constexpr qint32 kUploadComplete = 65520;
constexpr qint32 kUploadStopped = 65518;
constexpr qint32 kDownloadComplete = 65520;
constexpr qint32 kMaxFrameBody = 16 * 1024 * 1024; // task lists and folder lists stay far below
constexpr int kMaxParamLine = 256 * 1024;          // hex doubles the text, paths are up to 1024 chars
constexpr int kMaxHttpLine = 16 * 1024;
// Frame bodies and parameter lines above these are read only while the shared budget allows.
constexpr qint32 kFreeFrameBody = 64 * 1024;
constexpr int kFreeParamLine = 16 * 1024;

// Memory that requests still arriving may hold beyond their free allowance, shared by
// every connection: stalled senders cannot take the server's memory, a request beyond
// it is refused at once.
class OpeningBudget
{
public:
    static constexpr qint64 kTotal = 64LL * 1024 * 1024;
    explicit OpeningBudget(qint64 bytes);
    ~OpeningBudget();
    OpeningBudget(const OpeningBudget &) = delete;
    OpeningBudget &operator=(const OpeningBudget &) = delete;
    bool held() const { return m_held; }

private:
    qint64 m_bytes;
    bool m_held;
};
constexpr qint64 kBlockSize = 32768;

inline const QByteArray kFramedRequestLine = QByteArrayLiteral("ZYVEK /TCP/1.0\r\n");
inline const QByteArray kFileRequestLine = QByteArrayLiteral("ZYVEK_FILE /TCP/1.0\r\n");

class ByteReader
{
public:
    virtual ~ByteReader() = default;
    // False on end of stream or time-out; n bytes otherwise.
    virtual bool readExact(char *data, qint64 n) = 0;
    // At least one byte unless the stream ended or timed out (then 0).
    virtual qint64 readSome(char *data, qint64 max) = 0;
    virtual bool timedOut() const { return false; }
    // More time for the opening, for a large request that is arriving.
    virtual void extendOpening(qint64 ms) { Q_UNUSED(ms); }

    bool readInt32(qint32 &value);
    bool readInt64(qint64 &value);
    // Reads through LF; fails when the line grows beyond maxLen bytes.
    bool readLine(QByteArray &line, int maxLen);
};

class BufferReader : public ByteReader
{
public:
    explicit BufferReader(const QByteArray &bytes) : m_bytes(bytes) {}
    bool readExact(char *data, qint64 n) override;
    qint64 readSome(char *data, qint64 max) override;

private:
    QByteArray m_bytes;
    qint64 m_pos = 0;
};

// Both directions of one exchange.
class ByteStream : public ByteReader
{
public:
    virtual bool writeAll(const char *data, qint64 n) = 0;
    bool writeAll(const QByteArray &bytes) { return writeAll(bytes.constData(), bytes.size()); }
    // The peer showed a valid session and a transfer begins: the opening deadline
    // ends and the long idle time-out applies.
    virtual void startTransfer() {}
};

// Reads scripted input, keeps the last bytes written (fuzzing and tests).
class BufferStream : public ByteStream
{
public:
    explicit BufferStream(const QByteArray &input) : m_in(input) {}
    bool readExact(char *data, qint64 n) override { return m_in.readExact(data, n); }
    qint64 readSome(char *data, qint64 max) override { return m_in.readSome(data, max); }
    bool writeAll(const char *data, qint64 n) override;
    using ByteStream::writeAll;
    QByteArray written() const { return m_out; }

private:
    BufferReader m_in;
    QByteArray m_out;
};

struct ssl_st;

// A connected socket, plain or TLS, read and written with poll(): nothing is read
// before it is asked for, so unread input stays in the kernel, never in our memory.
class SocketStream : public ByteStream
{
public:
    // openingMs: the deadline for the whole opening; transferIdleMs: the idle
    // time-out once startTransfer() was called.
    SocketStream(int fd, ssl_st *ssl, int openingMs, int transferIdleMs);
    bool readExact(char *data, qint64 n) override;
    qint64 readSome(char *data, qint64 max) override;
    bool timedOut() const override { return m_timedOut; }
    void extendOpening(qint64 ms) override;
    bool writeAll(const char *data, qint64 n) override;
    using ByteStream::writeAll;
    void startTransfer() override;
    // The opening is over (request read): later waits use the opening time as idle time-out.
    void endOpening() { m_deadline = QDeadlineTimer(QDeadlineTimer::Forever); }

private:
    // Waits for the socket to be readable (or writable); false on time-out or error.
    bool wait(short events);
    qint64 receive(char *data, qint64 max);
    // Small reads (lines, integers) come from a bounded read-ahead, not one system call a byte.
    static constexpr qint64 kReadAhead = 16 * 1024;
    QByteArray m_ahead;
    qint64 m_aheadPos = 0;
    int m_fd;
    ssl_st *m_ssl;
    int m_idleMs;
    int m_transferIdleMs;
    QDeadlineTimer m_deadline;
    bool m_timedOut = false;
};

QByteArray int32BE(qint32 value);
QByteArray int64BE(qint64 value);
// The 8 bytes ending at a resume offset are compared as a little-endian int64.
qint64 int64LE(const char *data);

struct THeadInfo
{
    quint8 Version = 2;
    quint8 AllEff = 0;
    quint8 TranType = 0;
    quint8 FreeByte = 0;
    qint32 FreeInt = 0;
    qint32 FreeInt2 = 0;
    qint32 FreeInt3 = 0;
};
THeadInfo decodeHead(const char *data16);
QByteArray encodeHead(const THeadInfo &head);

struct FramedRequest
{
    THeadInfo head;
    QString text;
    bool trailerOk = true;
};

enum class FrameResult { Ok, Closed, BadLength, CountMismatch, Busy };
// Reads one request frame (after its request line); lengths are checked before any allocation.
FrameResult readFramedRequest(ByteReader &in, FramedRequest &request);
QByteArray encodeReply(quint8 status, const QString &body, qint32 freeInt = 0);
QByteArray encodeRequest(const THeadInfo &head, const QString &body); // request line included

// "%_" + upper-case hex of the UTF-8 text + "_%"; a line not so wrapped is taken as plain text.
std::optional<QString> decodeParamLine(const QByteArray &line);
QByteArray encodeParamLine(const QString &text); // with CR LF
