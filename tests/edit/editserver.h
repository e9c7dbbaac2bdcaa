#pragma once
// The reference server with the demo seed on a free 127.0.0.1 port, with its
// data folder at hand so tests can read what it stored, and a stop button.
#include "docserver.h"
#include "seed.h"
#include "store.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class EditServer
{
public:
    EditServer()
    {
        m_options.dataDir = m_dir.path();
        m_options.port = 0;
        m_options.idleTimeoutMs = 1500;
        m_options.firstLineTimeoutMs = 1500;
        m_server = std::make_unique<DocServer>(m_options);
        QString error;
        if (!m_server->start(&error))
            qFatal("server start failed: %s", qPrintable(error));
        Store store(m_options.dataDir);
        if (!seedDemo(store, &error))
            qFatal("seed failed: %s", qPrintable(error));
    }
    quint16 port() const { return m_server->port(); }
    void stop() { m_server.reset(); }
    qint64 keyOf(const QString &name)
    {
        Store store(m_options.dataDir);
        return store.db().value(QStringLiteral("SELECT key FROM files WHERE name=?"), {name}).toLongLong();
    }
    QByteArray currentBody(qint64 key)
    {
        Store store(m_options.dataDir);
        const auto v = store.version(key);
        if (!v)
            return {};
        QFile f(store.blobPath(v->blob));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    int versionCount(qint64 key)
    {
        Store store(m_options.dataDir);
        const auto v = store.version(key);
        return v ? v->ver : 0;
    }
    bool locked(qint64 key)
    {
        Store store(m_options.dataDir);
        return store.lock(key).has_value();
    }

private:
    QTemporaryDir m_dir;
    ServerOptions m_options;
    std::unique_ptr<DocServer> m_server;
};
