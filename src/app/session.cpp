#include "app/session.h"

#include "core/aes.h"
#include "core/clientconfigx.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "platform/savedpassword.h"

#include <utility>

QString TServerAddress::BaseUrl() const
{
    return (SSL ? QLatin1String("https://") : QLatin1String("http://")) + Host + QLatin1Char(':') + QString::number(Port);
}

TSession::TSession(TClientConfigX &config)
    : m_config(config)
{
    TakeServerFromStore();
}

void TSession::TakeServerFromStore()
{
    FServerSSL = m_config.IsSSL();
    FServerIp = m_config.ServerHost();
    FServerPort = m_config.ServerPort();
}

bool TSession::TryWebSession()
{
    TakeServerFromStore();
    return m_config.StartStyle() == SS_ACTIVTX && m_config.OwnerId2() > 0 && !m_config.EncryptId().isEmpty()
           && !m_config.OwnerName().isEmpty();
}

bool TSession::WantsAutoLogin() const
{
    return m_config.AutoLogin();
}

QString TSession::SavedLoginName() const
{
    return m_config.LoginName();
}

QString TSession::SavedPassword() const
{
    return m_passwordRead ? m_savedPassword : m_config.LoginPassword();
}

void TSession::SetSavedPassword(const QString &password)
{
    m_savedPassword = password;
    m_passwordRead = true;
}

QString TSession::TakePlaceNotice()
{
    return std::exchange(m_placeNotice, QString());
}

void TSession::storeIdentity(const TLoginResult &r)
{
    m_config.SetOwnerName(r.UserName);
    m_config.SetOwnerId2(r.UserId2);
    m_config.SetEncryptId(r.UserId);
}

void TSession::AcceptAutoLogin(const TLoginResult &r)
{
    storeIdentity(r);
    m_config.Save();
}

int TSession::DialogPort(const QString &portText, bool ssl)
{
    const int p = StrToIntDef(portText.trimmed(), 0);
    if (p > 0)
        return p;
    return ssl ? 443 : 80;
}

void TSession::SetDialogServer(const QString &ip, const QString &portText, bool ssl)
{
    FServerSSL = ssl;
    FServerIp = ip.trimmed();
    FServerPort = DialogPort(portText, ssl);
}

void TSession::AcceptDialogLogin(const QString &name, const QString &password, const TLoginResult &r)
{
    m_config.SetLoginName(name);
    storeIdentity(r);
    m_config.SetIsSSL(FServerSSL);
    m_config.SetStartStyle(SS_NONE);
    m_config.SetServerHost(FServerIp);
    m_config.SetServerPort(FServerPort);
    const bool keep = m_config.SaveLoginInfo();
    m_config.SetAutoLogin(keep);
    if (!keep)
        m_config.SetLoginName(QString());
    m_config.Save();
    // The keyring when one answers, else the file; either way the store is saved again.
    if (keep)
        SavedPassword::Store(m_config, password, kKeyringStoreMs, &m_placeNotice);
    else
        SavedPassword::Forget(m_config, kKeyringStoreMs);
    SetSavedPassword(keep ? password : QString());
}

bool TSession::AcceptQrLogin(const QString &userCode)
{
    const QString t = DecryptWithAppKey(userCode, AKS_128);
    const int id = StrToIntDef(GetTagValue(t, QStringLiteral("UserId2")), 0);
    const QString encryptId = GetTagValue(t, QStringLiteral("UserId"));
    const QString name = GetTagValue(t, QStringLiteral("UserName"));
    // A code that does not decrypt to a whole identity is no login.
    if (id <= 0 || encryptId.isEmpty() || name.isEmpty())
        return false;
    m_config.SetOwnerId2(id);
    m_config.SetEncryptId(encryptId);
    m_config.SetOwnerName(name);
    m_config.SetStartStyle(SS_ACTIVTX);
    m_config.Save();
    return true;
}

void TSession::Establish(bool storeServer)
{
    FIsLogin = true;
    FLoginOver = true;
    if (storeServer) {
        m_config.SetServerHost(FServerIp);
        m_config.SetServerPort(FServerPort);
        m_config.SetIsSSL(FServerSSL);
        m_config.Save();
    }
}

void TSession::LogOutForExit()
{
    m_config.SetEncryptId(QString());
    m_config.SetOwnerId2(0);
    m_config.SetOwnerName(QString());
    if (!m_config.AutoLogin()) {
        m_config.SetLoginName(QString());
        m_config.Save();
        SavedPassword::Forget(m_config, kKeyringStoreMs);
        SetSavedPassword(QString());
        return;
    }
    m_config.Save();
}

void TSession::OnDestroy()
{
    if (m_config.StartStyle() == SS_ACTIVTX)
        m_config.Clear();
}

bool IsStaleClipboardCommand(const QString &text)
{
    return text.contains(QLatin1String("[TranStyle]")) || text.contains(QLatin1String("[Key]"));
}
