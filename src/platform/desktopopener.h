#pragma once
// Opening a local file with the program the desktop associates with its type.
#include <QString>

namespace DesktopOpener {
// Starts the associated program (never through a shell). False, with the
// reason in *reason, when there is no such program or it cannot start.
// Asks the desktop first, which may take a moment: call it off the GUI thread.
bool OpenFile(const QString &path, QString *reason, bool chinese);
} // namespace DesktopOpener
