#pragma once
// A mail message (or web archive) read with GMime: the header lines our viewer
// shows, the body as HTML or text, and the attachments by name. Nothing in it
// is ever run. GMime lives in a plugin loaded at the first mail file.
#include <QByteArray>
#include <QList>
#include <QString>

struct TEmlAttachment {
    QString Name;
    QByteArray Data;
};

struct TEmlMessage {
    bool Ok = false;
    QString Date;
    QString To;
    QString From;
    QString Cc;
    QString Subject;
    QString Html;   // the HTML body when there is one
    QString Text;   // else the plain text body
    QList<TEmlAttachment> Attachments;
    QString Charset;

    // Reads at most this much; larger files are refused.
    static constexpr qint64 kMaxBytes = 64 * 1024 * 1024;
    // Not Ok when the message cannot be read or the mail plugin is missing.
    static TEmlMessage Parse(const QByteArray &bytes);
    static TEmlMessage ParseFile(const QString &path);
};

// The character set named after "charset=" in the first 4096 bytes, upper-cased.
QString FindCharset(const QByteArray &bytes);

// The one entry point the mail plugin exports: fills *out (all but Charset)
// and says whether a message was read. Another interface version answers
// false, so an old plugin beside a new client is refused.
using TEmlParseFn = bool (*)(int interfaceVersion, const QByteArray &bytes, TEmlMessage *out);
inline constexpr char kEmlParseSymbol[] = "zudivuvo_eml_parse";
inline constexpr int kEmlParseInterfaceVersion = 1;
inline constexpr char kMailParsePluginName[] = "zudivuvo_mailparse";
