#include "core/textfile.h"

#include "core/ansicodec.h"

#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>

QString DecodeTextBytes(const QByteArray &bytes)
{
    const auto *b = reinterpret_cast<const uchar *>(bytes.constData());
    // One character written by WriteUnicodeTextFile is 4 bytes with its mark; other
    // short files stay ANSI whatever they start with.
    const bool utf16OneChar = bytes.size() == 4 && b[0] == 0xFF && b[1] == 0xFE;
    if (bytes.size() < 5 && !utf16OneChar)
        return AnsiToText(bytes);
    if (b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)
        return QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    if (b[0] == 0xFF && b[1] == 0xFE) {
        const qsizetype units = (bytes.size() - 2) / 2;
        QStringDecoder dec(QStringConverter::Utf16LE, QStringConverter::Flag::Stateless);
        return dec.decode(QByteArrayView(bytes.constData() + 2, units * 2));
    }
    return AnsiToText(bytes);
}

QString ReadTextFile(const QString &path)
{
    QFile f(path);
    if (path.isEmpty() || !f.open(QIODevice::ReadOnly))
        return {};
    // Sized to the file: reading with the cap as the size would reserve 64 MiB per call.
    if (!f.isSequential() && f.size() > 0)
        return DecodeTextBytes(f.read(qMin(f.size(), kMaxTextFileBytes)));
    QByteArray bytes;
    char chunk[65536];
    for (qint64 n; bytes.size() < kMaxTextFileBytes
                   && (n = f.read(chunk, qMin<qint64>(sizeof chunk, kMaxTextFileBytes - bytes.size()))) > 0;)
        bytes.append(chunk, qsizetype(n));
    return DecodeTextBytes(bytes);
}

bool IsValidUtf8(const QByteArray &bytes)
{
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const uchar c = uchar(bytes.at(i));
        int follow = 0;
        if (c < 0x80)
            follow = 0;
        else if (c >= 0xC0 && c <= 0xDF)
            follow = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            follow = 2;
        else if (c >= 0xF0 && c <= 0xF4)
            follow = 3;   // characters beyond the basic plane (emoji, rare CJK)
        else
            return false;  // 80-BF in lead position, or F5-FF
        ++i;
        for (int k = 0; k < follow; ++k, ++i) {
            if (i >= n)
                return true;  // cut off by the end of the data
            const uchar t = uchar(bytes.at(i));
            if (t < 0x80 || t > 0xBF)
                return false;
        }
    }
    return true;
}

bool WriteFileAtomic(const QString &path, const QByteArray &bytes, QString *error, bool privateFile)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(path, f.errorString());
        return false;
    }
    if (f.write(bytes) != bytes.size() || !f.commit()) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(path, f.errorString());
        f.cancelWriting();
        return false;
    }
    if (privateFile)
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

bool WriteUnicodeTextFile(const QString &path, const QString &text, QString *error, bool privateFile)
{
    if (text.isEmpty())
        return true;
    QByteArray bytes("\xFF\xFE", 2);
    QStringEncoder enc(QStringConverter::Utf16LE);
    bytes += enc.encode(text);
    return WriteFileAtomic(path, bytes, error, privateFile);
}

bool WriteAnsiTextFile(const QString &path, const QByteArray &bytes, QString *error)
{
    if (bytes.isEmpty())
        return true;
    return WriteFileAtomic(path, bytes, error);
}
