#include "core/tagtext.h"

#include "core/helpers.h"

namespace {

char16_t asciiUpper(char16_t v)
{
    return v >= u'a' && v <= u'z' ? char16_t(v - 32) : v;
}

// True when text at `at` holds "[" + slash + tag + "]", names compared ignoring ASCII case.
bool tagTokenAt(QStringView text, qsizetype at, bool closing, QStringView tag)
{
    const qsizetype inner = at + 1 + (closing ? 1 : 0);
    if (inner + tag.size() >= text.size())
        return false;
    if (closing && text[at + 1] != u'/')
        return false;
    if (text[inner + tag.size()] != u']')
        return false;
    for (qsizetype i = 0; i < tag.size(); ++i)
        if (asciiUpper(text[inner + i].unicode()) != asciiUpper(tag[i].unicode()))
            return false;
    return true;
}

// Position of the first "[tag]" (or "[/tag]") at or after `from`; no copy of the text,
// so a lookup costs one scan of it.
qsizetype findTagToken(QStringView text, qsizetype from, bool closing, QStringView tag)
{
    for (qsizetype at = text.indexOf(u'[', from); at >= 0; at = text.indexOf(u'[', at + 1))
        if (tagTokenAt(text, at, closing, tag))
            return at;
    return -1;
}

struct TagSpan {
    qsizetype open = -1;   // index of "[" of the opening tag
    qsizetype close = -1;  // index of "[" of the closing tag
};

TagSpan findTag(QStringView text, QStringView tag)
{
    TagSpan s;
    if (text.isEmpty())
        return s;
    s.open = findTagToken(text, 0, false, tag);
    if (s.open >= 0)
        s.close = findTagToken(text, s.open, true, tag);
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
    if (s.open < 0 || s.close < 0)
        return {};
    const qsizetype from = s.open + tag.size() + 2;
    if (from > s.close)
        return {};
    const QString v = text.mid(from, s.close - from);
    return trimValue ? TrimCtl(v) : v;
}

bool TagValueFits(const QString &value, const QString &tag)
{
    return findTagToken(value, 0, true, tag) < 0;
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
    // An opening tag without its closing tag would pair with the closing tag of an
    // appended entry, and the key could never change again: the entry replaces it.
    const qsizetype end = s.close >= 0 ? s.close + tag.size() + 3 : s.open + tag.size() + 2;
    text.replace(s.open, end - s.open, entry);
}

TTagIndex::TTagIndex(const QString &text, QStringView prefix)
    : m_text(text)
{
    // One pass over the tokens "[name]" in order: a name's first opening tag, and the
    // first closing tag after it, exactly the pair GetTagValue takes.
    const QStringView t(m_text);
    qsizetype end = -1;   // the first "]" after the current "[", kept while it stays ahead
    for (qsizetype at = t.indexOf(u'['); at >= 0;) {
        if (end <= at)
            end = t.indexOf(u']', at + 1);
        if (end < 0)
            break;
        const qsizetype nextOpen = t.indexOf(u'[', at + 1);
        if (nextOpen >= 0 && nextOpen < end) {
            at = nextOpen;   // a name holds no "["
            continue;
        }
        const QStringView name = t.sliced(at + 1, end - at - 1);
        if (name.startsWith(u'/')) {
            const QStringView closed = name.sliced(1);
            if (hasPrefix(closed, prefix)) {
                const auto it = m_spans.find(key(closed));
                if (it != m_spans.end() && it->second.close < 0)
                    it->second.close = at;
            }
        }
        if (hasPrefix(name, prefix))
            m_spans.try_emplace(key(name), Span{at, -1});
        at = nextOpen;
    }
}

QString TTagIndex::Value(QStringView tag, bool trimValue) const
{
    const auto it = m_spans.find(key(tag));
    if (it == m_spans.end() || it->second.close < 0)
        return {};
    const qsizetype from = it->second.open + tag.size() + 2;
    const QString v = m_text.mid(from, it->second.close - from);
    return trimValue ? TrimCtl(v) : v;
}

bool TTagIndex::hasPrefix(QStringView name, QStringView prefix)
{
    if (name.size() < prefix.size())
        return false;
    for (qsizetype i = 0; i < prefix.size(); ++i)
        if (asciiUpper(name[i].unicode()) != asciiUpper(prefix[i].unicode()))
            return false;
    return true;
}

std::u16string TTagIndex::key(QStringView name)
{
    std::u16string k(size_t(name.size()), u'\0');
    for (qsizetype i = 0; i < name.size(); ++i)
        k[size_t(i)] = asciiUpper(name[i].unicode());
    return k;
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
