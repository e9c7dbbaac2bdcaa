#include "embeddedbrowser.h"

#ifdef ZUDIVUVO_HAVE_WEBENGINE
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>

namespace {
class TWebEngineBrowser : public TEmbeddedBrowser
{
public:
    explicit TWebEngineBrowser(QWidget *parent) : m_view(new QWebEngineView(parent))
    {
        connect(m_view, &QWebEngineView::loadFinished, this, &TEmbeddedBrowser::loadFinished);
        // The view belongs to the window; we only follow it.
        connect(m_view, &QObject::destroyed, this, [this] { m_view = nullptr; });
    }
    ~TWebEngineBrowser() override
    {
        if (m_view)
            disconnect(m_view, nullptr, this, nullptr);
    }
    QWidget *Widget() override { return m_view; }
    void Load(const QUrl &url) override
    {
        if (m_view)
            m_view->load(url);
    }
    void RunScript(const QString &script, ScriptDone done) override
    {
        if (!m_view) {
            done(QVariant());
            return;
        }
        m_view->page()->runJavaScript(script, QWebEngineScript::MainWorld, [done](const QVariant &v) { done(v); });
    }

private:
    QWebEngineView *m_view;
};
} // namespace
#endif

namespace EmbeddedBrowser {

std::unique_ptr<TEmbeddedBrowser> Create(QWidget *parent)
{
#ifdef ZUDIVUVO_HAVE_WEBENGINE
    if (UnavailableReason(false).isEmpty())
        return std::make_unique<TWebEngineBrowser>(parent);
#else
    Q_UNUSED(parent);
#endif
    return nullptr;
}

} // namespace EmbeddedBrowser
