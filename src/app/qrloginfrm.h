#pragma once
// Scan-code login: the server's page in an embedded browser, polled for the
// input "usercode" that carries the identity once a phone has signed in.
#include "app/sessionbackend.h"
#include "core/resultcodes.h"

#include <QDialog>
#include <QPointer>

#include <functional>
#include <memory>

class QLabel;
class QTimer;
class TClientConfigX;
class TEmbeddedBrowser;

class TDuziDezLoginFrm : public QDialog
{
    Q_OBJECT
public:
    using BrowserFactory = std::function<std::unique_ptr<TEmbeddedBrowser>(QWidget *parent)>;
    // Blocking, run off the GUI thread: the page path from "/QRLogin?opr=url"; false on failure.
    using AddressFetch = std::function<bool(QString &path)>;

    static constexpr int kPollMs = 800;
    // "=" and the value of the first input named "usercode"; null when there is none.
    static QString UserCodeScript();

    TDuziDezLoginFrm(TClientConfigX &config, const TServerAddress &server, THS_Language language,
                     AddressFetch fetch, const BrowserFactory &factory, QWidget *parent = nullptr);
    ~TDuziDezLoginFrm() override;

    bool FIsLogin = false;

    QLabel *lbWait = nullptr;
    QTimer *tmPoll = nullptr;
    TEmbeddedBrowser *Browser() const { return m_browser.get(); }

    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void onAddress(bool ok, const QString &path);
    void poll();
    void onUserCode(const QVariant &value);
    void fail(const QString &text);

    TClientConfigX &m_config;
    TServerAddress m_server;
    THS_Language m_language;
    AddressFetch m_fetch;
    std::unique_ptr<TEmbeddedBrowser> m_browser;
    bool m_started = false;
    bool m_closed = false;  // late answers after closing change nothing
    bool m_scriptRunning = false;
};
