// HTTP replies read through libcurl: a local server thread reads the request and
// answers with the input's bytes, then closes. With FUZZ_HTTP_TLS over HTTPS.
#include "fakeserver.h"
#include "net/sslhttp.h"

#include <QCoreApplication>
#include <QMutex>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
#ifdef FUZZ_HTTP_TLS
constexpr bool kTls = true;
#else
constexpr bool kTls = false;
#endif
constexpr qint64 kMaxBody = 4096;

QMutex g_lock;
QByteArray g_play;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char arg0[] = "fuzz_http";
    static char *argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
    static FakeServer *server = [] {
        auto *s = new FakeServer(kTls ? FakeServer::Tls : FakeServer::Plain);
        s->setDefaultScript([](FakeConn &c) {
            while (!c.readLine(2000).isEmpty()) {
            }
            QByteArray play;
            {
                QMutexLocker lock(&g_lock);
                play = g_play;
            }
            c.write(play);
            c.close();
        });
        return s;
    }();
    if (!server->ok())
        return 0;
    {
        QMutexLocker lock(&g_lock);
        g_play = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
    }
    const TSSLHttp http(kTls);
    const QString url = QStringLiteral("%1://127.0.0.1:%2/linkX?opr=clientconfig&userid=1")
                            .arg(kTls ? QStringLiteral("https") : QStringLiteral("http"))
                            .arg(server->port());
    QByteArray body;
    QString error;
    const bool ok = http.Get(url, 1000, &body, &error, kMaxBody);
    if ((ok && body.size() > kMaxBody) || (!ok && error.isEmpty()))
        std::abort();
    return 0;
}
