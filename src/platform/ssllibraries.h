#pragma once
#include <QString>

namespace SslLibraries {
// TLS comes from the system's OpenSSL here; nothing is unpacked into program or
// system folders (which would need administrator rights and invite DLL planting).
inline void ExtractSslLibraries(const QString &targetFolder) { Q_UNUSED(targetFolder); }
} // namespace SslLibraries
