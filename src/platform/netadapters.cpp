#include "platform/netadapters.h"

#include <QFileInfo>
#include <QNetworkInterface>

#include <algorithm>

namespace NetAdapters {

namespace {

bool isPhysical(const QNetworkInterface &ifc)
{
    if (ifc.flags().testFlag(QNetworkInterface::IsLoopBack))
        return false;
#ifdef Q_OS_LINUX
    return QFileInfo::exists(QStringLiteral("/sys/class/net/%1/device").arg(ifc.name()));
#else
    return ifc.type() != QNetworkInterface::Virtual;
#endif
}

QByteArray hardwareBytes(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1().replace(':', "").replace('-', ""));
}

} // namespace

std::optional<QList<TAdapterInfo>> systemAdapters()
{
    QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    std::sort(all.begin(), all.end(), [](const auto &a, const auto &b) { return a.name() < b.name(); });
    QList<TAdapterInfo> out;
    for (const QNetworkInterface &ifc : all) {
        if (!isPhysical(ifc))
            continue;
        TAdapterInfo a;
        a.hardware = hardwareBytes(ifc.hardwareAddress());
        if (a.hardware.isEmpty())
            continue;
        for (const QNetworkAddressEntry &e : ifc.addressEntries())
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
                a.addresses << e.ip().toString();
        out << a;
    }
    return out;
}

void install()
{
    SetAdapterSource(&systemAdapters);
}

} // namespace NetAdapters
