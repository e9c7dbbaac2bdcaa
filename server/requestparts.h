#pragma once
// What the request handlers of every area share: reply statuses, tag readers
// and the texts of result codes.
#include "requesthandler.h"

#include "core/helpers.h"
#include "core/resultcodes.h"
#include "core/tagtext.h"

namespace requestparts {
constexpr quint8 kOk = 80;     // "P"
constexpr quint8 kText = 60;   // "<"
constexpr quint8 kLogin = 86;  // "V"
constexpr quint8 kNoUnread = 78;

inline Reply code(int value, quint8 status = kOk)
{
    return Reply{status, QString::number(value), 0};
}

inline bool tagBool(const QString &text, const QString &tag)
{
    const QString v = GetTagValue(text, tag).toLower();
    return v == QLatin1String("true") || v == QLatin1String("1") || v == QLatin1String("-1");
}

inline qint64 tagInt64(const QString &text, const QString &tag)
{
    return StrToInt64Def(GetTagValue(text, tag), 0);
}

inline int langOf(const QString &text)
{
    const int lang = StrToIntDef(GetTagValue(text, QStringLiteral("language")), 0);
    return lang == 1 || lang == 2 ? lang : -1;
}

inline QString ResultCodeTextFor(int rc, int lang)
{
    const QString text = ResultCodeText(rc, lang == 1 ? HSL_ENG : HSL_CN);
    return text.isEmpty() ? QString::number(rc) : text;
}

// Owner names head the client's local paths: keep them usable as a folder name.
inline QString pathSafeName(QString name)
{
    for (QChar &c : name) {
        if (c.unicode() < 32 || QStringLiteral("\\/:*?\"<>|").contains(c))
            c = u'_';
    }
    return name.isEmpty() ? QStringLiteral("_") : name;
}

inline QString relativeFolderPath(const QList<FolderInfo> &chain)
{
    QString path;
    for (const FolderInfo &f : chain)
        path += f.name + u'/';
    return path;
}
} // namespace requestparts
