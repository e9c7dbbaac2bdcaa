// The mail and web-archive reader of the client: the charset sniffing here,
// the parsing in the GMime plugin, loaded at the first mail file.
#include "preview/emlmessage.h"
#include "preview/logging.h"
#include "platform/plugins.h"

#include <QFile>

namespace {

TEmlParseFn parser()
{
    // Resolved once, by whichever worker reads the first mail.
    static const TEmlParseFn fn = [] {
        QString error;
        const auto f = reinterpret_cast<TEmlParseFn>(
            Plugins::Resolve(QLatin1String(kMailParsePluginName), kEmlParseSymbol, &error));
        if (!f)
            qCWarning(lcPreview).noquote() << "Mail files cannot be read:" << error;
        return f;
    }();
    return fn;
}

} // namespace

QString FindCharset(const QByteArray &bytes)
{
    const QByteArray head = bytes.left(4096);
    qsizetype at = head.indexOf("charset");
    if (at < 0)
        at = head.indexOf("Charset");
    if (at < 0)
        return {};
    at = head.indexOf('=', at);
    if (at < 0)
        return {};
    qsizetype end = at + 1;
    while (end < head.size() && head.at(end) != '\r' && head.at(end) != '\n')
        ++end;
    QByteArray value = head.mid(at + 1, end - at - 1);
    // Up to the closing quote when quoted, and without the quotes.
    const qsizetype open = value.indexOf('"');
    if (open >= 0) {
        const qsizetype close = value.indexOf('"', open + 1);
        value = close > open ? value.mid(open + 1, close - open - 1) : value.mid(open + 1);
    }
    const qsizetype semi = value.indexOf(';');
    if (semi >= 0)
        value = value.left(semi);
    return QString::fromLatin1(value.trimmed()).toUpper();
}

TEmlMessage TEmlMessage::Parse(const QByteArray &bytes)
{
    TEmlMessage m;
    m.Charset = FindCharset(bytes);
    if (const TEmlParseFn parse = parser())
        parse(kEmlParseInterfaceVersion, bytes, &m);
    return m;
}

TEmlMessage TEmlMessage::ParseFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() > kMaxBytes)
        return {};
    return Parse(f.readAll());
}
