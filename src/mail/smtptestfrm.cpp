#include "mail/smtptestfrm.h"

#include "core/workpools.h"
#include "platform/prompter.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
QString lang(THS_Language l, const char *cn, const char *en)
{
    return l == HSL_CN ? QString::fromUtf8(cn) : QString::fromUtf8(en);
}
} // namespace

struct TSmtpTestFrm::Labels {
    QGroupBox *settings, *test, *log;
    QLabel *host, *port, *address, *password, *auth, *certificate, *recipients, *subject, *body;
};

TSmtpTestFrm::TSmtpTestFrm(QWidget *parent)
    : QDialog(parent)
    , m_labels(std::make_unique<Labels>())
{
    setObjectName(QStringLiteral("TSmtpTestFrm"));
    Labels &l = *m_labels;
    l.settings = new QGroupBox(this);
    edtHost = new QLineEdit(l.settings);
    edtPort = new QLineEdit(QStringLiteral("25"), l.settings);
    edtEmail = new QLineEdit(l.settings);
    edtPassword = new QLineEdit(l.settings);
    edtPassword->setEchoMode(QLineEdit::Password);
    cbAuth = new QComboBox(l.settings);
    edtCertificate = new QLineEdit(l.settings);
    auto *sf = new QFormLayout(l.settings);
    sf->addRow(l.host = new QLabel(l.settings), edtHost);
    sf->addRow(l.port = new QLabel(l.settings), edtPort);
    sf->addRow(l.address = new QLabel(l.settings), edtEmail);
    sf->addRow(l.password = new QLabel(l.settings), edtPassword);
    sf->addRow(l.auth = new QLabel(l.settings), cbAuth);
    sf->addRow(l.certificate = new QLabel(l.settings), edtCertificate);

    l.test = new QGroupBox(this);
    edtRecipients = new QLineEdit(l.test);
    edtSubject = new QLineEdit(l.test);
    memoBody = new QPlainTextEdit(l.test);
    memoBody->setMaximumHeight(80);
    btnSend = new QPushButton(l.test);
    auto *tf = new QFormLayout(l.test);
    tf->addRow(l.recipients = new QLabel(l.test), edtRecipients);
    tf->addRow(l.subject = new QLabel(l.test), edtSubject);
    tf->addRow(l.body = new QLabel(l.test), memoBody);
    tf->addRow(QString(), btnSend);

    l.log = new QGroupBox(this);
    memoLog = new QPlainTextEdit(l.log);
    memoLog->setReadOnly(true);
    auto *lf = new QVBoxLayout(l.log);
    lf->addWidget(memoLog);

    auto *root = new QVBoxLayout(this);
    root->addWidget(l.settings);
    root->addWidget(l.test);
    root->addWidget(l.log, 1);
    resize(460, 560);
    connect(btnSend, &QPushButton::clicked, this, &TSmtpTestFrm::btnSendClick);
    SetLanguage(HSL_CN);
}

TSmtpTestFrm::~TSmtpTestFrm()
{
    // A send still on the wire stops unseen.
    *m_cancel = true;
}

void TSmtpTestFrm::SetLanguage(THS_Language value)
{
    FLanguage = value;
    const THS_Language v = value;
    WLS_Port = lang(v, "输入正确的服务器端口号", "Port Error");
    WLS_Hint = lang(v, "提示", "Hint");
    WLS_TestTitle = lang(v, "文档管理系统邮件测试消息", "E-mail test message from Document Management System");
    WLS_TestBody = lang(v, "在测试您的SMTP设置时, 文档管理系统会自动发送该电子邮件。",
                        "The document management system will automatically send an e-mail message while testing "
                        "your SMTP settings.");
    setWindowTitle(lang(v, "Mail测试", "Mail test"));
    setFont(QFont(v == HSL_CN ? QStringLiteral("宋体") : QStringLiteral("Tahoma"), 9));
    Labels &l = *m_labels;
    l.settings->setTitle(lang(v, "SMTP设置", "SMTP settings"));
    l.host->setText(lang(v, "服务器地址或者IP：", "Host or IP:"));
    l.port->setText(lang(v, "服务器端口：", "Port:"));
    l.address->setText(lang(v, "邮件地址：", "Email:"));
    l.password->setText(lang(v, "密码：", "Password:"));
    l.auth->setText(lang(v, "验证方式：", "Authentication:"));
    l.certificate->setText(lang(v, "信任的证书(PEM)：", "Trusted certificate (PEM):"));
    edtCertificate->setPlaceholderText(lang(v, "空：只信任系统的证书", "empty: the system's certificates only"));
    l.test->setTitle(lang(v, "邮件测试", "Mail test"));
    l.recipients->setText(lang(v, "收件人：", "Recipients:"));
    l.subject->setText(lang(v, "邮件标题：", "Subject:"));
    l.body->setText(lang(v, "邮件内容：", "Body:"));
    btnSend->setText(lang(v, "发送测试邮件", "Send Mail"));
    l.log->setTitle(lang(v, "测试日志", "Test Log"));
    const int chosen = cbAuth->count() == 3 ? cbAuth->currentIndex() : 1;
    cbAuth->clear();
    if (v == HSL_CN)
        cbAuth->addItems({QStringLiteral("空验证"), QStringLiteral("默认验证"), QStringLiteral("服务器要求安全链接(SSL)")});
    else
        cbAuth->addItems({QStringLiteral("None"), QStringLiteral("Default"), QStringLiteral("SSL")});
    cbAuth->setCurrentIndex(chosen);
}

