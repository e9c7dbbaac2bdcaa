#include "app/netsessionbackend.h"

#include "core/helpers.h"
#include "files/filetexts.h"
#include "net/neterror.h"
#include "core/tagtext.h"
#include "net/robottcpclient.h"
#include "net/sslhttp.h"

#include <algorithm>

namespace {

void configure(TPipeTcpClient &c, const TServerAddress &server, int readTimeout)
{
    c.Host = server.Host;
    c.Port = quint16(server.Port);
    c.ReadTimeout = readTimeout;
}

} // namespace

QString LoginRefusalText(quint8 status, const QString &serverText, THS_Language language)
{
    const bool english = language != HSL_CN;
    // The login request names no language, so the server may answer in Chinese.
    const bool hasHan = std::any_of(serverText.begin(), serverText.end(),
                                    [](QChar c) { return c.script() == QChar::Script_Han; });
    if (!serverText.isEmpty() && english != hasHan)
        return serverText;
    if (status == st::LoginRefusedR || status == st::LoginRefusedX)
        return english ? QStringLiteral("The server refused the login. Check the user name and password.")
                       : QStringLiteral("服务器拒绝登录，请检查用户名和密码。");
    // The wire layer words its errors in English only.
    if (!serverText.isEmpty())
        return NetErrorText(TNetErrorKind::Socket, serverText, language);
    return ResultCodeText(0, english ? HSL_ENG : HSL_CN);
}

bool TNetSessionBackend::Login(const TServerAddress &server, THS_Language language, const QString &name,
                               const QString &password, TLoginResult &result, QString *error)
{
    if (server.Host.isEmpty() || server.Port < 1 || server.Port > 65535) {
        if (error)
            *error = language == HSL_CN ? QStringLiteral("请先设置服务器地址和端口！")
                                        : QStringLiteral("Please enter the server's address and port.");
        return false;
    }
    TRobotTcpClient client(server.SSL);
    configure(client, server, 20000);
    client.FLanguage = language;
    TLoginReply reply;
    quint8 status = 0;
    try {
        status = client.Login(name, password, LoginMacValue(), server.Host, QString::number(server.Port), &reply);
    } catch (const ENetError &e) {
        if (error)
            *error = NetErrorText(e.kind(), e.message(), language);
        return false;
    }
    if (status != st::LoginOk) {
        if (error)
            *error = LoginRefusalText(status, client.GetLastError(), language);
        return false;
    }
    result.UserName = reply.UserName;
    result.UserId = reply.UserId;
    result.UserId2 = reply.UserId2;
    return true;
}

bool TNetSessionBackend::HttpGet(const QString &url, bool ssl, int timeoutMs, QByteArray &body)
{
    return TSSLHttp(ssl).Get(url, timeoutMs, &body);
}

int TNetSessionBackend::PollIntervalSeconds(const TServerAddress &server)
{
    try {
        TPipeTcpClient client(server.SSL);
        configure(client, server, 30000);
        const int seconds =
            StrToIntDef(GetTagValue(client.Tcp_GetText(rq::PollInterval, QString()), QStringLiteral("Space")), 60);
        return seconds > 0 ? seconds : 60;
    } catch (const std::exception &) {
        return 60;
    }
}

bool TNetSessionBackend::HasUserMessages(const TServerAddress &server, const QString &encryptId, THS_Language language)
{
    TRobotTcpClient client(server.SSL);
    configure(client, server, 30000);
    client.FLanguage = language;
    client.SetUserEncryptId(encryptId);
    QString txt;
    return client.GetUserMsg(server.Host, txt) == st::Ok;
}

bool TNetSessionBackend::DownloadFile(const TServerAddress &server, const QString &encryptId, THS_Language language,
                                      qint64 fileKey, qint64 version, const QString &localPath, QString *error)
{
    TRobotTcpClient client(server.SSL);
    configure(client, server, 12000);
    client.FLanguage = language;
    client.SetUserEncryptId(encryptId);
    QString params = QStringLiteral("[IsPreView]True[/IsPreView][IsReplace]True[/IsReplace]");
    if (version >= 0)
        params += QStringLiteral("[Versionid]%1[/Versionid]").arg(version);
    const quint8 status = client.DownloadFile(localPath, params, fileKey);
    if (status == fc::Download)
        return true;
    if (error)
        *error = client.GetLastError();
    return false;
}
