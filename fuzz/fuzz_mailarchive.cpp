// Mail messages and web archives as a server or a sender may hand them to the
// preview: read with GMime into the headers, the body and the attachments.
#include "preview/emlmessage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// The mail plugin's entry point, linked in directly: the fuzzer drives the parser itself.
extern "C" bool zudivuvo_eml_parse(int interfaceVersion, const QByteArray &bytes, TEmlMessage *out);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    TEmlMessage m;
    zudivuvo_eml_parse(kEmlParseInterfaceVersion, bytes, &m);
    (void)FindCharset(bytes);
    if (m.Attachments.size() > 500)
        std::abort();  // a message of many parts lists a bounded number
    // Decoding only shrinks: what the message yields is bounded by what it holds.
    qint64 total = 0;
    for (const TEmlAttachment &a : m.Attachments) {
        if (a.Name.isEmpty())
            std::abort();  // every attachment has a name to show and save under
        total += a.Data.size();
    }
    total += m.Html.size() + m.Text.size();
    if (total > 2 * qint64(size) + 4096)
        std::abort();
    return 0;
}
