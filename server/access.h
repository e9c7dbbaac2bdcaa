#pragma once
// What a request may reach: the session of its code, then, as each handler
// asks, an owner's files, a folder of that owner and a file. The first check
// that says no sets the refusal (a result code) and the later ones are
// skipped, so the order of the calls is the order of the refusals a client sees.
#include "store.h"

class Access
{
public:
    // The session of the "[EncryptCode]" of a request, in its "[language]".
    static Access ofRequest(Store &store, const QString &text);
    // lang -1: the session's own language.
    Access(Store &store, const QString &token, int lang = -1);

    // The user may act on the owner's files.
    Access &owner(int ownerId, int refusal = 13);
    // A folder of that owner.
    Access &folder(int ownerId, qint64 folderId, int refusal = 18);
    // The same, with 0 standing for the owner's root.
    Access &folderOrRoot(int ownerId, qint64 folderId, int refusal = 18);
    // A file the user may read; its record in file().
    Access &file(qint64 key);

    explicit operator bool() const { return m_refusal == 0; }
    int refusal() const { return m_refusal; }
    const SessionInfo &session() const { return m_session; }
    const UserInfo &user() const { return m_session.user; }
    int lang() const { return m_session.lang; }
    const FileInfo &file() const { return m_file; }

    // 0 when the session may read the file, else the result code.
    static int fileRefusal(Store &store, const SessionInfo &session, qint64 key, FileInfo *file = nullptr);

private:
    Store &m_store;
    SessionInfo m_session;
    FileInfo m_file;
    int m_refusal = 0;
};
