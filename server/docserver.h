#pragma once
// The listener: one port, each connection served on a pool thread, the
// protocol chosen from its first bytes (TLS, framed exchange, file channel, HTTP).
#include "loginthrottle.h"
#include "serveroptions.h"

#include <QMutex>
#include <QSet>
#include <QSslConfiguration>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <memory>
#include <thread>

class DocServer
{
public:
    explicit DocServer(const ServerOptions &options);
    ~DocServer();
    // Locks and prepares the data folder; a second server on it is refused.
    bool openDataDir(QString *error);
    // Opens the data folder when not done yet, prepares TLS and starts listening.
    bool start(QString *error);
    // Stops accepting, ends open connections and waits for their threads.
    void stop();
    quint16 port() const { return m_port; }

private:
    void acceptLoop(qintptr listenFd);
    void serve(qintptr fd);

    ServerOptions m_options;
    QSslConfiguration m_tls;
    bool m_tlsReady = false;
    QThreadPool m_pool;
    std::thread m_acceptThread;
    std::atomic<bool> m_stopping{false};
    int m_listenFd = -1;
    quint16 m_port = 0;
    int m_lockFd = -1;
    LoginThrottle m_throttle;
    QMutex m_openMutex;
    QSet<qintptr> m_open;
};
