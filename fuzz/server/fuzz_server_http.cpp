// The HTTP side beyond header parsing: portal pages, previews, folder pages, the
// password page, archive links and scan-code login, with a valid session (cookie
// or fresh ticket) when the input asks for one.
#include "fuzzstore.h"
#include "httphandler.h"

#include "core/aes.h"
#include "core/wiredate.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    static const char *const paths[] = {"/QRLogin", "/index", "/doc", "/previewopen", "/folderadd", "/folderrename",
                                        "/modifypass", "/getPower", "/arc/input2", "/user", "/linkX", "/getPrtHtm", "/"};
    const QByteArray path(paths[data[0] % (sizeof paths / sizeof *paths)]);
    const quint8 flags = data[1];
    const QByteArray rest(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    const qsizetype cut = rest.indexOf('\n');
    QByteArray query = cut < 0 ? rest : rest.left(cut);
    query.replace(' ', "%20");
    const QByteArray body = cut < 0 ? QByteArray() : rest.mid(cut + 1);
    const QString token = fuzzToken();
    if (flags & 1) {
        static int r = 0;
        const QString ticket = EncryptWithAppKey(QStringLiteral("[R]%1[/R][U]%2[/U][Dt]%3[/Dt]").arg(++r % 1000).arg(token, FormatWireDateTime(NowDateTime())), AKS_128);
        query.replace("TICKET", ticket.toLatin1());
    }
    QByteArray head = ((flags & 2) ? "POST " : "GET ") + path + '?' + query + " HTTP/1.1\r\n";
    QByteArray headers;
    if (flags & 4)
        headers += "Cookie: zsid=" + token.toLatin1() + "\r\n";
    if (flags & 2)
        headers += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    BufferStream stream(headers + "\r\n" + ((flags & 2) ? body : QByteArray()));
    HttpHandler(fuzzStore(), stream, flags & 8).run(head);
    return 0;
}
