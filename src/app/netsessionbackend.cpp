#include "app/netsessionbackend.h"

#include "core/helpers.h"
#include "core/tagtext.h"
#include "net/robottcpclient.h"
#include "net/sslhttp.h"

namespace {

void configure(TPipeTcpClient &c, const TServerAddress &server, int readTimeout)
{
    c.Host = server.Host;
    c.Port = quint16(server.Port);
    c.ReadTimeout = readTimeout;
}

} // namespace

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
    const quint8 status = client.Login(name, password, LoginMacValue(), server.Host, QString::number(server.Port), &reply);
    if (status != st::LoginOk) {
        if (error) {
            *error = client.GetLastError();
            if (error->isEmpty())
                *error = ResultCodeText(0, language == HSL_CN ? HSL_CN : HSL_ENG);
        }
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
