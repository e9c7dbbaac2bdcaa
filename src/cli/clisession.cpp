#include "cli/clisession.h"

#include "core/helpers.h"
#include "net/robottcpclient.h"

#include <QFile>

#include <exception>

TCliSession::TCliSession(const TCliOptions &options) : m_options(options)
{
    m_conn = TServerConn::FromConfig(m_config);
    if (!options.Server.isEmpty()) {
        const QStringList parts = options.Server.split(u'#');
        const int port = parts.size() >= 2 ? StrToIntDef(parts.at(1), -1) : -1;
        if (parts.size() < 2 || parts.size() > 3 || parts.at(0).trimmed().isEmpty() || port <= 0 || port > 65535) {
            m_serverValid = false;
        } else {
            m_conn.Host = parts.at(0).trimmed();
            m_conn.Port = quint16(port);
            m_conn.SSL = parts.size() == 3 && StrToIntDef(parts.at(2), 0) != 0;
        }
    }
    // The terminal speaks English unless told otherwise, whatever the desktop client last used.
    m_conn.Language = options.Lang == HSL_CN ? HSL_CN : HSL_ENG;
}

bool TCliSession::checkSession()
{
    QString body;
    quint8 status = 0;
    try {
        auto c = m_conn.MakeClient(20000);
        c->PCancelFrames = m_cancel;
        status = c->GetMyGroups(body);
    } catch (const std::exception &e) {
        m_error = QStringLiteral("Cannot reach %1:%2: %3").arg(m_conn.Host).arg(m_conn.Port).arg(QString::fromUtf8(e.what()));
        return false;
    }
    if (status == st::Ok) {
        m_groups = body;
        return true;
    }
    m_stale = true;
    const int code = StrToIntDef(body.trimmed(), status);
    const bool cn = m_conn.Language == HSL_CN;
    QString why = ResultCodeText(code, m_conn.Language).trimmed();
    if (why.isEmpty())
        why = (cn ? QStringLiteral("结果代码 %1") : QStringLiteral("result code %1")).arg(code);
    m_error = (cn ? QStringLiteral("保存的登录（%1）已失效：%2。请重新登录：zudivuvo-cli --user 用户名 login")
                  : QStringLiteral("The saved login (%1) is no longer valid: %2. Log in again: zudivuvo-cli --user NAME login"))
                  .arg(m_userName.isEmpty() ? m_config.LoginName() : m_userName, why);
    return false;
}

bool TCliSession::login(const QString &name, const QString &password)
{
    TRobotTcpClient c(m_conn.SSL);
    c.Host = m_conn.Host;
    c.Port = m_conn.Port;
    c.ReadTimeout = 20000;
    c.PCancelFrames = m_cancel;
    c.FLanguage = m_conn.Language;
    TLoginReply reply;
    const quint8 st = c.Login(name, password, LoginMacValue(), m_conn.Host, QString::number(m_conn.Port), &reply);
    if (st != st::LoginOk) {
        m_error = QStringLiteral("Login to %1:%2 as %3 failed: %4")
                      .arg(m_conn.Host)
                      .arg(m_conn.Port)
                      .arg(name, c.GetLastError().isEmpty() ? QStringLiteral("no answer") : c.GetLastError().trimmed());
        return false;
    }
    m_conn.EncryptId = reply.UserId;
    m_ownerId = reply.UserId2;
    m_userName = reply.UserName;
    m_loginName = name;
    return true;
}

bool TCliSession::Connect()
{
    if (m_conn.Host.isEmpty() || m_conn.Port == 0) {
        m_error = QStringLiteral("No server: give --server HOST#PORT#TLS");
        return false;
    }
    if (!m_options.User.isEmpty()) {
        QString password;
        if (!m_options.PasswordFile.isEmpty()) {
            QFile f(m_options.PasswordFile);
            if (!f.open(QIODevice::ReadOnly)) {
                m_error = QStringLiteral("Cannot read the password file %1: %2").arg(m_options.PasswordFile, f.errorString());
                return false;
            }
            password = QString::fromUtf8(f.readLine()).trimmed();
        } else {
            password = qEnvironmentVariable("ZUDIVUVO_PASSWORD");
        }
        return login(m_options.User, password) && checkSession();
    }
    // The desktop client's saved login: automatic login data first, then the stored identity.
    if (m_config.AutoLogin() && !m_config.LoginName().isEmpty() && !m_config.LoginPassword().isEmpty())
        return login(m_config.LoginName(), m_config.LoginPassword()) && checkSession();
    if (!m_config.EncryptId().isEmpty()) {
        m_ownerId = m_config.OwnerId2();
        m_userName = m_config.OwnerName();
        return checkSession();
    }
    m_error = QStringLiteral("Not logged in: give --user NAME with --password-file or ZUDIVUVO_PASSWORD, or log in once with \"zudivuvo-cli login\"");
    return false;
}

TBatchSettings TCliSession::Settings() const
{
    TBatchSettings s;
    s.Conn = m_conn;
    s.UserName = m_userName;
    s.OnlyTimeCheck = m_config.GetValueEx(QStringLiteral("OnlyTimeCheck")) == QLatin1String("1");
    return s;
}

bool TCliSession::StoreLogin(QString *error)
{
    m_config.SetServerHost(m_conn.Host);
    m_config.SetServerPort(m_conn.Port);
    m_config.SetIsSSL(m_conn.SSL);
    m_config.SetEncryptId(m_conn.EncryptId);
    m_config.SetOwnerId2(m_ownerId);
    m_config.SetOwnerName(m_userName);
    if (!m_loginName.isEmpty())
        m_config.SetLoginName(m_loginName);
    if (!m_config.Save()) {
        if (error)
            *error = m_config.LastSaveError();
        return false;
    }
    return true;
}
