#include "app/settingsfrms.h"

#include "core/clientconfigx.h"
#include "core/folders.h"
#include "files/asyncrun.h"
#include "files/filetexts.h"
#include "files/getpathfrm.h"
#include "net/pipetcpclient.h"
#include "net/sslhttp.h"
#include "net/webendpoints.h"
#include "platform/prompter.h"

#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr int kTestTimeoutMs = 10000;
constexpr int kPasswordTimeoutMs = 30000;

QFont windowFont(THS_Language lang)
{
    return QFont(lang == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9);
}
} // namespace

namespace SettingsRules {

bool ReadServerAddress(const QString &ipText, const QString &portText, QString &ip, int &port)
{
    ip = ipText.trimmed();
    bool ok = false;
    port = portText.trimmed().toInt(&ok);
    // A port beyond 65535 would wrap to another port on the wire.
    return ok && port > 0 && port <= 65535;
}

QString PasswordError(const QString &oldPs, const QString &newPs, const QString &confirm, THS_Language lang)
{
    if (newPs.size() < 4 || newPs.size() > 20)
        return LangText(lang, "密码长度在4～20个字符之间！", "Password length must be between 4 and 20 characters!");
    if (newPs != confirm)
        return LangText(lang, "二次输入的密码不相同！", "The two passwords you entered do not match!");
    if (oldPs == newPs)
        return LangText(lang, "新密码不能和原来的密码相同！", "New password can not be the same as the original password!");
    return {};
}

} // namespace SettingsRules

// ---- server address

TSetServerHostFrm::TSetServerHostFrm(TClientConfigX &config, QWidget *parent)
    : QDialog(parent)
    , m_config(config)
    , FHS_Language(config.Language())
{
    Ip = config.ServerHost();
    Port = config.ServerPort();
    setWindowTitle(tx("服务器地址设置", "Server address setting"));
    setFont(windowFont(FHS_Language));
    auto *group = new QGroupBox(tx("设置服务器地址、端口", " Set server address and port "), this);
    edtIp = new QLineEdit(Ip, group);
    edtPort = new QLineEdit(QString::number(Port), group);
    auto *grid = new QGridLayout(group);
    grid->addWidget(new QLabel(tx("地址：", "Address:"), group), 0, 0);
    grid->addWidget(edtIp, 0, 1);
    grid->addWidget(new QLabel(tx("端口：", "Port:"), group), 1, 0);
    grid->addWidget(edtPort, 1, 1);
    auto *note = new QLabel(tx("系统默认值是80，或者和系统管理员联系", "Default port number is 80."), group);
    note->setWordWrap(true);
    grid->addWidget(note, 2, 1);
    grid->setColumnStretch(1, 1);
    bbtConnect = new QPushButton(tx("连接测试", "Connection test"), this);
    bbtSave = new QPushButton(tx("保存设置", "Save Settings"), this);
    bbtSave->setDefault(true);
    BitBtn1 = new QPushButton(tx("取消", "Cancel"), this);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(bbtConnect);
    buttons->addStretch();
    buttons->addWidget(bbtSave);
    buttons->addWidget(BitBtn1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(buttons);
    setMinimumWidth(400);

    connect(bbtConnect, &QPushButton::clicked, this, [this] {
        if (validate())
            runTest(false);
    });
    connect(bbtSave, &QPushButton::clicked, this, [this] {
        if (validate())
            runTest(true);
    });
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::reject);
}

QString TSetServerHostFrm::tx(const char *cn, const char *en) const
{
    return LangText(FHS_Language, cn, en);
}

bool TSetServerHostFrm::validate()
{
    QString ip;
    int port = 0;
    const bool ok = SettingsRules::ReadServerAddress(edtIp->text(), edtPort->text(), ip, port);
    edtIp->setText(ip);
    if (!ok) {
        TPrompter::Instance().Error(this, tx("提示", "Hint"), tx("输入的端口错误，重新输入！", "Port error, please enter it again! "));
        return false;
    }
    Ip = ip;
    Port = port;
    return true;
}

