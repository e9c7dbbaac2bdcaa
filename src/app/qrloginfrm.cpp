#include "qrloginfrm.h"

#include "core/workpools.h"
#include "app/session.h"
#include "core/clientconfigx.h"
#include "platform/embeddedbrowser.h"
#include "platform/prompter.h"

#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

namespace {
const QString kCaption = QStringLiteral("提示");
}

QString TDuziDezLoginFrm::UserCodeScript()
{
    // "=" in front keeps an empty value apart from "no such input".
    return QStringLiteral("(function(){var l=document.getElementsByTagName('input');"
                          "for(var i=0;i<l.length;i++){if(l[i].name==='usercode')return '='+l[i].value;}"
                          "return null;})()");
}

TDuziDezLoginFrm::TDuziDezLoginFrm(TClientConfigX &config, const TServerAddress &server, THS_Language language,
                                   AddressFetch fetch, const BrowserFactory &factory, QWidget *parent)
    : QDialog(parent), m_config(config), m_server(server), m_language(language), m_fetch(std::move(fetch))
{
    setWindowTitle(QStringLiteral("扫码登录"));
    lbWait = new QLabel(QStringLiteral("正在得到登录地址，请稍等......"), this);
    lbWait->setAlignment(Qt::AlignCenter);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(lbWait);
    if (factory)
        m_browser = factory(this);
    if (m_browser) {
        layout->addWidget(m_browser->Widget(), 1);
        m_browser->Widget()->hide();
        connect(m_browser.get(), &TEmbeddedBrowser::loadFinished, this, [this] {
            if (!m_closed)
                tmPoll->start();
        });
    }
    tmPoll = new QTimer(this);
    tmPoll->setInterval(kPollMs);
    connect(tmPoll, &QTimer::timeout, this, &TDuziDezLoginFrm::poll);
    if (m_config.EnableQR() == 2)
        resize(540, 600);
    else
        resize(480, 480);
}

TDuziDezLoginFrm::~TDuziDezLoginFrm()
{
    m_closed = true;
    tmPoll->stop();
    // The page goes first, while the window is whole; a late script answer then finds it closed.
    if (m_browser)
        delete m_browser->Widget();
    m_browser.reset();
}

void TDuziDezLoginFrm::done(int result)
{
    m_closed = true;
    tmPoll->stop();
    QDialog::done(result);
}

void TDuziDezLoginFrm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_started)
        return;
    m_started = true;
    lbWait->show();
    if (!m_fetch) {
        onAddress(false, {});
        return;
    }
    struct Answer {
        bool ok = false;
        QString path;
    };
    // A late answer is dropped with the window: closing never waits for it.
    RunOnPool(RequestPool(), this, [fetch = m_fetch] {
        Answer a;
        a.ok = fetch(a.path);
        a.path = a.path.trimmed();
        return a;
    }, [this](const Answer &a) { onAddress(a.ok, a.path); });
}

void TDuziDezLoginFrm::onAddress(bool ok, const QString &path)
{
    if (m_closed)
        return;
    if (!ok || path.isEmpty() || !m_browser) {
        fail(QStringLiteral("得到扫码登录地址失败！"));
        return;
    }
    // Only a path on the login server itself: the answer cannot send the window elsewhere.
    const QString relative = path.startsWith(u'/') ? path : QLatin1Char('/') + path;
    m_browser->Load(QUrl(m_server.BaseUrl() + relative));
    m_browser->Widget()->show();
    lbWait->hide();
}

void TDuziDezLoginFrm::poll()
{
    if (m_closed || m_scriptRunning || !m_browser)
        return;
    m_scriptRunning = true;
    QPointer<TDuziDezLoginFrm> self(this);
    m_browser->RunScript(UserCodeScript(), [self](const QVariant &value) {
        if (!self)
            return;
        self->m_scriptRunning = false;
        self->onUserCode(value);
    });
}

void TDuziDezLoginFrm::onUserCode(const QVariant &value)
{
    // A script error or no such input yet: keep polling.
    const QString answer = value.typeId() == QMetaType::QString ? value.toString() : QString();
    if (m_closed || !answer.startsWith(u'=') || !tmPoll->isActive())
        return;
    tmPoll->stop();
    const QString v = answer.mid(1);
    if (v.isEmpty()) {
        fail(QStringLiteral("得到用户登录数据失败！"));
        return;
    }
    if (v.contains(QLatin1String("E:"))) {
        fail(v.mid(2, 128));
        return;
    }
    TSession session(m_config);
    if (!session.AcceptQrLogin(v)) {
        fail(QStringLiteral("得到用户登录数据失败！"));
        return;
    }
    FIsLogin = true;
    accept();
}

void TDuziDezLoginFrm::fail(const QString &text)
{
    TPrompter::Instance().Error(this, kCaption, text);
}
