#pragma once
// The login dialog. The login itself is the owner's handler, which runs the
// request off the GUI thread and calls LoginFinished with the outcome.
#include "core/resultcodes.h"

#include <QDialog>
#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;
class TClientConfigX;

class TLoginFrm : public QDialog
{
    Q_OBJECT
public:
    using LoginHandler = std::function<void(TLoginFrm *dialog)>;
    using QrConfigProbe = std::function<int(const QString &host, int port, bool ssl)>;

    TLoginFrm(TClientConfigX &config, const QString &exePath, QWidget *parent = nullptr);

    void SetLoginHandler(LoginHandler handler) { FOnLogin = std::move(handler); }
    // Asked (off the GUI thread) whether scan-code login is offered; 0 = no.
    void SetQrConfigProbe(QrConfigProbe probe) { m_qrProbe = std::move(probe); }
    // Fill from the store, as the start-up sequence does before showing it.
    void Fill();
    // The same with the saved password as read from the keyring or the file.
    void Fill(const QString &savedPassword);
    // Message 1525: show the scan-code panel when the server offers it.
    void CheckQr();

    QString NickName() const;
    QString Password() const;
    QString ServerIp() const;
    QString PortText() const;
    bool Ssl() const;

    // Called by the handler: true closes the dialog, false shows error and keeps it open.
    void LoginFinished(bool ok, const QString &error);
    bool FIsLogined = false;
    bool IsBusy() const { return m_busy; }

    // Test access to the controls by their names.
    QLineEdit *edtIp = nullptr;
    QLineEdit *edtPort = nullptr;
    QCheckBox *chbSSL = nullptr;
    QLineEdit *edtNickName = nullptr;
    QLineEdit *edtPass = nullptr;
    QCheckBox *chkAutoLogin = nullptr;
    QCheckBox *chbAutoRun = nullptr;
    QLabel *lbShortcut = nullptr;
    QPushButton *Button1 = nullptr;
    QPushButton *Button2 = nullptr;
    QWidget *plQR = nullptr;
    QPushButton *btWeixin = nullptr;

Q_SIGNALS:
    void qrLoginRequested();  // message 1526 to the main window

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onButton1();
    void onSslClicked(bool checked);
    void onAutoLoginClicked(bool checked);
    void onShortcut();
    void onWeixin();
    void setBusy(bool busy);
    QString tr2(const char *cn, const char *en) const;

    TClientConfigX &m_config;
    QString m_exePath;
    THS_Language m_language;
    LoginHandler FOnLogin;
    QrConfigProbe m_qrProbe;
    bool m_busy = false;
    QString m_probing;   // the address whose scan-code probe is running
};
