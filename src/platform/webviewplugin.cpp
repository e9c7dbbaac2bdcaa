// The Qt WebEngine web view, built as a plugin the application loads on demand.
#include "platform/webviewplugin.h"

#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>

namespace {
class TWebEngineBackend : public TWebViewBackend
{
public:
    TWebEngineBackend(QWidget *parent, std::function<void(bool)> loadFinished)
        : m_view(new QWebEngineView(parent))
    {
        m_loadConnection = QObject::connect(m_view, &QWebEngineView::loadFinished, m_view, std::move(loadFinished));
        // The view belongs to the window; we only follow it.
        m_destroyConnection = QObject::connect(m_view, &QObject::destroyed, [this] { m_view = nullptr; });
    }
    ~TWebEngineBackend() override
    {
        QObject::disconnect(m_destroyConnection);
        QObject::disconnect(m_loadConnection);
    }
    QWidget *Widget() override { return m_view; }
    void Load(const QUrl &url) override
    {
        if (m_view)
            m_view->load(url);
    }
    void RunScript(const QString &script, std::function<void(const QVariant &)> done) override
    {
        if (!m_view) {
            done(QVariant());
            return;
        }
        m_view->page()->runJavaScript(script, QWebEngineScript::MainWorld, [done](const QVariant &v) { done(v); });
    }

private:
    QWebEngineView *m_view;
    QMetaObject::Connection m_loadConnection;
    QMetaObject::Connection m_destroyConnection;
};
} // namespace

extern "C" Q_DECL_EXPORT TWebViewBackend *zudivuvo_webview_create(int interfaceVersion, QWidget *parent,
                                                                   std::function<void(bool ok)> loadFinished)
{
    if (interfaceVersion != kWebViewInterfaceVersion)
        return nullptr;
    return new TWebEngineBackend(parent, std::move(loadFinished));
}
