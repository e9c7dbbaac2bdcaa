#include "fakeserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtEndian>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

class Listener : public QTcpServer
{
public:
    QList<qintptr> pending;

protected:
    void incomingConnection(qintptr descriptor) override { pending << descriptor; }
};

QString decodeHexParam(const QByteArray &line)
{
    if (line.size() > 4 && line.startsWith("%_") && line.endsWith("_%"))
        return QString::fromUtf8(QByteArray::fromHex(line.mid(2, line.size() - 4)));
    return QString::fromLatin1(line);
}

} // namespace

qint32 FakeFrame::freeInt() const
{
    return head.size() >= 8 ? qFromLittleEndian<qint32>(head.constData() + 4) : 0;
}

qint32 FakeFrame::freeInt2() const
{
    return head.size() >= 12 ? qFromLittleEndian<qint32>(head.constData() + 8) : 0;
}

QString FakeFrame::text() const
{
    QString out;
    for (qsizetype i = 0; i + 1 < body.size(); i += 2)
        out += QChar(qFromLittleEndian<quint16>(body.constData() + i));
    return out;
}

FakeConn::FakeConn(QTcpSocket *socket) : m_socket(socket) {}

bool FakeConn::isOpen() const
{
    return !m_closed && m_socket->state() == QAbstractSocket::ConnectedState;
}

QByteArray FakeConn::read(qint64 n, int timeoutMs)
{
    QByteArray out;
    while (out.size() < n) {
        if (m_socket->bytesAvailable() > 0) {
            out += m_socket->read(n - out.size());
            continue;
        }
        if (m_closed || m_socket->state() != QAbstractSocket::ConnectedState)
            break;
        if (!m_socket->waitForReadyRead(timeoutMs) && m_socket->bytesAvailable() == 0)
            break;
    }
    m_received += out;
    return out;
}

