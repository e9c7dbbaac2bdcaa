#pragma once
#include "core/adapters.h"

namespace NetAdapters {
// Physical adapters only (no loopback, bridges, VPN or container links), sorted
// by name, so a tunnel coming up does not change the list the stored id is bound to.
std::optional<QList<TAdapterInfo>> systemAdapters();
void install();  // makes systemAdapters() the source of MacList()/IpMacList()
} // namespace NetAdapters
