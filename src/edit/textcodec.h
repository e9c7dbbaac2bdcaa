#pragma once
// Reading and writing the text editor's file: the encoding is detected once and
// kept, and a save changes bytes only where the user changed text. Lines the
// user left alone keep their own bytes and line endings, so a file with mixed
// endings, a stray invalid byte or an unusual byte-order mark comes back as it was.
#include <QByteArray>
#include <QList>
#include <QString>

enum class TTextEncoding { Ansi, Utf8, Utf8Bom, Utf16LE };

QString TextEncodingName(TTextEncoding e);

class TTextFileCodec
{
public:
    // Files under 5 bytes without a byte-order mark are ANSI; otherwise a mark
    // decides, else valid UTF-8 is UTF-8 and anything else ANSI (GBK here).
    static TTextFileCodec Read(const QByteArray &bytes);

    TTextEncoding Encoding() const { return m_encoding; }
    // The text as the editor shows it: lines joined by "\n".
    QString Text() const { return m_text; }
    // The bytes to store for the edited text.
    QByteArray Write(const QString &editedText) const;
    // Whether the file's encoding can store every character of text (ANSI cannot store all).
    bool CanHold(const QString &text) const;
    // The whole text in another encoding, with its byte-order mark.
    QByteArray WriteAs(const QString &editedText, TTextEncoding encoding) const;

private:
    struct Line {
        QByteArray Raw;         // content and ending as read
        QString Content;
    };
    QByteArray encode(const QString &text) const;
    QByteArray newLine() const;

    TTextEncoding m_encoding = TTextEncoding::Ansi;
    QByteArray m_original;
    QByteArray m_bom;
    QList<Line> m_lines;
    QString m_text;
    QString m_dominantEnding;
};
