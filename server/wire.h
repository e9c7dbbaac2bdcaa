#pragma once
// Byte-level pieces of the three protocols on the shared port: readers with
// bounded lengths, the framed request/reply and the file channel's lines.
#include <QByteArray>
#include <QString>
#include <optional>

class QTcpSocket;

constexpr qint32 kFrameTrailer = 65518;
constexpr qint32 kUploadComplete = 65520;
constexpr qint32 kUploadStopped = 65518;
constexpr qint32 kDownloadComplete = 65520;
constexpr qint32 kMaxFrameBody = 16 * 1024 * 1024; // task lists and folder lists stay far below
constexpr int kMaxParamLine = 256 * 1024;          // hex doubles the text, paths are up to 1024 chars
constexpr int kMaxHttpLine = 16 * 1024;
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

class SocketStream : public ByteReader
{
public:
    SocketStream(QTcpSocket *socket, int idleMs) : m_socket(socket), m_idleMs(idleMs) {}
    bool readExact(char *data, qint64 n) override;
    qint64 readSome(char *data, qint64 max) override;
    bool timedOut() const override { return m_timedOut; }
    void setIdleTimeout(int ms) { m_idleMs = ms; }
    // Waits until the bytes left the process, so a slow reader bounds our memory.
    bool writeAll(const QByteArray &bytes);
    bool writeAll(const char *data, qint64 n);

private:
    bool waitForData();
    QTcpSocket *m_socket;
    int m_idleMs;
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

enum class FrameResult { Ok, Closed, BadLength, CountMismatch };
// Reads one request frame (after its request line); lengths are checked before any allocation.
FrameResult readFramedRequest(ByteReader &in, FramedRequest &request);
QByteArray encodeReply(quint8 status, const QString &body, qint32 freeInt = 0);
QByteArray encodeRequest(const THeadInfo &head, const QString &body); // request line included

// "%_" + upper-case hex of the UTF-8 text + "_%"; a line not so wrapped is taken as plain text.
std::optional<QString> decodeParamLine(const QByteArray &line);
QByteArray encodeParamLine(const QString &text); // with CR LF