void TSetServerHostFrm::runTest(bool save)
{
    const QString host = Ip;
    const int port = Port;
    const bool ssl = m_config.IsSSL();
    // The buttons wait for the answer; the window stays responsive and can be closed.
    bbtConnect->setEnabled(false);
    bbtSave->setEnabled(false);
    RunAsync(this, [host, port, ssl] {
        TPipeTcpClient client(ssl);
        client.Host = host;
        client.Port = quint16(port);
        client.ConnectTimeout = kTestTimeoutMs;
        client.ReadTimeout = kTestTimeoutMs;
        return client.IP_Test();
    }, [this, save, host, port](bool passed) {
        bbtConnect->setEnabled(true);
        bbtSave->setEnabled(true);
        const QString hint = tx("提示", "Hint");
        if (passed && save) {
            m_config.SetServerHost(host);
            m_config.SetServerPort(port);
            if (!m_config.Save()) {
                TPrompter::Instance().Error(this, hint, m_config.LastSaveError());
                Q_EMIT testFinished(false);
                return;
            }
        }
        if (passed)
            TPrompter::Instance().Info(this, hint, tx("成功连接服务器！", "Connected to server successfully! "));
        else
            TPrompter::Instance().Error(this, hint, tx("连接服务器失败！", "Failed to connect to server! "));
        Q_EMIT testFinished(passed);
        if (save) {
            if (passed)
                accept();
            else
                reject();
        }
    });
}

// ---- work folder

TWorkPathFrm::TWorkPathFrm(TClientConfigX &config, QWidget *parent)
    : QDialog(parent)
    , m_config(config)
    , FHS_Language(config.Language())
{
    FPath = config.WorkRoot();
    setWindowTitle(tx("工作目录设置", "Working directory settings"));
    setFont(windowFont(FHS_Language));
    edtFolder = new QLineEdit(FPath, this);
    bbtSave = new QPushButton(tx("保存", "Save"), this);
    bbtSave->setDefault(true);
    BitBtn1 = new QPushButton(tx("取消", "Cancel"), this);
    BitBtn2 = new QPushButton(tx("选择", "Select"), this);
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(tx("选择文件夹：", "Select a folder:"), this));
    row->addWidget(edtFolder, 1);
    row->addWidget(BitBtn2);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(bbtSave);
    buttons->addWidget(BitBtn1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addLayout(buttons);
    // Wide enough for a work folder of a usual depth to show whole.
    setMinimumWidth(620);

    FPickFolder = [this](const QString &caption, const QString &start) {
        return TGetPathFrm::Pick(this, FHS_Language, caption, start);
    };
    connect(BitBtn2, &QPushButton::clicked, this, [this] {
        const QString chosen = FPickFolder(tx("选择本地上传文件夹", "Select a local upload folder"), FPath);
        if (!chosen.isEmpty()) {
            FPath = chosen;
            edtFolder->setText(chosen);
        }
    });
    connect(bbtSave, &QPushButton::clicked, this, &TWorkPathFrm::Save);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::reject);
}

QString TWorkPathFrm::tx(const char *cn, const char *en) const
{
    return LangText(FHS_Language, cn, en);
}

void TWorkPathFrm::Save()
{
    const QString hint = tx("提示", "Hint");
    FPath = edtFolder->text().trimmed();
    if (FPath.isEmpty()) {
        // A Save that does nothing looks like a saved setting.
        TPrompter::Instance().Error(this, hint, tx("请选择或输入本地保存路径！", "Choose or type a local save folder!"));
        return;
    }
    if (!QFileInfo(FPath).isDir()) {
        if (!TPrompter::Instance().Ask(this, hint, tx("不存在的本地保存路径，是否新建路径？",
                                                      "The local save path does not exist, will you create a new path?")))
            return;
        if (!ForceFileFolder(FPath)) {
            TPrompter::Instance().Error(this, hint, tx("新建本地保存路径失败！", "Failed to create a new local save path!")
                                                        + QStringLiteral("\r\n") + QDir::toNativeSeparators(FPath));
            return;
        }
    }
    m_config.SetWorkRoot(FPath);
    if (!m_config.Save()) {
        // Saying "saved" here would send the user off to restart for nothing.
        TPrompter::Instance().Error(this, hint, m_config.LastSaveError());
        return;
    }
    TPrompter::Instance().Info(this, hint, tx("成功保存，重启客户端程序才能生效！",
                                              "Successfully saved. The client program should be restarted so the changes can take effect! "));
    accept();
}

