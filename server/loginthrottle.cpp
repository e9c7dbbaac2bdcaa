#include "loginthrottle.h"

#include <QCryptographicHash>

#include <thread>

namespace {
constexpr qint64 kForgetMs = 15 * 60 * 1000;
constexpr int kMaxEntries = 100000;
constexpr qsizetype kLongName = 64;
} // namespace

QString LoginThrottle::nameKey(const QString &name)
{
    const QString key = name.trimmed().toLower();
    if (key.size() <= kLongName)
        return key;
    return u'#' + QString::fromLatin1(QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex());
}

qint64 LoginThrottle::heldBytes()
{
    QMutexLocker lock(&m_mutex);
    qint64 bytes = 0;
    for (const auto *map : {&m_names, &m_addresses}) {
        for (auto it = map->cbegin(); it != map->cend(); ++it)
            bytes += 2 * it.key().size() + qint64(sizeof(QString) + sizeof(Entry));
    }
    return bytes;
}

int LoginThrottle::delayFor(const Entry *entry, int free)
{
    if (!entry || entry->forget.hasExpired() || entry->failures < free)
        return 0;
    const int doublings = qMin(entry->failures - free, 16);
    return int(qMin<qint64>(qint64(kFirstDelayMs) << doublings, kMaxDelayMs));
}

int LoginThrottle::delayMs(const QString &name, const QHostAddress &address)
{
    QMutexLocker lock(&m_mutex);
    const auto n = m_names.constFind(nameKey(name));
    const auto a = m_addresses.constFind(address.toString());
    return qMax(delayFor(n == m_names.cend() ? nullptr : &*n, kFreeNameFailures),
                delayFor(a == m_addresses.cend() ? nullptr : &*a, kFreeAddressFailures));
}

void LoginThrottle::record(const QString &name, const QHostAddress &address, bool failed)
{
    QMutexLocker lock(&m_mutex);
    const QString key = nameKey(name);
    if (!failed) {
        m_names.remove(key);
        return;
    }
    if (m_names.size() + m_addresses.size() > kMaxEntries)
        prune();
    for (auto *entry : {&m_names[key], &m_addresses[address.toString()]}) {
        if (entry->forget.hasExpired())
            entry->failures = 0;
        ++entry->failures;
        entry->forget = QDeadlineTimer(kForgetMs);
    }
}

void LoginThrottle::prune()
{
    for (auto *map : {&m_names, &m_addresses}) {
        map->removeIf([](const auto &it) { return it.value().forget.hasExpired(); });
        // Still full under a flood of names: the oldest knowledge goes rather than memory.
        if (map->size() > kMaxEntries / 2)
            map->clear();
    }
}

int checkLoginThrottled(Store &store, const Peer &peer, const QString &name, const QString &password, UserInfo &out)
{
    if (peer.throttle) {
        if (const int ms = peer.throttle->delayMs(name, peer.address))
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    const int rc = store.checkLogin(name, password, out);
    if (peer.throttle)
        peer.throttle->record(name, peer.address, rc == 82);
    return rc;
}
