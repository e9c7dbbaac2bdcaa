#pragma once
// HTTP/1.1 on the shared port: the small answers the client fetches after
// login and the pages it opens in a browser. One request per connection.
#include "loginthrottle.h"
#include "store.h"
#include "wire.h"

#include <QByteArray>
#include <QMap>

struct HttpRequest
{
    QByteArray method;
    QByteArray target; // path and raw query
    QByteArray path;
    QByteArray query;
    QMap<QByteArray, QByteArray> headers; // names lower-cased
    QByteArray body;
};

// Reads headers (and a small form body) after the request line; false for malformed or oversized input.
bool readHttpRequest(ByteReader &in, const QByteArray &requestLine, HttpRequest &request);
// Raw value of a query parameter; "foldername" is not fully encoded by the client,
// so it runs up to the last "&rnd=".
QByteArray queryValue(const QByteArray &query, const QByteArray &name);

class HttpHandler
{
public:
    HttpHandler(Store &store, ByteStream &stream, bool tls = false, const Peer &peer = {})
        : m_store(store), m_stream(stream), m_tls(tls), m_peer(peer) {}
    void run(const QByteArray &requestLine);
    // Testable core: the whole response for one request. A file body (previews) is
    // left out and named by bodyFile(); run() streams it after the response.
    QByteArray respond(const HttpRequest &request);
    QString bodyFile() const { return m_bodyFile; }

private:
    bool sessionFromTicket(const QByteArray &ticket, SessionInfo &session);
    bool sessionFromCookie(const HttpRequest &request, SessionInfo &session);
    QByteArray folderAdd(const HttpRequest &request);
    QByteArray folderRename(const HttpRequest &request);
    QByteArray modifyPassword(const HttpRequest &request);
    QByteArray archiveLink(const HttpRequest &request);
    QByteArray power(const HttpRequest &request);
    QByteArray docPage(const HttpRequest &request);
    QByteArray previewOpen(const HttpRequest &request);
    QByteArray indexPage(const HttpRequest &request);

    Store &m_store;
    ByteStream &m_stream;
    bool m_tls;
    Peer m_peer;
    QString m_bodyFile;
    qint64 m_bodySize = 0;
};

QByteArray httpResponse(int status, const QByteArray &contentType, const QByteArray &body,
                        const QByteArray &extraHeaders = {});
