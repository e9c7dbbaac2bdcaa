#include "wire.h"

#include "core/helpers.h"

#include <QTcpSocket>
#include <QtEndian>

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

bool SocketStream::waitForData()
{
    // A TLS record can wake us without any application bytes: wait again.
    while (m_socket->bytesAvailable() == 0) {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return false;
        if (!m_socket->waitForReadyRead(m_idleMs)) {
            if (m_socket->error() == QAbstractSocket::SocketTimeoutError)
                m_timedOut = true;
            return m_socket->bytesAvailable() > 0;
        }
    }
    return true;
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
    if (max <= 0 || !waitForData())
        return 0;
    const qint64 got = m_socket->read(data, max);
    return got < 0 ? 0 : got;
}

bool SocketStream::writeAll(const char *data, qint64 n)
{
    if (m_socket->write(data, n) != n)
        return false;
    while (m_socket->bytesToWrite() > 0) {
        if (!m_socket->waitForBytesWritten(m_idleMs))
            return false;
    }
    return true;
}

bool SocketStream::writeAll(const QByteArray &bytes)
{
    return writeAll(bytes.constData(), bytes.size());
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
