// The text editor's file: the encoding detected from the bytes, and the save
// that must keep every line the user left alone byte for byte. The input is the
// file; its first line, when the file has more than one, says which line the
// "user" changes and to what.
#include "edit/textcodec.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

bool sameLinesRead(const TTextFileCodec &codec, const QByteArray &saved, const QString &edited)
{
    const TTextFileCodec again = TTextFileCodec::Read(saved);
    // Short or re-detected files may read in another encoding: that is detection, not the save.
    return again.Encoding() != codec.Encoding() || again.Text() == edited;
}

// Bytes of the mark and the first lines lines with their endings, split as the editor splits.
qsizetype headBytes(const QByteArray &bytes, TTextEncoding e, qsizetype lines)
{
    qsizetype pos = e == TTextEncoding::Utf8Bom ? 3 : e == TTextEncoding::Utf16LE ? 2 : 0;
    const qsizetype unit = e == TTextEncoding::Utf16LE ? 2 : 1;
    auto at = [&](qsizetype i) {
        return unit == 1 ? char16_t(quint8(bytes.at(i))) : char16_t(quint8(bytes.at(i)) | quint8(bytes.at(i + 1)) << 8);
    };
    for (qsizetype done = 0; done < lines && pos + unit <= bytes.size(); pos += unit) {
        const char16_t c = at(pos);
        if (c == u'\r' && pos + 2 * unit <= bytes.size() && at(pos + unit) == u'\n')
            pos += unit;
        if (c == u'\r' || c == u'\n')
            ++done;
    }
    return pos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const TTextFileCodec codec = TTextFileCodec::Read(bytes);
    const QString text = codec.Text();
    if (codec.Write(text) != bytes)
        std::abort();  // nothing changed: the very same bytes

    QStringList lines = text.split(u'\n');
    if (lines.size() < 2)
        return 0;
    // The change: a line chosen by the first character replaced by the text after
    // it, or removed, or a new line put in.
    const QString first = lines.first();
    const int op = first.isEmpty() ? 0 : first.at(0).unicode() % 3;
    const qsizetype at = first.isEmpty() ? 0 : (first.at(0).unicode() / 3) % lines.size();
    const QString replacement = first.mid(1);
    QStringList edited = lines;
    switch (op) {
    case 0: edited[at] = replacement; break;
    case 1: edited.removeAt(at); break;
    default: edited.insert(at, replacement); break;
    }
    const QString editedText = edited.join(u'\n');
    if (!codec.CanHold(editedText))
        return 0;
    const QByteArray saved = codec.Write(editedText);
    if (!sameLinesRead(codec, saved, editedText)) {
        fprintf(stderr, "saved %s\nreads %s\nwanted %s\n", saved.toHex(' ').constData(),
                qPrintable(TTextFileCodec::Read(saved).Text().toUtf8().toHex(' ')), qPrintable(editedText.toUtf8().toHex(' ')));
        std::abort();
    }  // the saved file reads as the text that was saved
    // Lines before the change keep their bytes (a line that became the last one loses its ending).
    const qsizetype kept = op == 1 && at == lines.size() - 1 ? at - 1 : at;
    const qsizetype head = headBytes(bytes, codec.Encoding(), kept);
    if (saved.left(head) != bytes.left(head))
        std::abort();
    // Unpaired surrogates (read from broken UTF-16) have no UTF-8 form at all.
    const bool utf8Can = QString::fromUtf8(editedText.toUtf8()) == editedText;
    for (TTextEncoding e : {TTextEncoding::Utf8, TTextEncoding::Utf8Bom, TTextEncoding::Utf16LE}) {
        if (e != TTextEncoding::Utf16LE && !utf8Can)
            continue;
        const QByteArray converted = codec.WriteAs(editedText, e);
        const TTextFileCodec back = TTextFileCodec::Read(converted);
        if (back.Encoding() == e && back.Text() != editedText)
            std::abort();  // a conversion keeps the text
    }
    return 0;
}