QByteArray FakeConn::readLine(int timeoutMs)
{
    QByteArray line;
    for (;;) {
        const QByteArray c = read(1, timeoutMs);
        if (c.isEmpty() || c == "\n")
            break;
        line += c;
        if (line.size() > 1 << 20)
            break;
    }
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

qint32 FakeConn::readInt32()
{
    const QByteArray b = read(4);
    return b.size() == 4 ? qFromBigEndian<qint32>(b.constData()) : -1;
}

qint64 FakeConn::readInt64()
{
    const QByteArray b = read(8);
    return b.size() == 8 ? qFromBigEndian<qint64>(b.constData()) : -1;
}

FakeFrame FakeConn::readFrame()
{
    FakeFrame f;
    f.requestLine = read(16);
    const QByteArray len = read(4);
    if (len.size() < 4)
        return f;
    f.length = qFromBigEndian<qint32>(len.constData());
    f.head = read(16);
    if (f.length > 20) {
        f.count = readInt32();
        if (f.count < 0 || f.count > 64 * 1024 * 1024)
            return f;
        f.body = read(f.count);
    }
    const QByteArray tr = read(4);
    if (tr.size() < 4)
        return f;
    f.trailer = qFromBigEndian<qint32>(tr.constData());
    f.complete = f.head.size() == 16 && (f.count < 0 || f.body.size() == f.count);
    return f;
}

FakeFileRequest FakeConn::readFileRequest()
{
    FakeFileRequest r;
    r.requestLine = readLine();
    const QByteArray op = read(4);
    if (op.size() < 4)
        return r;
    r.operation = qFromBigEndian<qint32>(op.constData());
    r.paramLine = readLine();
    r.params = decodeHexParam(r.paramLine);
    r.complete = true;
    return r;
}

QByteArray FakeConn::readAll(int timeoutMs)
{
    QByteArray out;
    for (;;) {
        const QByteArray chunk = read(1 << 20, timeoutMs);
        out += chunk;
        if (chunk.size() < (1 << 20))
            break;
    }
    return out;
}

void FakeConn::write(const QByteArray &bytes)
{
    if (m_closed)
        return;
    QByteArray b = bytes;
    bool drop = false;
    if (m_dropLimit >= 0 && b.size() >= m_dropLimit) {
        b.truncate(m_dropLimit);
        drop = true;
    }
    if (m_dropLimit >= 0)
        m_dropLimit -= b.size();
    if (!b.isEmpty()) {
        m_socket->write(b);
        m_written += b.size();
        while (m_socket->bytesToWrite() > 0)
            if (!m_socket->waitForBytesWritten(10000))
                break;
    }
    if (drop)
        abort();
}

void FakeConn::writeInt32(qint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    write(QByteArray(b, 4));
}

void FakeConn::writeInt64(qint64 v)
{
    char b[8];
    qToBigEndian(v, b);
    write(QByteArray(b, 8));
}

void FakeConn::writeLine(const QByteArray &line)
{
    write(line + "\r\n");
}

void FakeConn::writeFrame(quint8 status, const QByteArray &body, qint32 trailer, qint32 freeInt)
{
    QByteArray out;
    char b[4];
    qToBigEndian(qint32(body.isEmpty() ? 20 : body.size() + 20), b);
    out.append(b, 4);
    QByteArray head(16, '\0');
    head[0] = 2;
    head[2] = char(status);
    qToLittleEndian(freeInt, head.data() + 4);
    out += head;
    if (!body.isEmpty()) {
        qToBigEndian(qint32(body.size()), b);
        out.append(b, 4);
        out += body;
    }
    qToBigEndian(trailer, b);
    out.append(b, 4);
    write(out);
}

void FakeConn::writeFrame(quint8 status, const QString &text, qint32 trailer, qint32 freeInt)
{
    QByteArray body;
    for (QChar c : text) {
        char b[2];
        qToLittleEndian(c.unicode(), b);
        body.append(b, 2);
    }
    writeFrame(status, body, trailer, freeInt);
}

void FakeConn::writeFrameAnnouncing(quint8 status, qint32 count, const QByteArray &body)
{
    QByteArray out;
    char b[4];
    qToBigEndian(qint32(24), b);
    out.append(b, 4);
    QByteArray head(16, '\0');
    head[0] = 2;
    head[2] = char(status);
    out += head;
    qToBigEndian(count, b);
    out.append(b, 4);
    out += body;
    write(out);
}

void FakeConn::dropAfter(qint64 bytes)
{
    m_dropLimit = bytes;
}

void FakeConn::delay(int ms)
{
    QThread::msleep(ulong(ms));
}

void FakeConn::garbage(int bytes)
{
    QByteArray g(bytes, '\0');
    for (char &c : g)
        c = char(QRandomGenerator::global()->bounded(256));
    write(g);
}

void FakeConn::close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_socket->disconnectFromHost();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->waitForDisconnected(2000);
}

void FakeConn::abort()
{
    if (m_closed)
        return;
    m_closed = true;
    m_socket->abort();
}

FakeServer::FakeServer(Mode mode) : m_mode(mode)
{
    if (mode == Tls && !makeCertificate())
        return;
    // The listener lives in the server thread; run() releases once the port is known.
    start();
    m_ready.acquire();
}

FakeServer::~FakeServer()
{
    m_stop = true;
    wait(15000);
    // QThread::wait synchronises inside Qt, where ThreadSanitizer cannot see it;
    // this pairs with the last store of run().
    (void)m_ended.load(std::memory_order_acquire);
    if (!m_dir.isEmpty())
        QDir(m_dir).removeRecursively();
}

bool FakeServer::makeCertificate()
{
    QTemporaryDir dir;
    dir.setAutoRemove(false);
    if (!dir.isValid()) {
        m_setupError = QStringLiteral("no temporary folder");
        return false;
    }
    m_dir = dir.path();
    m_certFile = m_dir + QLatin1String("/cert.pem");
    m_keyFile = m_dir + QLatin1String("/key.pem");
    EVP_PKEY *pkey = EVP_EC_gen("P-256");
    X509 *x = X509_new();
    bool ok = pkey && x;
    if (ok) {
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), long(QRandomGenerator::global()->bounded(1 << 30)));
        X509_gmtime_adj(X509_getm_notBefore(x), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x), 2 * 86400);
        X509_set_pubkey(x, pkey);
        X509_NAME *name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(x, name);
        ok = X509_sign(x, pkey, EVP_sha256()) > 0;
    }
    if (ok) {
        FILE *cf = fopen(QFile::encodeName(m_certFile).constData(), "wb");
        FILE *kf = fopen(QFile::encodeName(m_keyFile).constData(), "wb");
        ok = cf && kf && PEM_write_X509(cf, x) == 1
             && PEM_write_PrivateKey(kf, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        if (cf)
            fclose(cf);
        if (kf)
            fclose(kf);
    }
    X509_free(x);
    EVP_PKEY_free(pkey);
    if (!ok)
        m_setupError = QStringLiteral("could not make a self-signed certificate");
    return ok;
}

