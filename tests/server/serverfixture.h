#pragma once
// A reference server on a free 127.0.0.1 port with its own data folder, and a
// raw-bytes client to talk to it exactly as the desktop client does.
#include "docserver.h"
#include "refserver.h"
#include "seed.h"
#include "store.h"
#include "wire.h"

#include "core/tagtext.h"

#include <QSslSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <functional>
#include <memory>

// The shared reference server under the name these tests grew up with.
class TestServer : public RefServer
{
public:
    // limits: changes the options before the start (small caps show exhaustion quickly).
    explicit TestServer(bool seed = true, bool tls = false, const QString &dataDir = {},
                        const std::function<void(ServerOptions &)> &limits = {})
        : RefServer(Setup{seed, tls, true, dataDir, limits})
    {
    }
};

class RawClient
{
public:
    explicit RawClient(quint16 port, bool tls = false)
    {
        if (tls) {
            m_socket.setPeerVerifyMode(QSslSocket::VerifyNone);
            m_socket.setProtocol(QSsl::TlsV1_2);
            m_socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
            m_connected = m_socket.waitForEncrypted(10000);
        } else {
            m_socket.connectToHost(QHostAddress::LocalHost, port);
            m_connected = m_socket.waitForConnected(5000);
        }
    }
    bool connected() const { return m_connected; }
    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        while (m_socket.bytesToWrite() > 0 && m_socket.waitForBytesWritten(5000)) {
        }
    }
    // Empty when the bytes did not arrive before the deadline or the server closed.
    QByteArray read(qint64 n, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (m_socket.bytesAvailable() < n && !deadline.hasExpired()) {
            if (!m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
                break;
        }
        return m_socket.bytesAvailable() >= n ? m_socket.read(n) : QByteArray();
    }
    QByteArray readToEnd(int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (m_socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired())
            m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        return m_socket.readAll();
    }
    qint32 int32()
    {
        const QByteArray b = read(4);
        return b.size() == 4 ? qFromBigEndian<qint32>(b.constData()) : -1;
    }
    qint64 int64()
    {
        const QByteArray b = read(8);
        return b.size() == 8 ? qFromBigEndian<qint64>(b.constData()) : -1;
    }
    QByteArray line()
    {
        QByteArray l;
        while (!l.endsWith('\n')) {
            const QByteArray c = read(1);
            if (c.isEmpty())
                break;
            l += c;
        }
        return l;
    }
    void close() { m_socket.abort(); }
    QSslSocket &socket() { return m_socket; }

private:
    QSslSocket m_socket;
    bool m_connected = false;
};

struct FramedReply
{
    int status = -1;
    qint32 freeInt = 0;
    QString body;
    QByteArray raw;
};

inline FramedReply parseReply(const QByteArray &raw)
{
    FramedReply r;
    r.raw = raw;
    if (raw.size() < 24)
        return r;
    const qint32 length = qFromBigEndian<qint32>(raw.constData());
    r.status = quint8(raw.at(6));
    r.freeInt = qFromLittleEndian<qint32>(raw.constData() + 8);
    if (length > 20 && raw.size() >= 24) {
        const qint32 n = qFromBigEndian<qint32>(raw.constData() + 20);
        const QByteArray body = raw.mid(24, n);
        r.body = QString::fromUtf16(reinterpret_cast<const char16_t *>(body.constData()), body.size() / 2);
    }
    return r;
}

inline FramedReply framed(quint16 port, quint8 code, const QString &text, qint32 freeInt = 0, qint32 freeInt2 = 0, bool tls = false)
{
    RawClient c(port, tls);
    THeadInfo head;
    head.TranType = code;
    head.FreeInt = freeInt;
    head.FreeInt2 = freeInt2;
    c.send(encodeRequest(head, text));
    return parseReply(c.readToEnd());
}

inline QString loginToken(quint16 port, const QString &name = QStringLiteral("demo"), const QString &password = QStringLiteral("demo"))
{
    const FramedReply r = framed(port, 84, QStringLiteral("[Name]%1[/Name][PassWord]%2[/PassWord][Mac][/Mac][BindingIp]127.0.0.1[/BindingIp][BindingPort]%3[/BindingPort]")
                                               .arg(name, password).arg(port));
    return r.status == 86 ? GetTagValue(r.body, QStringLiteral("UserId")) : QString();
}

// A form posted as a browser would; the whole response.
inline QByteArray httpPost(quint16 port, const QByteArray &target, const QByteArray &form)
{
    RawClient c(port);
    c.send("POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " + QByteArray::number(form.size()) + "\r\n\r\n" + form);
    return c.readToEnd();
}

inline QString E(const QString &token)
{
    return QStringLiteral("[EncryptCode]%1[/EncryptCode]").arg(token);
}

inline QByteArray fileOpening(qint32 op, const QString &text)
{
    return kFileRequestLine + int32BE(op) + encodeParamLine(text);
}

inline QString uploadText(const QString &token, int owner, qint64 folder, const QString &sub, const QString &pathAndName,
                          qint64 size, qint64 ticks)
{
    return E(token) + QStringLiteral("[DestOwnerId]%1[/DestOwnerId][DestFolderId]%2[/DestFolderId][SubFolderName]%3[/SubFolderName]"
                                     "[NameHash]0[/NameHash][Size]%4[/Size][Kind]0[/Kind][PathAndName]%5[/PathAndName][Summary][/Summary]"
                                     "[ModifyDate]%6[/ModifyDate][FielPrt][/FielPrt][SC]0[/SC][language]1[/language]")
                          .arg(owner).arg(folder).arg(sub).arg(size).arg(pathAndName).arg(ticks);
}
