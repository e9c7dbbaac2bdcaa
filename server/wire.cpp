#include "wire.h"

#include "core/helpers.h"


#include <QtEndian>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

bool ByteReader::readInt32(qint32 &value)
{
    char b[4];
    if (!readExact(b, 4))
        return false;
    value = qFromBigEndian<qint32>(b);
    return true;
}

bool ByteReader::readInt64(qint64 &value)
{
    char b[8];
    if (!readExact(b, 8))
        return false;
    value = qFromBigEndian<qint64>(b);
    return true;
}

bool ByteReader::readLine(QByteArray &line, int maxLen)
{
    line.clear();
    char c;
    while (line.size() < maxLen) {
        if (!readExact(&c, 1))
            return false;
        line.append(c);
        if (c == '\n')
            return true;
    }
    return false;
}

bool BufferReader::readExact(char *data, qint64 n)
{
    if (n < 0 || n > m_bytes.size() - m_pos)
        return false;
    memcpy(data, m_bytes.constData() + m_pos, size_t(n));
    m_pos += n;
    return true;
}

qint64 BufferReader::readSome(char *data, qint64 max)
{
    const qint64 n = qMin(max, m_bytes.size() - m_pos);
    if (n <= 0)
        return 0;
    memcpy(data, m_bytes.constData() + m_pos, size_t(n));
    m_pos += n;
    return n;
}

bool BufferStream::writeAll(const char *data, qint64 n)
{
    // Only the tail matters to a fuzzer; the whole of a long answer would just use memory.
    m_out.append(data, n);
    if (m_out.size() > 1024 * 1024)
        m_out.remove(0, m_out.size() - 64 * 1024);
    return true;
}

SocketStream::SocketStream(int fd, ssl_st *ssl, int openingMs, int transferIdleMs)
    : m_fd(fd), m_ssl(ssl), m_idleMs(openingMs), m_transferIdleMs(transferIdleMs), m_deadline(openingMs)
{
}

void SocketStream::extendOpening(qint64 ms)
{
    if (!m_deadline.isForever())
        m_deadline = QDeadlineTimer(m_deadline.remainingTime() + ms);
}

void SocketStream::startTransfer()
{
    m_deadline = QDeadlineTimer(QDeadlineTimer::Forever);
    m_idleMs = m_transferIdleMs;
}

bool SocketStream::wait(short events)
{
    const qint64 left = m_deadline.isForever() ? m_idleMs : qMin<qint64>(m_idleMs, m_deadline.remainingTime());
    pollfd p{m_fd, events, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, int(qMax<qint64>(0, left)));
    } while (rc < 0 && errno == EINTR);
    if (rc == 0)
        m_timedOut = true;
    return rc > 0 && !(p.revents & POLLNVAL);
}

