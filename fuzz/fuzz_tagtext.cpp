// Tag text, list splitters and text decoding fed with arbitrary bytes.
#include "core/aes.h"
#include "core/tagtext.h"
#include "core/textfile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = DecodeTextBytes(bytes);
    const qsizetype cut = text.indexOf(u'\n');
    const QString tag = cut > 0 ? text.left(std::min<qsizetype>(cut, 16)) : QStringLiteral("Cmd");
    const QString value = GetTagValue(text, tag, true);
    Q_ASSERT(value.size() <= text.size());
    const bool plainName = !tag.contains(u'[') && !tag.contains(u']');
    if (plainName && TTagIndex(text).Value(tag) != value)
        std::abort();   // the one-pass reader must answer as the lookup does
    QString copy = text;
    SetTagValue(tag, value, copy);
    if (plainName && GetTagValue(copy, tag) != value)
        std::abort();   // a set value reads back, stray opening tags included
    if (!GetTagValue(copy, tag, false).isNull())
        (void)GetTagValue(copy, tag, false).size();
    (void)SplitByText(text, QStringLiteral(","));
    (void)SplitByChar(text, u';');
    (void)SplitIntegers(text, u',');
    (void)SplitInt64s(text, u'*');
    (void)IsValidUtf8(bytes);
    (void)DecryptWithAppKey(text, AKS_128);
    return 0;
}
