#include "access.h"

#include "core/helpers.h"
#include "core/tagtext.h"

Access Access::ofRequest(Store &store, const QString &text)
{
    const int lang = StrToIntDef(GetTagValue(text, QStringLiteral("language")), 0);
    return Access(store, GetTagValue(text, QStringLiteral("EncryptCode")), lang == 1 || lang == 2 ? lang : -1);
}

Access::Access(Store &store, const QString &token, int lang)
    : m_store(store)
{
    m_refusal = m_store.resolveSession(token, m_session, lang);
}

Access &Access::owner(int ownerId, int refusal)
{
    if (m_refusal == 0 && !m_store.canAccess(m_session.user, ownerId))
        m_refusal = refusal;
    return *this;
}

Access &Access::folder(int ownerId, qint64 folderId, int refusal)
{
    if (m_refusal == 0) {
        const auto f = m_store.folder(folderId);
        if (!f || f->ownerId != ownerId)
            m_refusal = refusal;
    }
    return *this;
}

Access &Access::folderOrRoot(int ownerId, qint64 folderId, int refusal)
{
    return folderId == 0 ? *this : folder(ownerId, folderId, refusal);
}

Access &Access::file(qint64 key)
{
    if (m_refusal == 0)
        m_refusal = fileRefusal(m_store, m_session, key, &m_file);
    return *this;
}

int Access::fileRefusal(Store &store, const SessionInfo &session, qint64 key, FileInfo *out)
{
    const auto f = store.file(key);
    if (!f)
        return 8;
    if (f->deleted)
        return 25;
    if (!store.canAccess(session.user, f->ownerId))
        return 13;
    if (f->sc > session.user.clearance)
        return 38;
    if (out)
        *out = *f;
    return 0;
}
