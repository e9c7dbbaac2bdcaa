// Permission texts under a fuzzed list of locally disabled permissions, and the
// one helper that joins untrusted names to local folders.
// Input: first line the disabled list, second line a name or path, the rest a
// permission text.
#include "core/memberpowers.h"
#include "core/safepath.h"
#include "core/tagtext.h"
#include "core/textfile.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static const QString base = QDir(dir.path()).canonicalPath();

    const QString text = DecodeTextBytes(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    const QStringList parts = text.split(u'\n');
    SetDisabledPowers(SplitByChar(parts.value(0), u','));
    const QString name = parts.value(1);
    const QString powers = parts.mid(2).join(u'\n');

    const THS_MemberPowers p = ParseMemberPowers(powers);
    const bool v3 = powers.contains(QLatin1String("v3"));
    for (int n = 0; n < 112; ++n) {
        if (!p.has(n))
            continue;
        if (IsPowerForbidden(n) || (v3 ? (n < 21 || n > 108) : n > 63))
            std::abort();
    }

    QString error;
    const std::optional<QString> joined = SafeJoin(base, name, &error);
    if (joined) {
        // Strictly inside the folder, already clean, no way up.
        if (!joined->startsWith(base + u'/') || QDir::cleanPath(*joined) != *joined
            || joined->split(u'/').contains(QLatin1String("..")))
            std::abort();
    } else if (error.isEmpty()) {
        std::abort();   // a refusal always says why
    }
    if (IsSafeFileName(name) && !SafeJoin(base, name))
        std::abort();   // one safe component is always accepted
    return 0;
}
