#include "core/ansicodec.h"

#include <QStringDecoder>
#include <QStringEncoder>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

QByteArray AnsiFromText(const QString &text)
{
    if (text.isEmpty())
        return {};
#ifdef Q_OS_WIN
    const int n = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWCH>(text.utf16()), int(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    QByteArray out(n, Qt::Uninitialized);
    WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWCH>(text.utf16()), int(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
#else
    // ICU's GBK table is Windows' 936 (0x80 is the euro sign). Encode one code point at
    // a time only when needed, so an unmappable character becomes '?' like on Windows.
    QStringEncoder enc("GBK", QStringConverter::Flag::Stateless);
    QByteArray out = enc.encode(text);
    if (!enc.hasError() && !out.contains('\x1a'))
        return out;
    out.clear();
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype len = (text.at(i).isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
        const QString one = text.mid(i, len);
        QStringEncoder single("GBK", QStringConverter::Flag::Stateless);
        const QByteArray b = single.encode(one);
        if (single.hasError() || b.isEmpty() || (b == "\x1a" && one != QChar(0x1a)))
            out += '?';
        else
            out += b;
        i += len;
    }
    return out;
#endif
}

QString AnsiToText(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return {};
#ifdef Q_OS_WIN
    const int n = MultiByteToWideChar(CP_ACP, 0, bytes.constData(), int(bytes.size()), nullptr, 0);
    QString out(n, Qt::Uninitialized);
    MultiByteToWideChar(CP_ACP, 0, bytes.constData(), int(bytes.size()), reinterpret_cast<LPWSTR>(out.data()), n);
    return out;
#else
    // ICU drops a lead byte cut off at the end; it must show as a replacement
    // character rather than vanish.
    qsizetype i = 0;
    const qsizetype n = bytes.size();
    while (i < n) {
        const uchar b = uchar(bytes.at(i));
        i += (b >= 0x81 && b <= 0xFE) ? 2 : 1;
    }
    const bool cutLead = i > n;
    QStringDecoder dec("GBK", QStringConverter::Flag::Stateless);
    QString out = dec.decode(cutLead ? bytes.left(n - 1) : bytes);
    if (cutLead)
        out += QChar::ReplacementCharacter;
    return out;
#endif
}
