#include "app/loginfrm.h"

#include "core/workpools.h"
#include "platform/prompter.h"
#include "core/clientconfigx.h"
#include "core/helpers.h"
#include "platform/shellintegration.h"

#include <QCheckBox>
#include <QDir>
#include <QEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

TLoginFrm::TLoginFrm(TClientConfigX &config, const QString &exePath, QWidget *parent)
    : QDialog(parent)
    , m_config(config)
    , m_exePath(exePath)
    , m_language(config.Language())
{
    setObjectName(QStringLiteral("TLoginFrm"));
    const bool cn = m_language == HSL_CN;
    setFont(cn ? QFont(QStringLiteral("宋体"), 9) : QFont(QStringLiteral("Tahoma"), 9));
    setWindowTitle(tr2("登录", "Login"));

    auto *server = new QGroupBox(tr2("服务器连接参数", "Server's connection parameters"), this);
    auto *serverForm = new QFormLayout(server);
    edtIp = new QLineEdit(server);
    edtIp->setObjectName(QStringLiteral("edtIp"));
    edtPort = new QLineEdit(server);
    edtPort->setObjectName(QStringLiteral("edtPort"));
    chbSSL = new QCheckBox(tr2("此服务器要求安全连接SSL", "This server requires a secure connection (SSL). "), server);
    chbSSL->setObjectName(QStringLiteral("chbSSL"));
    serverForm->addRow(tr2("地址：", "Address:"), edtIp);
    serverForm->addRow(tr2("端口：", "Port:"), edtPort);
    serverForm->addRow(QString(), chbSSL);

    auto *user = new QGroupBox(tr2("用户登录参数", "User log parameters"), this);
    auto *userForm = new QFormLayout(user);
    edtNickName = new QLineEdit(user);
    edtNickName->setObjectName(QStringLiteral("edtNickName"));
    edtNickName->setPlaceholderText(tr2("用户名或者电子邮件", "Username or E-mail "));
    edtPass = new QLineEdit(user);
    edtPass->setObjectName(QStringLiteral("edtPass"));
    edtPass->setEchoMode(QLineEdit::Password);
    chkAutoLogin = new QCheckBox(tr2("用此用户信息自动登录系统", "Automatically login"), user);
    chkAutoLogin->setObjectName(QStringLiteral("chkAutoLogin"));
    chbAutoRun = new QCheckBox(tr2("开机自动启动", "Boot automatically activated"), user);
    chbAutoRun->setObjectName(QStringLiteral("chbAutoRun"));
    lbShortcut = new QLabel(QStringLiteral("<a href=\"#\">%1</a>").arg(tr2("创建桌面快捷方式", "Create shortcut")), user);
    lbShortcut->setObjectName(QStringLiteral("lbShortcut"));
    userForm->addRow(tr2("用户名：", "User Name:"), edtNickName);
    userForm->addRow(tr2("密码：", "Password:"), edtPass);
    userForm->addRow(QString(), chkAutoLogin);
    userForm->addRow(QString(), chbAutoRun);
    userForm->addRow(QString(), lbShortcut);

    plQR = new QWidget(this);
    auto *qrLayout = new QHBoxLayout(plQR);
    btWeixin = new QPushButton(QStringLiteral("扫描登录"), plQR);
    btWeixin->setObjectName(QStringLiteral("btWeixin"));
    qrLayout->addWidget(btWeixin);
    plQR->hide();

    Button1 = new QPushButton(tr2("登录", "Login"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setDefault(true);
    Button2 = new QPushButton(tr2("取消", "Cancel"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(plQR);
    buttons->addStretch();
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(server);
    layout->addWidget(user);
    layout->addLayout(buttons);

    connect(Button1, &QPushButton::clicked, this, &TLoginFrm::onButton1);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
    connect(chbSSL, &QCheckBox::clicked, this, &TLoginFrm::onSslClicked);
    connect(chkAutoLogin, &QCheckBox::clicked, this, &TLoginFrm::onAutoLoginClicked);
    connect(lbShortcut, &QLabel::linkActivated, this, &TLoginFrm::onShortcut);
    connect(btWeixin, &QPushButton::clicked, this, &TLoginFrm::onWeixin);
    edtIp->installEventFilter(this);
    edtPort->installEventFilter(this);

    chbAutoRun->setChecked(ShellIntegration::IsAutostart(m_exePath));
}

QString TLoginFrm::tr2(const char *cn, const char *en) const
{
    return m_language == HSL_CN ? QString::fromUtf8(cn) : QString::fromUtf8(en);
}

void TLoginFrm::Fill()
{
    Fill(m_config.LoginPassword());
}

void TLoginFrm::Fill(const QString &savedPassword)
{
    edtIp->setText(m_config.ServerHost());
    edtPort->setText(QString::number(m_config.ServerPort()));
    chbSSL->setChecked(m_config.IsSSL());
    edtNickName->setText(m_config.LoginName());
    edtPass->setText(savedPassword);
    chkAutoLogin->setChecked(m_config.AutoLogin());
    onAutoLoginClicked(chkAutoLogin->isChecked());
}

QString TLoginFrm::NickName() const { return edtNickName->text(); }
QString TLoginFrm::Password() const { return edtPass->text(); }
QString TLoginFrm::ServerIp() const { return edtIp->text().trimmed(); }
QString TLoginFrm::PortText() const { return edtPort->text().trimmed(); }
bool TLoginFrm::Ssl() const { return chbSSL->isChecked(); }

void TLoginFrm::onSslClicked(bool checked)
{
    if (checked && edtPort->text() == QLatin1String("80"))
        edtPort->setText(QStringLiteral("443"));
    else if (!checked && edtPort->text() == QLatin1String("443"))
        edtPort->setText(QStringLiteral("80"));
}

void TLoginFrm::onAutoLoginClicked(bool checked)
{
    m_config.SetSaveLoginInfo(checked);
    m_config.SetSavePassword(checked);
    m_config.Save();
}

void TLoginFrm::onShortcut()
{
    const QString name = m_language == HSL_CN ? QStringLiteral("Kelvo文档管理客户端") : QStringLiteral("KelVo Client");
    if (!ShellIntegration::CreateDesktopShortcut(m_exePath, name)) {
        const QString desktop = QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
        TPrompter::Instance().Error(this, tr2("提示", "Hint"),
                                    tr2("无法在桌面文件夹 %1 中创建快捷方式。", "The shortcut could not be created in the desktop folder %1.")
                                        .arg(desktop));
        return;
    }
    TPrompter::Instance().Info(this, tr2("提示", "Hint"), tr2("成功创建桌面快捷方式", "Create shortcut successfully"));
}

void TLoginFrm::setBusy(bool busy)
{
    m_busy = busy;
    for (QWidget *w : {static_cast<QWidget *>(edtIp), static_cast<QWidget *>(edtPort), static_cast<QWidget *>(chbSSL),
                       static_cast<QWidget *>(edtNickName), static_cast<QWidget *>(edtPass),
                       static_cast<QWidget *>(Button1), static_cast<QWidget *>(btWeixin)})
        w->setEnabled(!busy);
    setCursor(busy ? Qt::BusyCursor : Qt::ArrowCursor);
}

void TLoginFrm::onButton1()
{
    if (m_busy)
        return;
    ShellIntegration::SetAutostart(m_exePath, chbAutoRun->isChecked());
    if (ServerIp().isEmpty()) {
        TPrompter::Instance().Error(this, tr2("提示", "Hint"), tr2("请先设置服务器地址和端口！", "Please enter the server's address and port."));
        return;
    }
    if (!FOnLogin)
        return;
    setBusy(true);
    FOnLogin(this);
}

void TLoginFrm::LoginFinished(bool ok, const QString &error)
{
    setBusy(false);
    FIsLogined = ok;
    if (ok) {
        accept();
        return;
    }
    TPrompter::Instance().Error(this, tr2("提示", "Hint"), error);
}

void TLoginFrm::CheckQr()
{
    if (m_config.EnableQR() > 0) {
        plQR->show();
        return;
    }
    const QString host = ServerIp();
    const int port = StrToIntDef(PortText(), 0);
    if (host.isEmpty() || port <= 0 || !m_qrProbe)
        return;
    const bool ssl = Ssl();
    // Every focus change asks again: one probe per address at a time is enough.
    const QString address = host + u'#' + QString::number(port) + u'#' + QString::number(int(ssl));
    if (m_probing == address)
        return;
    m_probing = address;
    auto probe = m_qrProbe;
    // A late answer is dropped with the dialog: closing never waits for it.
    RunOnPool(RequestPool(), this, [probe, host, port, ssl] { return probe(host, port, ssl); },
              [this, address](int v) {
                  if (m_probing == address)
                      m_probing.clear();
                  // The user typed another server meanwhile: this answer is not about it.
                  if (ServerIp() + u'#' + QString::number(StrToIntDef(PortText(), 0)) + u'#'
                          + QString::number(int(Ssl())) != address)
                      return;
                  plQR->setVisible(v > 0);
                  m_config.SetEnableQR(v);
                  m_config.Save();
              });
}

void TLoginFrm::onWeixin()
{
    const int port = StrToIntDef(PortText(), 0);
    if (ServerIp().isEmpty() || port <= 0) {
        TPrompter::Instance().Error(this, tr2("提示", "Hint"), QStringLiteral("请先设置服务器地址和端口！"));
        return;
    }
    m_config.SetServerHost(ServerIp());
    m_config.SetServerPort(port);
    m_config.SetIsSSL(Ssl());
    m_config.Save();
    Q_EMIT qrLoginRequested();
    reject();
}

bool TLoginFrm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut && (watched == edtIp || watched == edtPort))
        CheckQr();
    return QDialog::eventFilter(watched, event);
}
