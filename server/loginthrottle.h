#pragma once
// Repeated failed logins slow down, per name and per address, so passwords
// cannot be guessed at the speed of the network.
#include "store.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QHostAddress>
#include <QMutex>

class LoginThrottle
{
public:
    // Milliseconds the next attempt for this name from this address waits.
    int delayMs(const QString &name, const QHostAddress &address);
    void record(const QString &name, const QHostAddress &address, bool failed);
    // Memory the remembered failures take (their keys and records).
    qint64 heldBytes();

    // Failures before the waits begin; each further one doubles the wait.
    static constexpr int kFreeNameFailures = 3;
    static constexpr int kFreeAddressFailures = 10;
    static constexpr int kFirstDelayMs = 100;
    static constexpr int kMaxDelayMs = 5000;

private:
    struct Entry
    {
        int failures = 0;
        QDeadlineTimer forget;
    };
    static int delayFor(const Entry *entry, int free);
    // The name as remembered: long names (no real login is long) by their hash,
    // so a stream of huge names takes no more memory than short ones.
    static QString nameKey(const QString &name);
    void prune();

    QMutex m_mutex;
    QHash<QString, Entry> m_names;
    QHash<QString, Entry> m_addresses;
};

// Who is on the other end of a connection, for the checks that depend on it.
struct Peer
{
    QHostAddress address;
    LoginThrottle *throttle = nullptr;
};

// Store::checkLogin behind the throttle: waits first, then records the outcome.
int checkLoginThrottled(Store &store, const Peer &peer, const QString &name, const QString &password, UserInfo &out);
