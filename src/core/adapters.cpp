#include "core/adapters.h"

#include <QMutex>

namespace {

QMutex &sourceMutex()
{
    static QMutex m;
    return m;
}

AdapterSource &source()
{
    static AdapterSource s;
    return s;
}

QString hwText(const QByteArray &hw)
{
    return QString::fromLatin1(hw.toHex('-').toUpper());
}

std::optional<QList<TAdapterInfo>> current()
{
    AdapterSource s;
    {
        QMutexLocker lock(&sourceMutex());
        s = source();
    }
    if (!s)
        return std::nullopt;
    return s();
}

template <typename F>
QString format(const QList<TAdapterInfo> &adapters, F entry)
{
    QString out;
    for (const TAdapterInfo &a : adapters)
        for (const QString &ip : a.addresses)
            if (!ip.startsWith(QLatin1String("0.")))
                out += entry(a, ip) + QLatin1Char(';');
    return out;
}

} // namespace

void SetAdapterSource(AdapterSource s)
{
    QMutexLocker lock(&sourceMutex());
    source() = std::move(s);
}

QString FormatMacList(const QList<TAdapterInfo> &adapters)
{
    return format(adapters, [](const TAdapterInfo &a, const QString &) -> QString { return hwText(a.hardware); });
}

QString FormatIpMacList(const QList<TAdapterInfo> &adapters)
{
    return format(adapters,
                  [](const TAdapterInfo &a, const QString &ip) -> QString { return ip + QLatin1String("  ") + hwText(a.hardware); });
}

QString MacList()
{
    const auto list = current();
    return list ? FormatMacList(*list) : QString();
}

QString IpMacList()
{
    const auto list = current();
    return list ? FormatIpMacList(*list) : QString();
}
