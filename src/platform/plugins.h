#pragma once
// Our own plugins: libraries the client loads when a feature is first used, so
// a resident client that never uses it does not map them.
#include <QString>
#include <QtGlobal>
#include <QStringList>

namespace Plugins {
// Where plugins are looked for, first match wins: $ZUDIVUVO_PLUGIN_DIR, the
// program's folder, then ../lib/zudivuvo beside it (an installed client).
QStringList Folders();
// The file of plugin "name" (without "lib" and ".so") in those folders; empty when there is none.
QString Find(const QString &name);
// Loads plugin "name" and resolves its entry point; null with *error saying why.
// A loaded plugin stays for the life of the process: its libraries keep global state.
QFunctionPointer Resolve(const QString &name, const char *symbol, QString *error);
} // namespace Plugins
