#include "core/tagtext.h"

#include "core/helpers.h"

namespace {

QString asciiUpper(const QString &s)
{
    QString u = s;
    for (QChar &c : u) {
        const char16_t v = c.unicode();
        if (v >= u'a' && v <= u'z')
            c = QChar(char16_t(v - 32));
    }
    return u;
}

struct TagSpan {
    qsizetype open = -1;   // index of "[" of the opening tag
    qsizetype close = -1;  // index of "[" of the closing tag
};

TagSpan findTag(const QString &text, const QString &tag)
{
    TagSpan s;
    if (text.isEmpty())
        return s;
    const QString u = asciiUpper(text);
    const QString t = asciiUpper(tag);
    const qsizetype b = u.indexOf(QLatin1Char('[') + t + QLatin1Char(']'));
    if (b < 0)
        return s;
    const qsizetype e = u.indexOf(QLatin1String("[/") + t + QLatin1Char(']'), b);
    if (e <= b)
        return s;
    s.open = b;
    s.close = e;
    return s;
}

QString dropFinal(const QString &text, QChar ch)
{
    return text.endsWith(ch) ? text.left(text.size() - 1) : text;
}

} // namespace

QString TrimCtl(const QString &text)
{
    qsizetype b = 0;
    qsizetype e = text.size();
    while (b < e && text.at(b).unicode() <= 32)
        ++b;
    while (e > b && text.at(e - 1).unicode() <= 32)
        --e;
    return text.mid(b, e - b);
}

QString GetTagValue(const QString &text, const QString &tag, bool trimValue)
{
    const TagSpan s = findTag(text, tag);
    if (s.open < 0)
        return {};
    const qsizetype from = s.open + tag.size() + 2;
    if (from > s.close)
        return {};
    const QString v = text.mid(from, s.close - from);
    return trimValue ? TrimCtl(v) : v;
}

void SetTagValue(const QString &tag, const QString &value, QString &text)
{
    const QString entry = QLatin1Char('[') + tag + QLatin1Char(']') + value + QLatin1String("[/") + tag
                          + QLatin1Char(']');
    const TagSpan s = findTag(text, tag);
    if (s.open < 0) {
        text += entry + QLatin1String("\r\n");
        return;
    }
    const qsizetype end = s.close + tag.size() + 3;
    text.replace(s.open, end - s.open, entry);
}

QStringList SplitByText(const QString &text, const QString &separator)
{
    QStringList out;
    if (text.isEmpty())
        return out;
    if (separator.isEmpty())
        return {text};
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = text.indexOf(separator, from);
        if (at < 0)
            break;
        out << text.mid(from, at - from);
        from = at + separator.size();
    }
    if (from < text.size())
        out << text.mid(from);
    return out;
}

QStringList SplitByChar(const QString &text, QChar ch)
{
    QStringList out;
    const QStringList parts = dropFinal(text, ch).split(ch);
    for (const QString &p : parts) {
        const QString t = TrimCtl(p);
        if (!t.isEmpty())
            out << t;
    }
    return out;
}

QList<qint32> SplitIntegers(const QString &text, QChar ch)
{
    QList<qint32> out;
    for (const QString &p : SplitByText(dropFinal(text, ch), QString(ch)))
        out << StrToIntDef(p, 0);
    return out;
}

QList<qint64> SplitInt64s(const QString &text, QChar ch)
{
    QList<qint64> out;
    for (const QString &p : SplitByText(dropFinal(text, ch), QString(ch)))
        out << StrToInt64Def(p, 0);
    return out;
}
