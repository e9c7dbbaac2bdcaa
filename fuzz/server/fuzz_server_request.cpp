// The reference server's parsers fed with arbitrary bytes: framed requests
// (answered against a seeded store), file-channel parameter lines and HTTP heads.
#include "httphandler.h"
#include "requesthandler.h"
#include "seed.h"
#include "store.h"
#include "wire.h"

#include <QCoreApplication>
#include <QSet>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {
Store &seededStore()
{
    static int argc = 1;
    static char name[] = "fuzz_server_request";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir dir;
    static bool ready = [] {
        QString error;
        if (!Store::initDataDir(dir.path(), &error))
            return false;
        Store s(dir.path());
        return seedDemo(s, &error);
    }();
    static Store store(dir.path());
    Q_UNUSED(ready);
    return store;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    BufferReader in(bytes);
    switch (data[0] % 3) {
    case 0: {
        FramedRequest request;
        if (readFramedRequest(in, request) == FrameResult::Ok) {
            // Only codes that read; writes would make runs depend on each other.
            static const QSet<int> readOnly{0, 22, 39, 40, 49, 52, 63, 64, 65, 66, 68, 69, 72, 77, 78, 90, 108, 109, 250};
            if (readOnly.contains(request.head.TranType))
                (void)RequestHandler(seededStore()).handle(request);
            (void)encodeReply(request.head.TranType, request.text);
        }
        break;
    }
    case 1: {
        qint32 op = 0;
        QByteArray line;
        if (in.readInt32(op) && in.readLine(line, kMaxParamLine))
            (void)decodeParamLine(line);
        break;
    }
    default: {
        QByteArray line;
        HttpRequest request;
        if (in.readLine(line, kMaxHttpLine) && readHttpRequest(in, line, request)) {
            (void)queryValue(request.query, "foldername");
            (void)queryValue(request.query, "uid");
        }
        break;
    }
    }
    return 0;
}