// ---- password

TUpdateUserPasswordFrm::TUpdateUserPasswordFrm(const TClientConfigX &config, QWidget *parent)
    : QDialog(parent)
    , m_baseUrl(config.ServerBaseUrl())
    , m_ssl(config.IsSSL())
    , m_userId(config.OwnerId2())
    , FHS_Language(config.Language())
{
    setWindowTitle(tx("密码修改", "Modify password"));
    setFont(windowFont(FHS_Language));
    auto masked = [this] {
        auto *e = new QLineEdit(this);
        e->setEchoMode(QLineEdit::Password);
        e->setMaxLength(64);
        return e;
    };
    edtOldPs = masked();
    edtNewPs = masked();
    edtNewPs2 = masked();
    btUpdate = new QPushButton(tx("修改", "Modify"), this);
    btUpdate->setDefault(true);
    btCancel = new QPushButton(tx("取消", "Cancel"), this);
    auto *grid = new QGridLayout;
    grid->addWidget(new QLabel(tx("原密码", "Old password:"), this), 0, 0);
    grid->addWidget(edtOldPs, 0, 1);
    grid->addWidget(new QLabel(tx("新密码", "New password:"), this), 1, 0);
    grid->addWidget(edtNewPs, 1, 1);
    grid->addWidget(new QLabel(tx("密码确认", "Confirm:"), this), 2, 0);
    grid->addWidget(edtNewPs2, 2, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btUpdate);
    buttons->addWidget(btCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    setMinimumWidth(320);

    connect(btUpdate, &QPushButton::clicked, this, &TUpdateUserPasswordFrm::Update);
    connect(btCancel, &QPushButton::clicked, this, &QDialog::reject);
}

QString TUpdateUserPasswordFrm::tx(const char *cn, const char *en) const
{
    return LangText(FHS_Language, cn, en);
}

void TUpdateUserPasswordFrm::Update()
{
    const QString hint = tx("提示", "Hint");
    const QString oldPs = edtOldPs->text(), newPs = edtNewPs->text();
    const QString error = SettingsRules::PasswordError(oldPs, newPs, edtNewPs2->text(), FHS_Language);
    if (!error.isEmpty()) {
        TPrompter::Instance().Error(this, hint, error);
        return;
    }
    const QString url = WebEndpoints::ModifyPassword(m_baseUrl, m_userId, oldPs, newPs);
    const bool ssl = m_ssl;
    btUpdate->setEnabled(false);
    struct Answer {
        bool Ok = false;
        QString Text;
    };
    RunAsync(this, [url, ssl] {
        Answer a;
        QByteArray body;
        a.Ok = TSSLHttp(ssl).Get(url, kPasswordTimeoutMs, &body, &a.Text, 64 * 1024);
        if (a.Ok)
            a.Text = QString::fromUtf8(body).trimmed();
        return a;
    }, [this, hint](const Answer &a) {
        btUpdate->setEnabled(true);
        if (a.Ok && a.Text == QLatin1String("ok")) {
            TPrompter::Instance().Info(this, hint, tx("密码成功修改！", "Password successfully changed!"));
            Q_EMIT answered(true);
            accept();
            return;
        }
        TPrompter::Instance().Info(this, hint, a.Text);
        Q_EMIT answered(false);
    });
}
