// Requests about one file: its name, description and properties, its lock,
// and deleting it.
#include "requesthandler.h"
#include "requestparts.h"

#include "propertypage.h"

using namespace requestparts;

Reply RequestHandler::fileDescription(const QString &text, bool update)
{
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return refusedText(a);
    const qint64 key = tagInt64(text, QStringLiteral("filekey"));
    if (!a.file(key))
        return refusedText(a);
    if (!update)
        return Reply{kText, a.file().description, 0};
    if (!m_store.db().run(QStringLiteral("UPDATE files SET description=? WHERE key=?"), {GetTagValue(text, QStringLiteral("desc")), key}))
        return Reply{53, ResultCodeTextFor(53, a.lang()), 0};
    return Reply{kText, {}, 0};
}

Reply RequestHandler::fileName(const QString &text)
{
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return refusedText(a);
    if (!a.file(tagInt64(text, QStringLiteral("Key"))))
        return refusedText(a);
    return Reply{kText, a.file().name, 0};
}

Reply RequestHandler::lockFile(const QString &text, bool lock)
{
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return code(a.refusal());
    const qint64 key = tagInt64(text, QStringLiteral("FileKey"));
    if (!a.file(key))
        return code(a.refusal());
    Transaction t(m_store.db());
    const auto held = m_store.lock(key);
    if (lock) {
        if (held && held->userId != a.user().id)
            return code(14);
        if (!m_store.setLock(key, a.user().id, LockCheckout))
            return code(53);
        m_store.log(a.user().id, QStringLiteral("lock"), key);
    } else {
        if (held && held->userId != a.user().id && !a.user().admin)
            return code(14);
        if (held) {
            if (!m_store.releaseLock(key))
                return code(53);
            m_store.log(a.user().id, QStringLiteral("unlock"), key);
        }
    }
    if (!t.commit())
        return code(53);
    return code(1);
}

Reply RequestHandler::fileProperties(const QString &text)
{
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return refusedText(a);
    // With a file key: that file's property text; without: the names of the properties.
    const qint64 key = tagInt64(text, QStringLiteral("FileKey"));
    if (key == 0)
        return Reply{kOk, propertyDefsText(propertyDefs(m_store)), 0};
    if (!a.file(key))
        return refusedText(a);
    return Reply{kOk, m_store.db().value(QStringLiteral("SELECT props FROM files WHERE key=?"), {key}).toString(), 0};
}

Reply RequestHandler::deleteFile(const QString &text)
{
    Access a = Access::ofRequest(m_store, text);
    if (!a)
        return code(a.refusal());
    const qint64 key = tagInt64(text, QStringLiteral("FileKey"));
    if (!a.file(key))
        return code(a.refusal());
    Transaction t(m_store.db());
    const auto held = m_store.lock(key);
    if (held && held->userId != a.user().id)
        return code(14);
    if (!m_store.releaseLock(key) || !m_store.db().run(QStringLiteral("UPDATE files SET deleted=1 WHERE key=?"), {key}) || !t.commit())
        return code(53);
    m_store.log(a.user().id, QStringLiteral("delete"), key);
    return code(1);
}
