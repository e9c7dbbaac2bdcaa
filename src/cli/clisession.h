#pragma once
// Who the command line talks to and as whom: the options given, else the
// desktop client's saved login, so both share one configuration folder.
#include "batch/bathfiledeal.h"
#include "core/clientconfigx.h"

#include <QString>

#include <atomic>

struct TCliOptions {
    QString Server;        // HOST#PORT#TLS
    QString User;
    QString PasswordFile;
    int Lang = 0;          // 0: English, the command line's own default
    bool Json = false;
};

class TCliSession
{
public:
    explicit TCliSession(const TCliOptions &options);

    // Resolves host, port and identity; a saved identity is checked with the
    // server first. False with a message in Error(); Stale() tells a saved
    // login the server no longer takes.
    bool Connect();
    bool Stale() const { return m_stale; }
    // Set to 1, it ends the login and the session check at once (Ctrl+C).
    void SetCancel(const std::atomic<qint32> *cancel) { m_cancel = cancel; }
    // The groups of the user, "id*name" lines, as the server listed them at Connect.
    QString Groups() const { return m_groups; }
    QString Error() const { return m_error; }
    TServerConn Conn() const { return m_conn; }
    TBatchSettings Settings() const;
    int OwnerId() const { return m_ownerId; }
    QString UserName() const { return m_userName; }
    THS_Language Language() const { return m_conn.Language; }
    // Stores the checked login as the desktop client would after its own login.
    bool StoreLogin(QString *error);
    TClientConfigX &Config() { return m_config; }
    // Whether an explicit server option was valid (a usage error otherwise).
    bool ServerOptionValid() const { return m_serverValid; }

private:
    bool login(const QString &name, const QString &password);
    bool checkSession();

    TCliOptions m_options;
    TClientConfigX m_config;
    TServerConn m_conn;
    QString m_error;
    QString m_userName;
    QString m_loginName;
    int m_ownerId = 0;
    bool m_serverValid = true;
    bool m_stale = false;
    const std::atomic<qint32> *m_cancel = nullptr;
    QString m_groups;
};
