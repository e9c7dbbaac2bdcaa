#pragma once
// The framed TCP exchange under every server request. One connection
// per request: request line, one request frame, one reply frame, close.
#include "net/netconnection.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <memory>

#pragma pack(push, 1)
// The 16-byte frame header, sent and received as raw bytes (integers little-endian).
struct THeadInfo {
    quint8 Version = 2;
    quint8 AllEff = 0;
    quint8 TranType = 0;   // request code, or the reply's status code
    quint8 FreeByte = 0;
    qint32 FreeInt = 0;    // request parameter 1; reply value (maximum file size)
    qint32 FreeInt2 = 0;   // request parameter 2
    qint32 FreeInt3 = 0;
};
#pragma pack(pop)
static_assert(sizeof(THeadInfo) == 16, "THeadInfo is 16 bytes on the wire");

QByteArray HeadToBytes(const THeadInfo &h);
THeadInfo HeadFromBytes(const QByteArray &bytes);  // 16 bytes

constexpr qint32 kFrameTrailer = 65518;                       // 00 00 FF EE
constexpr qint64 kMaxFramedReplyBytes = 256LL * 1024 * 1024;   // a sane bound for one reply body
constexpr char kRequestLine[] = "ZYVEK /TCP/1.0\r\n";  // 16 bytes; constexpr: internal linkage
inline const QString kTransmissionErrorText = QStringLiteral("An error occurred during transmission");

// UTF-16LE code units, no byte-order mark, no terminator.
QByteArray TextToUtf16Bytes(const QString &text);
QString Utf16BytesToText(const QByteArray &bytes);  // an odd last byte is ignored

class TPipeTcpClient
{
public:
    explicit TPipeTcpClient(bool isSSL = false);
    virtual ~TPipeTcpClient();
    TPipeTcpClient(const TPipeTcpClient &) = delete;
    TPipeTcpClient &operator=(const TPipeTcpClient &) = delete;

    // Defaults: "127.0.0.1", 8090, 30 000 ms; connect time-out 0 = the platform's.
    QString Host = QStringLiteral("127.0.0.1");
    quint16 Port = 8090;
    int ReadTimeout = 30000;
    int ConnectTimeout = 0;
    // Owned by the caller: 1 ends a framed exchange's wait within a fifth of a
    // second, so a stopping worker is not held by a silent server.
    const std::atomic<qint32> *PCancelFrames = nullptr;
    bool IsSSL() const { return FIsSSL; }

    THeadInfo SendHead;
    THeadInfo ReceiveHead;

    bool Tcp_Post(quint8 code, qint32 freeInt, qint32 freeInt2);
    QString Tcp_GetText(quint8 code, qint32 freeInt, qint32 freeInt2);
    QString Tcp_GetText(quint8 code, const QString &text);
    // The client's own reply body, valid until the next exchange; null on failure.
    const QByteArray *Tcp_GetStream(quint8 code, qint32 freeInt, qint32 freeInt2);
    quint8 GetServerStatus();  // 20 when the exchange failed
    bool IP_Test();
    QString GetLastError() const { return FErrorTxt; }

    // Connects unless connected; Disconnect closes.
    void ConnectIfNeeded();
    void Disconnect() noexcept;
    bool Connected() const;
    bool ApiConnectTest();

    const QByteArray &SendStream() const { return FSendStream; }
    const QByteArray &ReceiveStream() const { return FReceiveStream; }

protected:
    void SetTranType(quint8 code);
    void TextToStream(const QString &text);
    static QString StreamToText(const QByteArray &stream) { return Utf16BytesToText(stream); }
    bool DoRequest();               // catches ENetError into FErrorTxt
    void DoRequestOrThrow();        // same exchange; the error rises after the connection is closed
    void ExchangeFrame();
    virtual void SendFrame();
    virtual void ReceiveFrame();
    TNetConnection &Conn() { return *FConn; }

    QString FErrorTxt;
    QByteArray FSendStream;
    QByteArray FReceiveStream;

private:
    bool FIsSSL;
    std::unique_ptr<TNetConnection> FConn;
};
