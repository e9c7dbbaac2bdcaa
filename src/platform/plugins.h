#pragma once
// Our own plugins: libraries the client loads when a feature is first used, so
// a resident client that never uses it does not map them.
#include <QString>
#include <QStringList>

namespace Plugins {
// Where plugins are looked for, first match wins: $ZUDIVUVO_PLUGIN_DIR, the
// program's folder, then ../lib/zudivuvo beside it (an installed client).
QStringList Folders();
// The file of plugin "name" (without "lib" and ".so") in those folders; empty when there is none.
QString Find(const QString &name);
} // namespace Plugins
