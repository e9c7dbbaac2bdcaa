#include "net/pipetcpclient.h"

#include "core/uitext.h"

#include <QtEndian>
#include <cstring>

QByteArray HeadToBytes(const THeadInfo &h)
{
    QByteArray b(16, '\0');
    char *p = b.data();
    p[0] = char(h.Version);
    p[1] = char(h.AllEff);
    p[2] = char(h.TranType);
    p[3] = char(h.FreeByte);
    qToLittleEndian(h.FreeInt, p + 4);
    qToLittleEndian(h.FreeInt2, p + 8);
    qToLittleEndian(h.FreeInt3, p + 12);
    return b;
}

THeadInfo HeadFromBytes(const QByteArray &bytes)
{
    THeadInfo h;
    if (bytes.size() < 16)
        return h;
    const char *p = bytes.constData();
    h.Version = quint8(p[0]);
    h.AllEff = quint8(p[1]);
    h.TranType = quint8(p[2]);
    h.FreeByte = quint8(p[3]);
    h.FreeInt = qFromLittleEndian<qint32>(p + 4);
    h.FreeInt2 = qFromLittleEndian<qint32>(p + 8);
    h.FreeInt3 = qFromLittleEndian<qint32>(p + 12);
    return h;
}

QByteArray TextToUtf16Bytes(const QString &text)
{
    QByteArray out(text.size() * 2, '\0');
    char *p = out.data();
    for (qsizetype i = 0; i < text.size(); ++i)
        qToLittleEndian(text.at(i).unicode(), p + 2 * i);
    return out;
}

QString Utf16BytesToText(const QByteArray &bytes)
{
    const qsizetype n = bytes.size() / 2;
    QString out(n, Qt::Uninitialized);
    const char *p = bytes.constData();
    for (qsizetype i = 0; i < n; ++i)
        out[i] = QChar(qFromLittleEndian<quint16>(p + 2 * i));
    return out;
}

TPipeTcpClient::TPipeTcpClient(bool isSSL) : FIsSSL(isSSL), FConn(std::make_unique<TNetConnection>())
{
    SendHead.Version = 2;
}

TPipeTcpClient::~TPipeTcpClient()
{
    Disconnect();
}

void TPipeTcpClient::ConnectIfNeeded()
{
    if (!FConn->isOpen())
        FConn->open(Host, Port, FIsSSL, ConnectTimeout, ReadTimeout);
    else
        FConn->setReadTimeout(ReadTimeout);
    if (PCancelFrames)
        FConn->setCancelFlag(PCancelFrames);
}

void TPipeTcpClient::Disconnect() noexcept
{
    FConn->close();
}

bool TPipeTcpClient::Connected() const
{
    return FConn->isOpen();
}

bool TPipeTcpClient::ApiConnectTest()
{
    try {
        ConnectIfNeeded();
        Disconnect();
        return true;
    } catch (const ENetError &e) {
        FErrorTxt = e.message();
        Disconnect();
        return false;
    }
}

void TPipeTcpClient::SetTranType(quint8 code)
{
    SendHead.Version = 2;
    SendHead.TranType = code;
}

void TPipeTcpClient::TextToStream(const QString &text)
{
    FSendStream = TextToUtf16Bytes(text);
}

void TPipeTcpClient::SendFrame()
{
    const qint64 n = FSendStream.size();
    if (n > 0x7FFFFFFF - 20)
        throw ENetError(TNetErrorKind::Protocol, UiText("请求太大，无法发送（%1 字节）。", "The request is too large to send (%1 bytes).").arg(n));
    QByteArray frame;
    frame.reserve(int(n) + 28);
    char i32[4];
    qToBigEndian(qint32(n + 20), i32);
    frame.append(i32, 4);
    frame.append(HeadToBytes(SendHead));
    if (n > 0) {
        qToBigEndian(qint32(n), i32);
        frame.append(i32, 4);
        frame.append(FSendStream);
    }
    qToBigEndian(kFrameTrailer, i32);
    frame.append(i32, 4);
    FConn->write(frame);
    FSendStream.clear();
}

void TPipeTcpClient::ReceiveFrame()
{
    ReceiveHead.TranType = 0;
    FReceiveStream.clear();
    const qint32 length = FConn->readInt32BE();
    ReceiveHead = HeadFromBytes(FConn->readExact(16));
    if (length > 20) {
        const qint32 count = FConn->readInt32BE();
        if (count < 0 || count > kMaxFramedReplyBytes)
            throw ENetError(TNetErrorKind::Protocol,
                            UiText("服务器 %1 声明的应答为 %2 字节，超出可接受的 0 到 %3 字节范围，已拒绝该应答。",
                                   "The server %1 announced a reply of %2 bytes, outside the accepted range "
                                   "0 to %3 bytes; the reply was refused.")
                                .arg(FConn->peerText())
                                .arg(quint32(count))
                                .arg(kMaxFramedReplyBytes));
        // Grow with what actually arrives, so an announced size costs nothing by itself.
        qint64 left = count;
        while (left > 0) {
            const qint64 step = std::min<qint64>(left, 1 << 20);
            const qsizetype at = FReceiveStream.size();
            FReceiveStream.resize(at + step);
            FConn->readExact(FReceiveStream.data() + at, step);
            left -= step;
        }
    }
    const qint32 trailer = FConn->readInt32BE();
    if (trailer != kFrameTrailer)
        FErrorTxt = kTransmissionErrorText;
}

void TPipeTcpClient::ExchangeFrame()
{
    FConn->write(kRequestLine, 16);
    SendFrame();
    ReceiveFrame();
}

bool TPipeTcpClient::DoRequest()
{
    try {
        ConnectIfNeeded();
        ExchangeFrame();
        Disconnect();
        return true;
    } catch (const ENetError &e) {
        FErrorTxt = e.message();
    } catch (const std::exception &e) {
        FErrorTxt = QString::fromUtf8(e.what());
    }
    Disconnect();
    return false;
}

void TPipeTcpClient::DoRequestOrThrow()
{
    try {
        ConnectIfNeeded();
        ExchangeFrame();
        Disconnect();
    } catch (const ENetError &e) {
        FErrorTxt = e.message();
        Disconnect();
        throw;
    } catch (...) {
        Disconnect();
        throw;
    }
}

bool TPipeTcpClient::Tcp_Post(quint8 code, qint32 freeInt, qint32 freeInt2)
{
    SetTranType(code);
    SendHead.FreeInt = freeInt;
    SendHead.FreeInt2 = freeInt2;
    FSendStream.clear();
    return DoRequest();
}

QString TPipeTcpClient::Tcp_GetText(quint8 code, qint32 freeInt, qint32 freeInt2)
{
    return Tcp_Post(code, freeInt, freeInt2) ? StreamToText(FReceiveStream) : QString();
}

QString TPipeTcpClient::Tcp_GetText(quint8 code, const QString &text)
{
    SetTranType(code);
    TextToStream(text);
    return DoRequest() ? StreamToText(FReceiveStream) : QString();
}

const QByteArray *TPipeTcpClient::Tcp_GetStream(quint8 code, qint32 freeInt, qint32 freeInt2)
{
    return Tcp_Post(code, freeInt, freeInt2) ? &FReceiveStream : nullptr;
}

quint8 TPipeTcpClient::GetServerStatus()
{
    SetTranType(22);
    FSendStream.clear();
    return DoRequest() ? ReceiveHead.TranType : quint8(20);
}

bool TPipeTcpClient::IP_Test()
{
    SendHead.Version = 2;
    FSendStream.clear();
    return DoRequest();
}
