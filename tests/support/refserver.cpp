#include "refserver.h"

#include "docserver.h"
#include "seed.h"
#include "store.h"

#include <QFile>
#include <QtGlobal>

namespace {

QByteArray readBlob(const Store &store, const QString &blob)
{
    QFile f(store.blobPath(blob));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The folder holding the last part of a "/"-separated path; 0 when one is missing.
qint64 parentFolder(Store &store, int owner, const QStringList &parts)
{
    qint64 folder = 0;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        folder = store.findFolder(owner, folder, parts.at(i));
        if (folder == 0)
            return 0;
    }
    return folder;
}

} // namespace

RefServer::RefServer()
    : RefServer(Setup())
{
}

RefServer::RefServer(const Setup &setup)
    : m_options(std::make_unique<ServerOptions>())
{
    m_options->dataDir = setup.dataDir.isEmpty() ? m_dir.path() : setup.dataDir;
    m_options->port = 0;
    m_options->tls = setup.tls;
    if (setup.quickTimeouts) {
        m_options->idleTimeoutMs = 1500;
        m_options->firstLineTimeoutMs = 1500;
    }
    if (setup.tune)
        setup.tune(*m_options);
    start();
    if (setup.seed) {
        Store store(m_options->dataDir);
        QString error;
        if (!seedDemo(store, &error))
            qFatal("seed failed: %s", qPrintable(error));
    }
}

RefServer::~RefServer() = default;

void RefServer::start()
{
    if (m_port != 0)
        m_options->port = m_port;
    m_server = std::make_unique<DocServer>(*m_options);
    QString error;
    if (!m_server->start(&error))
        qFatal("server start failed: %s", qPrintable(error));
    m_port = m_server->port();
}

void RefServer::stop()
{
    m_server.reset();
}

QString RefServer::address() const
{
    return QStringLiteral("127.0.0.1#%1#0").arg(m_port);
}

QString RefServer::dataDir() const
{
    return m_options->dataDir;
}

QVariant RefServer::sql(const QString &query, const QVariantList &args) const
{
    Store store(dataDir());
    return store.db().value(query, args);
}

qint64 RefServer::folderId(int owner, const QString &name) const
{
    Store store(dataDir());
    return store.findFolder(owner, 0, name);
}

qint64 RefServer::fileKey(int owner, const QString &folderName, const QString &name) const
{
    Store store(dataDir());
    const qint64 folder = store.findFolder(owner, 0, folderName);
    const auto f = folder != 0 ? store.fileByName(folder, name) : std::nullopt;
    return f ? f->key : 0;
}

qint64 RefServer::keyOf(const QString &name) const
{
    return sql(QStringLiteral("SELECT key FROM files WHERE name=?"), {name}).toLongLong();
}

std::optional<QByteArray> RefServer::fileAt(int owner, const QString &path) const
{
    Store store(dataDir());
    const QStringList parts = path.split(u'/');
    const qint64 folder = parentFolder(store, owner, parts);
    if (folder == 0 && parts.size() > 1)
        return std::nullopt;
    const auto f = store.fileByName(folder, parts.last());
    if (!f)
        return std::nullopt;
    const auto v = store.version(f->key);
    if (!v)
        return std::nullopt;
    return readBlob(store, v->blob);
}

int RefServer::versions(int owner, const QString &path) const
{
    Store store(dataDir());
    const QStringList parts = path.split(u'/');
    const qint64 folder = parentFolder(store, owner, parts);
    if (folder == 0 && parts.size() > 1)
        return 0;
    const auto f = store.fileByName(folder, parts.last());
    return f ? store.db().value(QStringLiteral("SELECT COUNT(*) FROM versions WHERE file_key=?"), {f->key}).toInt() : 0;
}

QByteArray RefServer::currentBody(qint64 key) const
{
    Store store(dataDir());
    const auto v = store.version(key);
    return v ? readBlob(store, v->blob) : QByteArray();
}

int RefServer::versionCount(qint64 key) const
{
    Store store(dataDir());
    const auto v = store.version(key);
    return v ? v->ver : 0;
}

bool RefServer::locked(qint64 key) const
{
    Store store(dataDir());
    return store.lock(key).has_value();
}

QString RefServer::lockHolder(qint64 key) const
{
    return sql(QStringLiteral("SELECT o.name FROM locks l JOIN owners o ON o.id=l.user_id WHERE l.file_key=?"), {key}).toString();
}
