#include "testlogin.h"

#include "core/clientconfigx.h"
#include "net/robottcpclient.h"

#include <QtGlobal>

TestLogin logIn(quint16 port, const QString &name, const QString &password, THS_Language language)
{
    TRobotTcpClient client;
    client.Host = QStringLiteral("127.0.0.1");
    client.Port = port;
    TLoginReply reply;
    if (client.Login(name, password, LoginMacValue(), client.Host, QString::number(port), &reply) != st::LoginOk)
        qFatal("login of %s failed", qPrintable(name));
    TestLogin login;
    login.conn.Host = client.Host;
    login.conn.Port = port;
    login.conn.EncryptId = reply.UserId;
    login.conn.Language = language;
    login.userId = reply.UserId2;
    return login;
}

bool pointClientAt(quint16 port, int language)
{
    TClientConfigX c;
    c.SetServerHost(QStringLiteral("127.0.0.1"));
    c.SetServerPort(port);
    c.SetLanguage(language);
    return c.Save();
}
