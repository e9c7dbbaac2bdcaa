#pragma once
// A web page shown inside one of our windows. The real one is Qt WebEngine in
// the web view plugin, loaded when the first page is wanted so a client that
// shows none never maps WebEngine or creates an OpenGL context; tests use a stand-in.
#include <QObject>
#include <QUrl>
#include <QVariant>

#include <functional>
#include <memory>

class QWidget;

class TEmbeddedBrowser : public QObject
{
    Q_OBJECT
public:
    using ScriptDone = std::function<void(const QVariant &result)>;
    using QObject::QObject;

    virtual QWidget *Widget() = 0;
    virtual void Load(const QUrl &url) = 0;
    // Runs in the page's own world, so page functions are visible. An invalid
    // result means the script threw; a null one that it returned null.
    virtual void RunScript(const QString &script, ScriptDone done) = 0;

Q_SIGNALS:
    void loadFinished(bool ok);
};

namespace EmbeddedBrowser {
// Empty when a browser can be made here; otherwise why not, for a message box.
QString UnavailableReason(bool chinese);
// The reason given by a build without a browser.
QString NoBrowserText(bool chinese);
// The real browser from the plugin; nullptr when UnavailableReason() is not empty
// or the plugin does not load.
std::unique_ptr<TEmbeddedBrowser> Create(QWidget *parent);
// Where the plugin is looked for, first match wins: $ZUDIVUVO_PLUGIN_DIR, the
// program's folder, then ../lib/zudivuvo beside it (an installed client).
QStringList PluginFolders();
// The plugin file found in those folders; empty when there is none.
QString PluginPath();
// Whether this process has loaded Qt WebEngine (for tests and the idle benchmark).
bool IsLoaded();
} // namespace EmbeddedBrowser
