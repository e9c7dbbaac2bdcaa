#pragma once
// Scan-code login: the client's window shows a page with a code; a phone
// opens the code's address, signs in there, and the page then carries the
// identity in an input named "usercode" for the client to pick up.
#include "httphandler.h"

class QrLoginPages
{
public:
    QrLoginPages(Store &store, bool tls, const Peer &peer = {}) : m_store(store), m_tls(tls), m_peer(peer) {}
    // Everything under "/QRLogin".
    QByteArray respond(const HttpRequest &request);

    // Lifetime of a code; the client polls until the page says it expired.
    static constexpr double kLifetimeDays = 5.0 / (24 * 60);

private:
    QByteArray config();
    QByteArray newCode();
    QByteArray codePage(const HttpRequest &request);
    QByteArray poll(const HttpRequest &request);
    QByteArray scan(const HttpRequest &request);
    // Old codes go, and sessions made for codes nobody picked up with them.
    void dropOldCodes();

    Store &m_store;
    bool m_tls;
    Peer m_peer;
};

// The identity handed to the client ("-u" link or scan-code login): a new session,
// protected with the application key. Empty for an unknown or disabled user.
QString webIdentity(Store &store, int userId, QString *token = nullptr);
