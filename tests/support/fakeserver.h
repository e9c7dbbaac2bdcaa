#pragma once
// An in-process scriptable server on 127.0.0.1 for tests of the wire layer and
// of everything built on it. It runs on its own QThread, accepts one connection
// at a time, records every byte it receives and plays a script per connection.
// Plain TCP or TLS (a throw-away self-signed certificate made at start).
//
//   FakeServer srv;                       // or FakeServer srv(FakeServer::Tls);
//   srv.addScript([](FakeConn &c) {
//       FakeFrame f = c.readFrame();      // "ZYVEK /TCP/1.0" + one request frame
//       c.writeFrame(80, u"reply");       // status 80, UTF-16LE body, good trailer
//   });
//   ... run the client against srv.port() ...
//   srv.received(0)                       // the exact bytes of connection 0
//
// Hooks for hostile or broken peers: dropAfter(n) closes the connection once n
// more bytes have been written, delay(ms) pauses, garbage(n) writes random bytes,
// close() / abort() end the connection at once.
#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <semaphore>

class QTcpSocket;
class QSslSocket;

struct FakeFrame {
    QByteArray requestLine;   // 16 bytes expected: "ZYVEK /TCP/1.0\r\n"
    qint32 length = 0;
    QByteArray head;          // 16 raw header bytes
    qint32 count = -1;        // -1: no count field (empty body)
    QByteArray body;
    qint32 trailer = 0;
    bool complete = false;    // everything announced was read
    quint8 code() const { return head.size() >= 3 ? quint8(head.at(2)) : 0; }
    qint32 freeInt() const;
    qint32 freeInt2() const;
    QString text() const;     // body as UTF-16LE
};

struct FakeFileRequest {
    QByteArray requestLine;   // without CR LF: "ZYVEK_FILE /TCP/1.0"
    qint32 operation = 0;
    QByteArray paramLine;     // raw, without CR LF
    QString params;           // paramLine with the "%_<hex>_%" wrapping decoded
    bool complete = false;
};

class FakeConn
{
public:
    explicit FakeConn(QTcpSocket *socket);

    // Reading: every byte read is recorded. Short results mean EOF or time-out.
    QByteArray read(qint64 n, int timeoutMs = 10000);
    QByteArray readLine(int timeoutMs = 10000);   // without the LF (and CR)
    qint32 readInt32();
    qint64 readInt64();
    FakeFrame readFrame();
    FakeFileRequest readFileRequest();
    // Reads until the peer closes or nothing more arrives within timeoutMs.
    QByteArray readAll(int timeoutMs = 2000);

    // Writing.
    void write(const QByteArray &bytes);
    void writeInt32(qint32 v);
    void writeInt64(qint64 v);
    void writeLine(const QByteArray &line);      // adds CR LF
    // Reply frame: length (N + 20 with a body of N bytes, 20 without), header with the
    // status in byte 2 and freeInt at offset 4, count + body, trailer.
    void writeFrame(quint8 status, const QByteArray &body, qint32 trailer = 65518, qint32 freeInt = 0);
    void writeFrame(quint8 status, const QString &text, qint32 trailer = 65518, qint32 freeInt = 0);
    // Announces count bytes but sends only the body given (for hostile-server tests).
    void writeFrameAnnouncing(quint8 status, qint32 count, const QByteArray &body);

    // Hooks.
    void dropAfter(qint64 bytes);   // next writes stop after this many bytes, then abort
    void delay(int ms);
    void garbage(int bytes);
    void close();                   // graceful close, no drain
    void abort();                   // immediate close

    bool isOpen() const;
    const QByteArray &received() const { return m_received; }
    qint64 written() const { return m_written; }

private:
    friend class FakeServer;
    QTcpSocket *m_socket;
    QByteArray m_received;
    qint64 m_written = 0;
    qint64 m_dropLimit = -1;
    bool m_closed = false;
};

using FakeScript = std::function<void(FakeConn &)>;

class FakeServer : public QThread
{
public:
    enum Mode { Plain, Tls };
    explicit FakeServer(Mode mode = Plain);
    ~FakeServer() override;

    quint16 port() const { return m_port; }
    bool ok() const { return m_port != 0; }
    QString setupError() const { return m_setupError; }

    // One script per accepted connection, in order. Without a script the
    // connection is read until the peer closes and then closed.
    void addScript(FakeScript script);
    void setDefaultScript(FakeScript script);

    int connectionCount() const;
    QByteArray received(int connection) const;
    QList<QByteArray> receivedAll() const;
    // Waits until n connections have been handled completely (script and drain).
    bool waitForHandled(int n, int timeoutMs = 10000) const;
    // Messages from the server thread (TLS handshake failures and such).
    QStringList log() const;

    // The self-signed certificate files made for TLS mode (PEM).
    QString certificateFile() const { return m_certFile; }
    QString keyFile() const { return m_keyFile; }

protected:
    void run() override;

private:
    void handle(qintptr descriptor);
    bool makeCertificate();

    Mode m_mode;
    std::atomic<quint16> m_port{0};
    std::atomic<bool> m_stop{false};
    QString m_setupError;
    QString m_dir;
    QString m_certFile;
    QString m_keyFile;
    mutable QMutex m_mutex;
    QList<FakeScript> m_scripts;
    FakeScript m_default;
    QList<QByteArray> m_received;
    std::atomic<int> m_handled{0};
    // Standard primitives, not Qt's: ThreadSanitizer sees through them, not through
    // the uninstrumented Qt library.
    std::binary_semaphore m_ready{0};
    std::atomic<bool> m_ended{false};
    QStringList m_log;
};
