#pragma once
// The listener: one port, each admitted connection served on a thread of its own
// (refused at once beyond the caps), the protocol chosen from its first bytes
// (TLS, framed exchange, file channel, HTTP) within one opening deadline.
#include "loginthrottle.h"
#include "serveroptions.h"

#include <QHash>
#include <QHostAddress>
#include <QSet>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

struct ssl_ctx_st;

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
    // Connections served at once, after the descriptor limit was taken into account.
    int maxConnections() const { return m_maxConnections; }

private:
    void acceptLoop();
    void serve(int fd, const QHostAddress &peer);
    bool admit(const QHostAddress &peer, int fd);
    void release(const QHostAddress &peer, int fd);

    ServerOptions m_options;
    ssl_ctx_st *m_sslContext = nullptr;
    std::thread m_acceptThread;
    std::atomic<bool> m_stopping{false};
    int m_listenFd = -1;
    quint16 m_port = 0;
    int m_lockFd = -1;
    int m_maxConnections = 0;
    LoginThrottle m_throttle;
    std::mutex m_mutex;
    std::condition_variable m_idle;
    int m_active = 0;
    QSet<int> m_open;
    QHash<QString, int> m_perAddress;
};