bool SocketStream::readExact(char *data, qint64 n)
{
    qint64 done = 0;
    while (done < n) {
        const qint64 got = readSome(data + done, n - done);
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}

qint64 SocketStream::readSome(char *data, qint64 max)
{
    if (max <= 0)
        return 0;
    if (m_aheadPos < m_ahead.size()) {
        const qint64 n = qMin(max, m_ahead.size() - m_aheadPos);
        memcpy(data, m_ahead.constData() + m_aheadPos, size_t(n));
        m_aheadPos += n;
        return n;
    }
    if (max >= kReadAhead)
        return receive(data, max);
    m_ahead.resize(kReadAhead);
    const qint64 got = receive(m_ahead.data(), kReadAhead);
    m_ahead.resize(got);
    m_aheadPos = 0;
    if (got <= 0)
        return 0;
    return readSome(data, max);
}

qint64 SocketStream::receive(char *data, qint64 max)
{
    const int chunk = int(qMin<qint64>(max, 1 << 20));
    for (;;) {
        if (m_ssl) {
            ERR_clear_error();
            const int got = SSL_read(m_ssl, data, chunk);
            if (got > 0)
                return got;
            const int err = SSL_get_error(m_ssl, got);
            if (err == SSL_ERROR_WANT_READ ? !wait(POLLIN) : err == SSL_ERROR_WANT_WRITE ? !wait(POLLOUT) : true)
                return 0;
        } else {
            const ssize_t got = ::recv(m_fd, data, size_t(chunk), 0);
            if (got > 0)
                return got;
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return 0;
            if (errno != EINTR && !wait(POLLIN))
                return 0;
        }
    }
}

bool SocketStream::writeAll(const char *data, qint64 n)
{
    qint64 done = 0;
    while (done < n) {
        const int chunk = int(qMin<qint64>(n - done, 1 << 20));
        if (m_ssl) {
            ERR_clear_error();
            const int put = SSL_write(m_ssl, data + done, chunk);
            if (put > 0) {
                done += put;
                continue;
            }
            const int err = SSL_get_error(m_ssl, put);
            if (err == SSL_ERROR_WANT_WRITE ? !wait(POLLOUT) : err == SSL_ERROR_WANT_READ ? !wait(POLLIN) : true)
                return false;
        } else {
            const ssize_t put = ::send(m_fd, data + done, size_t(chunk), MSG_NOSIGNAL);
            if (put > 0) {
                done += put;
                continue;
            }
            if (put < 0 && errno == EINTR)
                continue;
            if (put == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || !wait(POLLOUT))
                return false;
        }
    }
    return true;
}

QByteArray int32BE(qint32 value)
{
    QByteArray b(4, Qt::Uninitialized);
    qToBigEndian(value, b.data());
    return b;
}

QByteArray int64BE(qint64 value)
{
    QByteArray b(8, Qt::Uninitialized);
    qToBigEndian(value, b.data());
    return b;
}

qint64 int64LE(const char *data)
{
    return qFromLittleEndian<qint64>(data);
}

THeadInfo decodeHead(const char *d)
{
    THeadInfo h;
    h.Version = quint8(d[0]);
    h.AllEff = quint8(d[1]);
    h.TranType = quint8(d[2]);
    h.FreeByte = quint8(d[3]);
    h.FreeInt = qFromLittleEndian<qint32>(d + 4);
    h.FreeInt2 = qFromLittleEndian<qint32>(d + 8);
    h.FreeInt3 = qFromLittleEndian<qint32>(d + 12);
    return h;
}

QByteArray encodeHead(const THeadInfo &h)
{
    QByteArray b(16, '\0');
    b[0] = char(h.Version);
    b[1] = char(h.AllEff);
    b[2] = char(h.TranType);
    b[3] = char(h.FreeByte);
    qToLittleEndian(h.FreeInt, b.data() + 4);
    qToLittleEndian(h.FreeInt2, b.data() + 8);
    qToLittleEndian(h.FreeInt3, b.data() + 12);
    return b;
}

static QByteArray utf16le(const QString &text)
{
    QByteArray b(text.size() * 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        qToLittleEndian(text.at(i).unicode(), b.data() + 2 * i);
    return b;
}

namespace {
std::atomic<qint64> g_openingBytes{0};
} // namespace

OpeningBudget::OpeningBudget(qint64 bytes) : m_bytes(bytes), m_held(true)
{
    if (bytes > 0 && g_openingBytes.fetch_add(bytes) + bytes > kTotal) {
        g_openingBytes -= bytes;
        m_held = false;
    }
}

OpeningBudget::~OpeningBudget()
{
    if (m_held && m_bytes > 0)
        g_openingBytes -= m_bytes;
}

FrameResult readFramedRequest(ByteReader &in, FramedRequest &request)
{
    qint32 length = 0;
    char head[16];
    if (!in.readInt32(length))
        return FrameResult::Closed;
    if (length < 20 || length > 20 + kMaxFrameBody)
        return FrameResult::BadLength;
    if (!in.readExact(head, 16))
        return FrameResult::Closed;
    request.head = decodeHead(head);
    request.text.clear();
    if (length > 20) {
        qint32 count = 0;
        if (!in.readInt32(count))
            return FrameResult::Closed;
        if (count != length - 20)
            return FrameResult::CountMismatch;
        // Large bodies (bytes and text) are charged to the shared budget; they get
        // time to arrive at a modest rate.
        const OpeningBudget budget(count > kFreeFrameBody ? 2 * qint64(count) : 0);
        if (!budget.held())
            return FrameResult::Busy;
        if (count > kFreeFrameBody)
            in.extendOpening(count / 256);
        // Grows with the bytes that really arrive: a length alone never reserves memory.
        QByteArray body;
        char chunk[65536];
        while (body.size() < count) {
            const qint64 n = qMin<qint64>(sizeof chunk, count - body.size());
            if (!in.readExact(chunk, n))
                return FrameResult::Closed;
            body.append(chunk, n);
        }
        // An odd last byte is ignored, as the client does.
        request.text.resize(count / 2);
        for (qint32 i = 0; i < count / 2; ++i)
            request.text[i] = QChar(qFromLittleEndian<quint16>(body.constData() + 2 * i));
    }
    qint32 trailer = 0;
    if (!in.readInt32(trailer))
        return FrameResult::Closed;
    request.trailerOk = trailer == kFrameTrailer;
    return FrameResult::Ok;
}

QByteArray encodeReply(quint8 status, const QString &body, qint32 freeInt)
{
    THeadInfo h;
    h.TranType = status;
    h.FreeInt = freeInt;
    const QByteArray bytes = utf16le(body);
    QByteArray out = int32BE(qint32(bytes.size()) + 20) + encodeHead(h);
    if (!bytes.isEmpty())
        out += int32BE(qint32(bytes.size())) + bytes;
    return out + int32BE(kFrameTrailer);
}

QByteArray encodeRequest(const THeadInfo &head, const QString &body)
{
    const QByteArray bytes = utf16le(body);
    QByteArray out = kFramedRequestLine + int32BE(qint32(bytes.size()) + 20) + encodeHead(head);
    if (!bytes.isEmpty())
        out += int32BE(qint32(bytes.size())) + bytes;
    return out + int32BE(kFrameTrailer);
}

std::optional<QString> decodeParamLine(const QByteArray &line)
{
    QByteArray l = line;
    while (!l.isEmpty() && (l.endsWith('\n') || l.endsWith('\r')))
        l.chop(1);
    if (!l.startsWith("%_"))
        return QString::fromUtf8(l);
    return DecodeHexUtf8(QString::fromLatin1(l));
}

QByteArray encodeParamLine(const QString &text)
{
    return EncodeHexUtf8(text).toLatin1() + "\r\n";
}
