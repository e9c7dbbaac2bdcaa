#include "web/webcommand.h"

#include "core/helpers.h"
#include "core/tagtext.h"

void TWebCommand::Add(const TWebCmd &cmd)
{
    QMutexLocker lock(&FLock);
    FList.append(cmd);
}

bool TWebCommand::Pop(TWebCmd &cmd)
{
    QMutexLocker lock(&FLock);
    if (FList.isEmpty())
        return false;
    cmd = FList.takeFirst();
    return true;
}

bool TWebCommand::IsEmpty() const
{
    QMutexLocker lock(&FLock);
    return FList.isEmpty();
}

TWebCmd ParseWebCmdText(const QString &text)
{
    TWebCmd c;
    const int code = StrToIntDef(GetTagValue(text, QStringLiteral("Code")), 0);
    c.Code = code < 0 ? 0u : unsigned(code);
    c.Cmd = GetTagValue(text, QStringLiteral("Cmd"));
    return c;
}
