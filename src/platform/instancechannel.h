#pragma once
// Single instance per user. The lock file marks that a client process exists
// (the name other programs look for); its holder is the running instance and
// listens on a per-user local socket for "<number> <wParam> <lParam>" lines.
#include <QLockFile>
#include <QObject>
#include <array>
#include <memory>

class QLocalServer;

class InstanceChannel : public QObject
{
    Q_OBJECT
public:
    // folder: where the lock and the socket live; empty means the per-user runtime folder.
    explicit InstanceChannel(const QString &folder = QString(), QObject *parent = nullptr);
    ~InstanceChannel() override;

    static QString defaultFolder();
    QString socketPath() const { return m_socketPath; }

    // True when this process now holds the instance lock (no other instance runs).
    bool acquire();
    bool isPrimary() const { return m_primary; }
    // Only for the primary: start accepting messages from later launches and other programs.
    bool listen(QString *error = nullptr);
    // Stop listening and give up the lock: a launch from now on starts a new instance.
    void release();
    // The messages other programs may send: tray click, bring to front, exit, remove the tray icon.
    static bool IsAcceptedMessage(int number);

    // A later launch: deliver lines to the running instance. Retries briefly
    // while the holder is still starting to listen.
    bool send(const QList<std::array<qint64, 3>> &messages, int timeoutMs = 2000, int gapMs = 100);
    // The two messages of a second launch: tray click (1135, lParam 513), then bring to front (1280).
    bool wakeRunningInstance(int timeoutMs = 2000);

Q_SIGNALS:
    void messageReceived(int number, qint64 wParam, qint64 lParam);

private:
    void readLines(class QLocalSocket *socket);

    QString m_folder;
    QString m_socketPath;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
    bool m_primary = false;
};
