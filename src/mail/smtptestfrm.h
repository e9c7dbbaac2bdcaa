#pragma once
// The administrator's mail test: the settings a web page handed over, one
// test mail through them, and a log of what happened.
#include "mail/smtpex.h"

#include <QDialog>

#include <atomic>
#include <memory>

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TSmtpTestFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TSmtpTestFrm(QWidget *parent = nullptr);
    ~TSmtpTestFrm() override;

    void SetLanguage(THS_Language value);
    void ParamInti(const QString &txt);
    bool IsBusy() const { return m_busy; }

    bool FIsOkay = false;
    QString FErrorInfo;

    QLineEdit *edtHost = nullptr;
    QLineEdit *edtPort = nullptr;
    QLineEdit *edtEmail = nullptr;
    QLineEdit *edtPassword = nullptr;
    QComboBox *cbAuth = nullptr;
    QLineEdit *edtCertificate = nullptr;   // a PEM file to trust besides the system's CAs
    QLineEdit *edtRecipients = nullptr;
    QLineEdit *edtSubject = nullptr;
    QPlainTextEdit *memoBody = nullptr;
    QPushButton *btnSend = nullptr;
    QPlainTextEdit *memoLog = nullptr;

public Q_SLOTS:
    void btnSendClick();

Q_SIGNALS:
    void sendFinished(bool ok);

private:
    THS_Language FLanguage = HSL_CN;
    TSmtpParams m_params;
    bool m_busy = false;
    std::shared_ptr<std::atomic<bool>> m_cancel = std::make_shared<std::atomic<bool>>(false);
    QString WLS_Port, WLS_Hint, WLS_TestTitle, WLS_TestBody;
    struct Labels;
    std::unique_ptr<Labels> m_labels;
};
