#pragma once
// What the web view plugin offers the application. The plugin holds Qt WebEngine,
// which is loaded only when a window first shows a web page. A plain interface
// without QObject, so no class of ours exists twice across the library boundary.
#include <QString>
#include <QUrl>
#include <QVariant>

#include <functional>

class QWidget;

class TWebViewBackend
{
public:
    virtual ~TWebViewBackend() = default;
    // Owned by its parent window; it may go before this object.
    virtual QWidget *Widget() = 0;
    virtual void Load(const QUrl &url) = 0;
    // An invalid result means the script threw; a null one that it returned null.
    virtual void RunScript(const QString &script, std::function<void(const QVariant &)> done) = 0;
};

// The one entry point the plugin exports. A build of another interface
// version answers null, so an old plugin beside a new client is refused.
using TWebViewCreateFn = TWebViewBackend *(*)(int interfaceVersion, QWidget *parent,
                                              std::function<void(bool ok)> loadFinished);
inline constexpr char kWebViewCreateSymbol[] = "zudivuvo_webview_create";
inline constexpr int kWebViewInterfaceVersion = 1;
// File name of the plugin without "lib" and ".so".
inline constexpr char kWebViewPluginName[] = "zudivuvo_webview";
