#pragma once
// The machine's network adapters as the login and the stored user id see them.
// The platform layer installs the real source at start; tests install fakes.
#include <QByteArray>
#include <QList>
#include <QStringList>
#include <functional>
#include <optional>

struct TAdapterInfo {
    QByteArray hardware;    // raw hardware address bytes
    QStringList addresses;  // IPv4 address texts
};

using AdapterSource = std::function<std::optional<QList<TAdapterInfo>>()>;

void SetAdapterSource(AdapterSource source);

// "AA-BB-CC-DD-EE-FF;" per adapter and per address not starting with "0.";
// empty when the source fails or none is installed.
QString MacList();
// "10.0.0.5  AA-BB-CC-DD-EE-FF;" for the same adapters and addresses.
QString IpMacList();

QString FormatMacList(const QList<TAdapterInfo> &adapters);
QString FormatIpMacList(const QList<TAdapterInfo> &adapters);
