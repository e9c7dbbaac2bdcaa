// The framed requests that change the store (folders, descriptions, locks,
// deletes, messages, remarks, logins), with the demo user's valid session and
// fuzzed request texts. Runs share one store, so later inputs meet what earlier ones made.
#include "fuzzstore.h"
#include "requesthandler.h"

#include "core/aes.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    static const quint8 codes[] = {41, 50, 53, 54, 74, 75, 76, 79, 84, 108, 142, 144, 66, 63};
    FramedRequest request;
    request.head.TranType = codes[data[0] % (sizeof codes)];
    request.head.FreeInt = data[1] % 8;
    const bool withSession = !(data[2] & 0x80);
    QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 3), qsizetype(size - 3));
    if (data[2] & 0x40) {
        // Request 54 protects its key: give the fuzzer a well-formed one now and then.
        text += QStringLiteral("[Key]%1[/Key]").arg(EncryptWithAppKey(QString::number(5000 + data[2] % 20), AKS_256));
    }
    request.text = withSession ? QStringLiteral("[EncryptCode]%1[/EncryptCode]").arg(fuzzToken()) + text : text;
    const Reply reply = RequestHandler(fuzzStore()).handle(request);
    (void)encodeReply(reply.status, reply.body, reply.freeInt);
    return 0;
}
