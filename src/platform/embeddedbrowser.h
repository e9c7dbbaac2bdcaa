#pragma once
// A web page shown inside one of our windows. The real one is Qt WebEngine
// (zudivuvo_browser); builds without it offer none, and tests use a stand-in.
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
// Before the QApplication exists: the browser shares the GL contexts.
void PrepareApplication();
// Empty when a browser can be made here; otherwise why not, for a message box.
QString UnavailableReason(bool chinese);
// The reason given by a build without a browser.
QString NoBrowserText(bool chinese);
// The real browser, from zudivuvo_browser (links WebEngine when built with it);
// nullptr when UnavailableReason() is not empty.
std::unique_ptr<TEmbeddedBrowser> Create(QWidget *parent);
} // namespace EmbeddedBrowser
