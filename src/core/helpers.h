#pragma once
#include <QDateTime>
#include <QString>
#include <optional>

// Strict decimal: optional sign and digits only, in range; anything else gives def.
qint32 StrToIntDef(const QString &text, qint32 def);
qint64 StrToInt64Def(const QString &text, qint64 def);
// The same for a view into a larger text (reply parsers), without a copy.
qint32 StrToIntDef(QStringView text, qint32 def);
qint64 StrToInt64Def(QStringView text, qint64 def);

// 0-15 for a hexadecimal digit of either case, -1 otherwise.
int HexDigitValue(QChar c);

quint32 IpToInteger(const QString &text);
bool IsValidEmail(const QString &text);

// Pattern such as "%d.%d.%d.%d"; empty fileName is this program. Other programs'
// version resources do not exist on this platform and give the empty text.
QString FormatFileVersion(const QString &fileName, const QString &pattern);

// Sets only the last-write time; localTime is converted to UTC by QDateTime.
bool SetFileWriteTime(const QString &fileName, const QDateTime &localTime);

QString EncodeHexUtf8(const QString &text);
// Returns text unchanged unless it is wrapped as "%_...%"; nullopt for a pair that is not hex.
std::optional<QString> DecodeHexUtf8(const QString &text);

QString GetSystemLanguageName();

// Index hashes over the ANSI bytes with A-Z lowered, plus the plain byte sum.
quint32 NameHash32(const QString &text);
quint64 PathHash64(const QString &text);
