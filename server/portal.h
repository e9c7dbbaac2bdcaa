#pragma once
// The web portal under /portal: a logged-in user browses owners, folders and
// files, and every action is a link that hands a command to the desktop client.
#include "httphandler.h"

#include <QList>
#include <QPair>
#include <QString>

// One parameter of a client link: tag name and plain value.
using ClientLinkParams = QList<QPair<QString, QString>>;

// The one form of every client link. The option is separated by an encoded blank and the
// link has no "//", since a browser takes "[" and "]" only in a path without an authority.
// Values are percent-encoded (blanks as "##") and the command marked "[bs]chrome[/bs]",
// so tag brackets, "#", "%" and non-ASCII text in names reach the client unchanged.
QByteArray clientLink(int code, const ClientLinkParams &params);

class Portal
{
public:
    Portal(Store &store, const Peer &peer) : m_store(store), m_peer(peer) {}
    QByteArray respond(const HttpRequest &request);

    // The per-session token that every state-changing form carries.
    static QByteArray formToken(const QString &sessionToken);

private:
    // Session and access checks for every page: false with *answer set when the request ends here.
    bool begin(const HttpRequest &request, SessionInfo &session, QByteArray *answer);
    QByteArray login(const HttpRequest &request);
    QByteArray logout(const SessionInfo &session);
    QByteArray browse(const HttpRequest &request, const SessionInfo &session);
    QByteArray bulk(const HttpRequest &request, const SessionInfo &session);
    QByteArray settings(const HttpRequest &request, const SessionInfo &session);
    QByteArray loginPage(const QString &error, int status = 200);
    QByteArray frame(const SessionInfo &session, const QString &title, const QByteArray &nav, const QByteArray &main);
    QList<int> owners(const SessionInfo &session);

    Store &m_store;
    Peer m_peer;
};
