#pragma once
// The reference server with the demo seed on a free 127.0.0.1 port and a
// temporary data folder, as the server's own tests start it (their fixture's
// raw-wire helpers clash with the client's net headers, so only this part).
#include "docserver.h"
#include "seed.h"
#include "store.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class DemoServer
{
public:
    DemoServer()
    {
        ServerOptions options;
        options.dataDir = m_dir.path();
        options.port = 0;
        options.idleTimeoutMs = 1500;
        options.firstLineTimeoutMs = 1500;
        m_server = std::make_unique<DocServer>(options);
        QString error;
        if (!m_server->start(&error))
            qFatal("server start failed: %s", qPrintable(error));
        Store store(options.dataDir);
        if (!seedDemo(store, &error))
            qFatal("seed failed: %s", qPrintable(error));
    }
    quint16 port() const { return m_server->port(); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<DocServer> m_server;
};