void TSmtpTestFrm::ParamInti(const QString &txt)
{
    m_params = StrToSmtpParams(txt, false);
    edtHost->setText(m_params.Host);
    edtPort->setText(QString::number(m_params.Port));
    edtEmail->setText(m_params.Username);
    edtPassword->setText(m_params.PassWord);
    cbAuth->setCurrentIndex(m_params.AuthType == satSASL ? 2 : m_params.AuthType == satDefault ? 1 : 0);
    // The address alone: a display name after "&" is no part of a recipient.
    edtRecipients->setText(m_params.Username.section(u'&', 0, 0).trimmed());
    edtSubject->setText(WLS_TestTitle);
    edtSubject->setCursorPosition(0);
    memoBody->setPlainText(WLS_TestBody);
}

void TSmtpTestFrm::btnSendClick()
{
    if (m_busy)
        return;
    bool ok = false;
    const int port = edtPort->text().trimmed().toInt(&ok);
    if (!ok || port == 0) {
        TPrompter::Instance().Error(this, WLS_Hint, WLS_Port);
        return;
    }
    TSmtpParams p = m_params;
    p.Host = edtHost->text();
    p.Port = port;
    p.Username = edtEmail->text();
    p.PassWord = edtPassword->text();
    p.TrustedCertificate = edtCertificate->text().trimmed();
    const int auth = cbAuth->currentIndex();
    p.AuthType = auth == 2 ? satSASL : auth == 1 ? satDefault : satNone;
    memoLog->clear();
    FIsOkay = false;
    FErrorInfo.clear();
    m_busy = true;
    btnSend->setEnabled(false);

    const QString recipients = edtRecipients->text(), body = memoBody->toPlainText(), subject = edtSubject->text();
    const THS_Language language = FLanguage;
    std::shared_ptr<std::atomic<bool>> cancel = m_cancel;
    QPointer<QPlainTextEdit> logBox(memoLog);
    struct Outcome {
        bool ok = false;
        QString error;
    };
    RunOnPool(RequestPool(), this, [p, recipients, body, subject, language, cancel, logBox] {
        TSmtpEx smtp;
        smtp.PIsBreak = cancel.get();
        smtp.FOnSmtpLog = [logBox](const QString &line) {
            QMetaObject::invokeMethod(QCoreApplication::instance(), [logBox, line] {
                if (!logBox)
                    return;
                logBox->moveCursor(QTextCursor::End);
                logBox->insertPlainText(line + QStringLiteral("    \n"));
            }, Qt::QueuedConnection);
        };
        smtp.SetLanguage(language);
        smtp.SetSmtpSrvParams(p);
        Outcome o;
        o.ok = smtp.SendEx(recipients, QString(), body, subject, QString());
        o.error = smtp.LastError();
        return o;
    }, [this](const Outcome &o) {
        m_busy = false;
        btnSend->setEnabled(true);
        FIsOkay = o.ok;
        FErrorInfo = o.error;
        if (!o.ok) {
            memoLog->moveCursor(QTextCursor::End);
            memoLog->insertPlainText(o.error + QStringLiteral("    \n"));
        }
        Q_EMIT sendFinished(o.ok);
    });
}
