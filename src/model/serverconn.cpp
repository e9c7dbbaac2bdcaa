#include "model/serverconn.h"

#include "core/clientconfigx.h"
#include "net/robottcpclient.h"

TServerConn TServerConn::FromConfig(const TClientConfigX &config)
{
    TServerConn c;
    c.Host = config.ServerHost();
    c.Port = quint16(qBound(0, config.ServerPort(), 65535));
    c.SSL = config.IsSSL();
    c.EncryptId = config.EncryptId();
    c.Language = config.Language();
    return c;
}

std::unique_ptr<TRobotTcpClient> TServerConn::MakeClient(int readTimeout) const
{
    auto client = std::make_unique<TRobotTcpClient>(SSL);
    client->Host = Host;
    client->Port = Port;
    client->ReadTimeout = readTimeout;
    client->SetUserEncryptId(EncryptId);
    client->FLanguage = Language;
    return client;
}

QString TServerConn::BaseUrl() const
{
    return (SSL ? QStringLiteral("https://") : QStringLiteral("http://")) + Host + u':' + QString::number(Port);
}