void FakeServer::addScript(FakeScript script)
{
    QMutexLocker lock(&m_mutex);
    m_scripts << std::move(script);
}

void FakeServer::setDefaultScript(FakeScript script)
{
    QMutexLocker lock(&m_mutex);
    m_default = std::move(script);
}

int FakeServer::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_received.size());
}

QByteArray FakeServer::received(int connection) const
{
    QMutexLocker lock(&m_mutex);
    return connection >= 0 && connection < m_received.size() ? m_received.at(connection) : QByteArray();
}

QList<QByteArray> FakeServer::receivedAll() const
{
    QMutexLocker lock(&m_mutex);
    return m_received;
}

bool FakeServer::waitForHandled(int n, int timeoutMs) const
{
    QElapsedTimer t;
    t.start();
    while (m_handled.load() < n) {
        if (t.elapsed() > timeoutMs)
            return false;
        QThread::msleep(5);
    }
    return true;
}

QStringList FakeServer::log() const
{
    QMutexLocker lock(&m_mutex);
    return m_log;
}

void FakeServer::run()
{
    Listener listener;
    if (!listener.listen(QHostAddress::LocalHost, 0)) {
        m_setupError = listener.errorString();
        m_ended.store(true, std::memory_order_release);
        m_ready.release();
        return;
    }
    m_port = listener.serverPort();
    m_ready.release();
    while (!m_stop) {
        if (listener.pending.isEmpty())
            listener.waitForNewConnection(50);
        while (!listener.pending.isEmpty())
            handle(listener.pending.takeFirst());
    }
    m_ended.store(true, std::memory_order_release);
}

void FakeServer::handle(qintptr descriptor)
{
    std::unique_ptr<QTcpSocket> socket;
    if (m_mode == Tls) {
        auto *s = new QSslSocket;
        socket.reset(s);
        s->setSocketDescriptor(descriptor);
        QSslConfiguration cfg = QSslConfiguration::defaultConfiguration();
        QFile cf(m_certFile), kf(m_keyFile);
        cf.open(QIODevice::ReadOnly);
        kf.open(QIODevice::ReadOnly);
        cfg.setLocalCertificate(QSslCertificate(cf.readAll(), QSsl::Pem));
        cfg.setPrivateKey(QSslKey(kf.readAll(), QSsl::Ec, QSsl::Pem));
        cfg.setPeerVerifyMode(QSslSocket::VerifyNone);
        cfg.setProtocol(QSsl::TlsV1_2OrLater);
        s->setSslConfiguration(cfg);
        s->startServerEncryption();
        if (!s->waitForEncrypted(10000)) {
            QMutexLocker lock(&m_mutex);
            m_log << QStringLiteral("TLS handshake failed: ") + s->errorString();
            m_received << QByteArray();
            s->abort();
            ++m_handled;
            return;
        }
    } else {
        socket = std::make_unique<QTcpSocket>();
        socket->setSocketDescriptor(descriptor);
    }
    FakeScript script;
    {
        QMutexLocker lock(&m_mutex);
        if (!m_scripts.isEmpty())
            script = m_scripts.takeFirst();
        else
            script = m_default;
    }
    FakeConn conn(socket.get());
    try {
        if (script)
            script(conn);
    } catch (const std::exception &e) {
        QMutexLocker lock(&m_mutex);
        m_log << QStringLiteral("script failed: ") + QString::fromUtf8(e.what());
    }
    if (!conn.m_closed) {
        conn.readAll(3000);  // whatever the client still sends, until it closes
        conn.close();
    }
    {
        QMutexLocker lock(&m_mutex);
        m_received << conn.m_received;
    }
    ++m_handled;
}
