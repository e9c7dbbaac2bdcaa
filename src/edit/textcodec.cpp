#include "edit/textcodec.h"

#include "core/ansicodec.h"
#include "core/textfile.h"

#include <QHash>
#include <QStringDecoder>

QString TextEncodingName(TTextEncoding e)
{
    switch (e) {
    case TTextEncoding::Ansi: return QStringLiteral("ANSI");
    case TTextEncoding::Utf8: return QStringLiteral("UTF-8");
    case TTextEncoding::Utf8Bom: return QStringLiteral("UTF-8 BOM");
    case TTextEncoding::Utf16LE: return QStringLiteral("UTF-16LE");
    }
    return {};
}

namespace {

QString decodeWith(TTextEncoding e, const QByteArray &bytes)
{
    switch (e) {
    case TTextEncoding::Ansi:
        return AnsiToText(bytes);
    case TTextEncoding::Utf8:
    case TTextEncoding::Utf8Bom: {
        // Each line is decoded alone: a U+FEFF starting a line is text there, not a mark to drop.
        QStringDecoder d(QStringConverter::Utf8, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
        return d.decode(bytes);
    }
    case TTextEncoding::Utf16LE: {
        QStringDecoder d(QStringConverter::Utf16LE, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
        return d.decode(bytes);
    }
    }
    return {};
}

} // namespace

TTextFileCodec TTextFileCodec::Read(const QByteArray &bytes)
{
    TTextFileCodec c;
    c.m_original = bytes;
    QByteArray body = bytes;
    // A mark is honoured even in a tiny file: reading it as ANSI would turn it into text.
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        c.m_encoding = TTextEncoding::Utf8Bom;
        c.m_bom = bytes.left(3);
    } else if (bytes.startsWith("\xFF\xFE")) {
        c.m_encoding = TTextEncoding::Utf16LE;
        c.m_bom = bytes.left(2);
    } else if (bytes.size() < 5) {
        c.m_encoding = TTextEncoding::Ansi;
    } else {
        c.m_encoding = IsValidUtf8(bytes) ? TTextEncoding::Utf8 : TTextEncoding::Ansi;
    }
    body = bytes.mid(c.m_bom.size());

    // Split at CR LF, LF or CR in code units (two bytes each in UTF-16LE); neither
    // GBK nor UTF-8 uses those bytes inside a character.
    const int unit = c.m_encoding == TTextEncoding::Utf16LE ? 2 : 1;
    auto at = [&](qsizetype i) -> char16_t {
        if (unit == 1)
            return char16_t(quint8(body.at(i)));
        return char16_t(quint8(body.at(i)) | quint8(body.at(i + 1)) << 8);
    };
    const qsizetype units = body.size() / unit;
    QHash<QString, int> endings;
    qsizetype start = 0;
    for (qsizetype i = 0; i < units; ++i) {
        const char16_t ch = at(i * unit);
        if (ch != u'\n' && ch != u'\r')
            continue;
        qsizetype end = i + 1;
        QString ending = ch == u'\n' ? QStringLiteral("\n") : QStringLiteral("\r");
        if (ch == u'\r' && i + 1 < units && at((i + 1) * unit) == u'\n') {
            end = i + 2;
            ending = QStringLiteral("\r\n");
        }
        const QByteArray content = body.mid(start * unit, (i - start) * unit);
        c.m_lines << Line{body.mid(start * unit, (end - start) * unit), decodeWith(c.m_encoding, content)};
        ++endings[ending];
        start = end;
        i = end - 1;
    }
    // The last line has no ending (empty when the file ends with one); an odd byte stays with it.
    const QByteArray rest = body.mid(start * unit);
    c.m_lines << Line{rest, decodeWith(c.m_encoding, rest)};

    // New lines get the file's own ending; a file without any gets the system's CR LF.
    c.m_dominantEnding = QStringLiteral("\r\n");
    int best = 0;
    for (auto it = endings.cbegin(); it != endings.cend(); ++it)
        if (it.value() > best) {
            best = it.value();
            c.m_dominantEnding = it.key();
        }
    QStringList contents;
    for (const Line &l : std::as_const(c.m_lines))
        contents << l.Content;
    c.m_text = contents.join(u'\n');
    return c;
}

QByteArray TTextFileCodec::encode(const QString &text) const
{
    switch (m_encoding) {
    case TTextEncoding::Ansi:
        return AnsiFromText(text);
    case TTextEncoding::Utf8:
    case TTextEncoding::Utf8Bom:
        return text.toUtf8();
    case TTextEncoding::Utf16LE: {
        QStringEncoder e(QStringConverter::Utf16LE, QStringConverter::Flag::Stateless);
        return e.encode(text);
    }
    }
    return {};
}

QByteArray TTextFileCodec::newLine() const
{
    return encode(m_dominantEnding);
}

QByteArray TTextFileCodec::Write(const QString &editedText) const
{
    if (editedText == m_text)
        return m_original;
    const QStringList edited = editedText.split(u'\n');
    const qsizetype n = m_lines.size();
    const qsizetype m = edited.size();
    // Lines equal at the head and at the tail keep their bytes; only the middle is written anew.
    qsizetype head = 0;
    while (head < n && head < m && m_lines.at(head).Content == edited.at(head)
           && (head + 1 < n) == (head + 1 < m))
        ++head;
    qsizetype tail = 0;
    while (tail < n - head && tail < m - head && m_lines.at(n - 1 - tail).Content == edited.at(m - 1 - tail))
        ++tail;

    QByteArray out = m_bom;
    for (qsizetype i = 0; i < head; ++i)
        out += m_lines.at(i).Raw;
    // A bare CR ending followed by a line that is only an LF would read back as one
    // CR LF ending, losing a line: such a meeting gets CR LF on the line written anew.
    const QByteArray cr = encode(QStringLiteral("\r"));
    const QByteArray lf = encode(QStringLiteral("\n"));
    auto tailStartsWithLf = [&] { return tail > 0 && m_lines.at(n - tail).Raw.startsWith(lf); };
    if (head == m - tail && out.endsWith(cr) && tailStartsWithLf())
        --tail;  // that empty line is written anew instead
    for (qsizetype k = head; k < m - tail; ++k) {
        const QByteArray content = encode(edited.at(k));
        out += content;
        if (k + 1 < m) {
            QByteArray ending = newLine();
            if ((content.isEmpty() && out.endsWith(cr) && ending.startsWith(lf))
                || (ending == cr && k + 1 == m - tail && tailStartsWithLf()))
                ending = encode(QStringLiteral("\r\n"));
            out += ending;
        }
    }
    for (qsizetype k = m - tail; k < m; ++k)
        out += m_lines.at(k - m + n).Raw;
    return out;
}

bool TTextFileCodec::CanHold(const QString &text) const
{
    if (m_encoding != TTextEncoding::Ansi)
        return true;
    return AnsiToText(AnsiFromText(text)) == text;
}

QByteArray TTextFileCodec::WriteAs(const QString &editedText, TTextEncoding encoding) const
{
    TTextFileCodec c = *this;
    c.m_encoding = encoding;
    QByteArray out = encoding == TTextEncoding::Utf8Bom ? QByteArray("\xEF\xBB\xBF")
                     : encoding == TTextEncoding::Utf16LE ? QByteArray("\xFF\xFE")
                                                          : QByteArray();
    const QStringList lines = editedText.split(u'\n');
    for (qsizetype k = 0; k < lines.size(); ++k) {
        out += c.encode(lines.at(k));
        if (k + 1 < lines.size())
            out += c.newLine();
    }
    return out;
}
