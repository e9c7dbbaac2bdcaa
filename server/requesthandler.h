#pragma once
// Answers one framed request; knows nothing about sockets, so tests and the
// fuzz target call it directly.
#include "access.h"
#include "loginthrottle.h"
#include "store.h"
#include "wire.h"

struct Reply
{
    quint8 status = 0;
    QString body;
    qint32 freeInt = 0;
};

// English when the client asked for it, Chinese otherwise.
QString serverText(int lang, const char *english, const char *chinese);

class RequestHandler
{
public:
    explicit RequestHandler(Store &store, const Peer &peer = {}) : m_store(store), m_peer(peer) {}
    Reply handle(const FramedRequest &request);

private:
    // The refusal's code with its text in the session's language.
    static Reply refusedText(const Access &access);
    Reply login(const QString &text);
    Reply organisation(const QString &text);
    Reply subFolders(const FramedRequest &request);
    Reply ownerFolders(const FramedRequest &request);
    Reply folderFiles(const QString &text);
    Reply listFolder(const QString &text, bool foldersOnly, bool filesOnly);
    Reply newestVersions(const QString &text);
    Reply createFolderLines(const QString &text);
    Reply downloadList(const QString &text);
    Reply serverPath(const QString &text);
    Reply fileDescription(const QString &text, bool update);
    Reply fileName(const QString &text);
    Reply lockFile(const QString &text, bool lock);
    Reply deleteFolder(const QString &text);
    Reply deleteFile(const QString &text);
    Reply fileProperties(const QString &text);
    Reply messages(const QString &text);
    Reply createFolder(const QString &text);

    Store &m_store;
    Peer m_peer;
};
