#pragma once
#include <QByteArray>
#include <QString>

constexpr qint64 kMaxTextFileBytes = 64 * 1024 * 1024;

// Empty for a missing or empty file. Files under 5 bytes are ANSI, except FF FE and one
// UTF-16LE character; otherwise EF BB BF means UTF-8, FF FE means UTF-16LE, else ANSI.
QString ReadTextFile(const QString &path);
QString DecodeTextBytes(const QByteArray &bytes);
bool IsValidUtf8(const QByteArray &bytes);

// Both replace the file atomically (temporary file, then rename) and do nothing
// at all for empty content. On failure they return false and set *error.
bool WriteUnicodeTextFile(const QString &path, const QString &text, QString *error = nullptr,
                          bool privateFile = false);
bool WriteAnsiTextFile(const QString &path, const QByteArray &bytes, QString *error = nullptr);

// The one atomic whole-file write: a crash or a full disk never leaves the target cut.
bool WriteFileAtomic(const QString &path, const QByteArray &bytes, QString *error = nullptr,
                     bool privateFile = false);
