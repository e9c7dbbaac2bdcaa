#pragma once
// Desktop integration: the ZuDivuvo:// link handler and the viewer control.
#include <QString>

namespace ShellIntegration {

inline const QString kUrlDesktopFile = QStringLiteral("zudivuvo-url.desktop");

// Writes the link handler's .desktop file into applicationsFolder (empty: the
// user's) and makes it the default for x-scheme-handler/zudivuvo through xdg-mime.
// Missing xdg tools are not an error: the file is still written.
bool RegisterUrlProtocol(const QString &exePath, const QString &applicationsFolder = QString());
QString UrlDesktopFileText(const QString &exePath);

// The viewer control exists only on Windows; elsewhere registration reports false.
bool RegisterViewerControl(bool doRegister);

// Start with the desktop session: an XDG autostart entry running exePath.
QString AutostartFile();  // empty autostartFolder: the user's
bool IsAutostart(const QString &exePath, const QString &autostartFolder = QString());
bool SetAutostart(const QString &exePath, bool enabled, const QString &autostartFolder = QString());

// A launcher on the desktop named after the product.
bool CreateDesktopShortcut(const QString &exePath, const QString &name, const QString &desktopFolder = QString());
QString LauncherText(const QString &exePath, const QString &name, const QString &extra = QString());

} // namespace ShellIntegration
