#include "core/memberpowers.h"

#include "core/folders.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/textfile.h"

namespace {
QStringList &disabled()
{
    static QStringList list;
    return list;
}
} // namespace

void LoadDisabledPowers()
{
    // Without the server's tools the name is relative: the working folder. The file
    // can only take permissions away, so honouring it there cannot widen them.
    SetDisabledPowers(SplitByChar(GetTagValue(ReadTextFile(GetServerToolsFolder() + QLatin1String("cof_custom.sys")),
                                              QStringLiteral("ForbidPower")),
                                  u','));
}

void SetDisabledPowers(const QStringList &entries)
{
    disabled() = entries;
}

bool IsPowerForbidden(int n)
{
    for (const QString &e : disabled())
        if (StrToIntDef(e, 0) == n)
            return true;
    return false;
}

THS_MemberPowers ParseMemberPowers(const QString &text)
{
    THS_MemberPowers p;
    if (!text.contains(QLatin1String("v3"))) {
        for (int n = 0; n <= 63; ++n) {
            if (IsPowerForbidden(n))
                continue;
            const QString entry = QStringLiteral("[%1]Y[/%1]").arg(n);
            if (text.contains(entry))
                p.set(n);
        }
        return p;
    }
    const qsizetype last = std::min<qsizetype>(text.size(), 108);
    for (qsizetype n = 21; n <= last; ++n)
        if (text.at(n - 1) == u'1' && !IsPowerForbidden(int(n)))
            p.set(int(n));
    return p;
}
