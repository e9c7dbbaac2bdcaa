#include "core/helpers.h"

#include "core/ansicodec.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QStringList>

namespace {

template <typename T>
T parseStrict(QStringView text, T def)
{
    qsizetype i = 0;
    bool neg = false;
    if (i < text.size() && (text.at(i) == u'-' || text.at(i) == u'+')) {
        neg = text.at(i) == u'-';
        ++i;
    }
    if (i >= text.size())
        return def;
    // Accumulate negatively so the minimum value parses without overflow.
    const T minV = std::numeric_limits<T>::min();
    T v = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return def;
        const T d = T(c - u'0');
        if (v < (minV + d) / 10)
            return def;
        v = T(v * 10 - d);
    }
    if (!neg) {
        if (v == minV)
            return def;
        v = T(-v);
    }
    return v;
}

bool isAscii(const QString &text)
{
    for (QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

// Feeds the bytes a name hashes by: ASCII letters lowered (the same bytes as in
// the ANSI code page, so no converter and no copy for them, as index scans hash
// every path), other text as the ANSI bytes of its lowered form.
template <typename Feed>
void forHashBytes(const QString &text, Feed feed)
{
    if (isAscii(text)) {
        for (QChar c : text) {
            const char16_t v = c.unicode();
            feed(quint8(v >= u'A' && v <= u'Z' ? v + 32 : v));
        }
        return;
    }
    QString lowered = text;
    for (QChar &c : lowered) {
        const char16_t v = c.unicode();
        if (v >= u'A' && v <= u'Z')
            c = QChar(char16_t(v + 32));
    }
    for (char b : AnsiFromText(lowered))
        feed(quint8(b));
}

} // namespace

int HexDigitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

qint32 StrToIntDef(const QString &text, qint32 def)
{
    return parseStrict<qint32>(text, def);
}

qint64 StrToInt64Def(const QString &text, qint64 def)
{
    return parseStrict<qint64>(text, def);
}

qint32 StrToIntDef(QStringView text, qint32 def)
{
    return parseStrict<qint32>(text, def);
}

qint64 StrToInt64Def(QStringView text, qint64 def)
{
    return parseStrict<qint64>(text, def);
}

quint32 IpToInteger(const QString &text)
{
    const QString t = text.trimmed();
    if (t.count(u'.') != 3)
        return 0;
    quint32 out = 0;
    for (const QString &part : t.split(u'.')) {
        qint32 n = StrToIntDef(part, 0);
        if (n < 0 || n > 255)
            return 0;
        out = (out << 8) | quint32(n);
    }
    return out;
}

bool IsValidEmail(const QString &text)
{
    if (text.isEmpty())
        return false;
    static const QString allowed = QStringLiteral("$%'+-./0123456789@ABCDEFGHIJKLMNOPQRSTUVWXYZ_"
                                                  "abcdefghijklmnopqrstuvwxyz");
    for (QChar c : text)
        if (!allowed.contains(c))
            return false;
    const qsizetype at = text.indexOf(u'@');
    if (at < 0)
        return false;
    const QString local = text.left(at);
    const QString domain = text.mid(at + 1);
    if (local.size() < 1 || local.size() > 64 || local.startsWith(u'.') || local.endsWith(u'.')
        || local.contains(QLatin1String("..")))
        return false;
    if (domain.size() < 1 || domain.size() > 256 || domain.startsWith(u'.') || domain.endsWith(u'.')
        || domain.contains(u'@') || domain.contains(QLatin1String("..")))
        return false;
    const qsizetype lastDot = domain.lastIndexOf(u'.');
    if (lastDot < 0 || lastDot + 1 >= domain.size())
        return false;
    const QStringList labels = domain.left(lastDot).split(u'.');
    for (const QString &l : labels)
        if (l.startsWith(u'-') || l.endsWith(u'-'))
            return false;
    return true;
}

QString FormatFileVersion(const QString &fileName, const QString &pattern)
{
    if (!fileName.isEmpty())
        return {};
    QStringList parts = QStringLiteral(ZUDIVUVO_VERSION).split(u'.');
    while (parts.size() < 4)
        parts << QStringLiteral("0");
    QString out = pattern;
    for (int i = 0; i < 4; ++i) {
        const qsizetype at = out.indexOf(QLatin1String("%d"));
        if (at < 0)
            break;
        out.replace(at, 2, QString::number(StrToIntDef(parts.at(i), 0) & 0xFFFF));
    }
    return out;
}

bool SetFileWriteTime(const QString &fileName, const QDateTime &localTime)
{
    if (!localTime.isValid())
        return false;
    QFile f(fileName);
    if (!f.exists() || !f.open(QIODevice::ReadWrite))
        return false;
    return f.setFileTime(localTime.toUTC(), QFileDevice::FileModificationTime);
}

QString EncodeHexUtf8(const QString &text)
{
    return QLatin1String("%_") + QString::fromLatin1(text.toUtf8().toHex().toUpper()) + QLatin1String("_%");
}

std::optional<QString> DecodeHexUtf8(const QString &text)
{
    if (text.size() <= 4 || !text.startsWith(QLatin1String("%_")) || !text.endsWith(u'%'))
        return text;
    const qsizetype pairs = (text.size() - 4) / 2;
    QByteArray bytes;
    bytes.reserve(pairs);
    for (qsizetype i = 0; i < pairs; ++i) {
        const QChar hi = text.at(2 + 2 * i);
        const QChar lo = text.at(3 + 2 * i);
        if (HexDigitValue(hi) < 0 || HexDigitValue(lo) < 0)
            return std::nullopt;
        bytes += char(text.mid(2 + 2 * i, 2).toUInt(nullptr, 16));
    }
    return QString::fromUtf8(bytes);
}

QString GetSystemLanguageName()
{
    return QLocale::system().nativeLanguageName();
}

quint32 NameHash32(const QString &text)
{
    quint32 h = 0;
    quint32 s = 0;
    forHashBytes(text, [&](quint32 c) {
        h = (h << 4) + c;
        const quint32 g = h & 0xF0000000u;
        h = (h ^ (g >> 24)) & ~g;
        s += c;
    });
    return h + s;
}

quint64 PathHash64(const QString &text)
{
    quint64 h = 0;
    quint64 s = 0;
    forHashBytes(text, [&](quint64 c) {
        h = (h << 4) + c;
        const quint64 g = h & 0xFF00000000000000ull;
        h = (h ^ (g >> 56)) & ~g;
        s += c;
    });
    return h + s;
}
