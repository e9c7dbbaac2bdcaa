// Mail sending against a real local SMTP server (aiosmtpd, started per test
// with STARTTLS on a certificate made here), and the mail-test dialog.
#include "core/aes.h"
#include "mail/smtpex.h"
#include "mail/smtptestfrm.h"
#include "recordingprompter.h"
#include "testenv.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QJsonDocument>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

QString python()
{
    // The system's interpreter holds aiosmtpd; a private one on PATH may not.
    for (const QString &candidate : {QStringLiteral("python3"), QStringLiteral("/usr/bin/python3")}) {
        QProcess p;
        p.start(candidate, {QStringLiteral("-c"), QStringLiteral("import aiosmtpd")});
        if (p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return candidate;
    }
    return {};
}

struct Certificate {
    QTemporaryDir dir;
    QString cert() const { return dir.filePath(QStringLiteral("cert.pem")); }
    QString key() const { return dir.filePath(QStringLiteral("key.pem")); }
    // Self-signed, for the address the tests connect to.
    bool make()
    {
        QProcess p;
        p.start(QStringLiteral("openssl"),
                {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                 QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                 QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                 QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost"), QStringLiteral("-keyout"), key(),
                 QStringLiteral("-out"), cert()});
        return p.waitForFinished(60000) && p.exitCode() == 0 && QFileInfo::exists(cert());
    }
};

// One aiosmtpd process; its received messages land in out().
class SmtpServer
{
public:
    SmtpServer(const QString &python, const QStringList &args)
    {
        const QString script = QStringLiteral(ZUDIVUVO_TEST_SOURCE_DIR "/smtpserver.py");
        m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_proc.start(python, QStringList{script, QStringLiteral("--out"), m_out.path()} + args);
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && m_port == 0 && m_proc.state() != QProcess::NotRunning) {
            if (!m_proc.canReadLine() && !m_proc.waitForReadyRead(int(deadline.remainingTime())))
                continue;
            const QByteArray line = m_proc.readLine().trimmed();
            if (line.startsWith("PORT "))
                m_port = line.mid(5).toInt();
        }
    }
    ~SmtpServer()
    {
        m_proc.kill();
        m_proc.waitForFinished(5000);
    }
    int port() const { return m_port; }
    QString out() const { return m_out.path(); }
    bool running() const { return m_proc.state() == QProcess::Running; }
    int messageCount() const { return int(QDir(m_out.path()).entryList({QStringLiteral("*.json")}).size()); }
    QJsonObject message(int n) const
    {
        QFile f(m_out.filePath(QStringLiteral("msg-%1.json").arg(n)));
        return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
    }

private:
    QTemporaryDir m_out;
    QProcess m_proc;
    int m_port = 0;
};

const QString kUser = QStringLiteral("sender@example.test");
const QString kPassword = QStringLiteral("s3cret-Päss");
// The test servers' self-signed certificate, trusted by name like a company's own server.
QString trustedPem;

TSmtpParams params(int port, TIdSMTPAuthenticationType auth, const QString &password = kPassword)
{
    TSmtpParams p;
    p.TrustedCertificate = trustedPem;
    p.Host = QStringLiteral(" 127.0.0.1 ");
    p.Port = port;
    p.Username = kUser + QStringLiteral("&办公室 Office");
    p.PassWord = password;
    p.AuthType = auth;
    return p;
}

} // namespace

class MailParamsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void paramText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("auth");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("display");
        QTest::addRow("all given") << "[srv]smtp.example.test[/srv][port]587[/port][ssl]2[/ssl][add]a@b.test[/add]"
                                      "[displayname]Office[/displayname][pass]pw[/pass]"
                                   << "smtp.example.test" << 587 << int(satSASL) << "a@b.test" << "Office";
        QTest::addRow("ssl missing is default login") << "[srv]h[/srv][port]25[/port]" << "h" << 25 << int(satDefault)
                                                      << "" << "";
        QTest::addRow("port not a number") << "[srv]h[/srv][port]abc[/port][ssl]0[/ssl]" << "h" << 25 << int(satNone)
                                           << "" << "";
        QTest::addRow("nothing") << "" << "" << 25 << int(satDefault) << "" << "";
    }
    void paramText()
    {
        QFETCH(QString, text);
        const TSmtpParams p = StrToSmtpParams(text, false);
        QTEST(p.Host, "host");
        QTEST(int(p.Port), "port");
        QTEST(int(p.AuthType), "auth");
        QTEST(p.Username, "user");
        QTEST(p.FromDisplayName, "display");
    }

    void protectedPassword()
    {
        const QString cipher = EncryptWithAppKey(QStringLiteral("密码x1"), AKS_256);
        const QString text = QStringLiteral("[pass]") + cipher + QStringLiteral("[/pass]");
        QCOMPARE(StrToSmtpParams(text, true).PassWord, QStringLiteral("密码x1"));
        QCOMPARE(StrToSmtpParams(text, false).PassWord, cipher);
    }

    void sender_data()
    {
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("sender");
        QTest::addRow("address and name after &") << "a@b.test&Office" << "Ignored" << "Office<a@b.test>";
        QTest::addRow("display name field") << " a@b.test " << "Office" << "Office<a@b.test>";
        QTest::addRow("display name that is an address") << "a@b.test" << "boss@b.test" << "boss@b.test";
        QTest::addRow("no display name") << "a@b.test" << "" << "a@b.test";
    }
    void sender()
    {
        QFETCH(QString, username);
        QFETCH(QString, display);
        TSmtpParams p;
        p.Username = username;
        p.FromDisplayName = display;
        TSmtpEx smtp;
        smtp.SetSmtpSrvParams(p);
        QTEST(smtp.SenderText(), "sender");
    }

    void encodedWordsDecodeToTheText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addRow("ascii stays") << "Plain subject";
        QTest::addRow("chinese") << "文档管理系统邮件测试消息";
        QTest::addRow("long mixed") << QString(QStringLiteral("测试 Test 𠀀 ")).repeated(12);
        QTest::addRow("looks encoded") << "=?UTF-8?B?x?=";
    }
    void encodedWordsDecodeToTheText()
    {
        QFETCH(QString, text);
        const QByteArray encoded = TSmtpEx::EncodeHeader(text);
        QString decoded;
        if (!encoded.startsWith("=?")) {
            QCOMPARE(QString::fromLatin1(encoded), text);
            return;
        }
        QByteArray bytes;
        for (const QByteArray &line : encoded.split('\n')) {
            const QByteArray word = line.trimmed();
            QVERIFY2(word.size() <= 75, word.constData());
            QVERIFY(word.startsWith("=?UTF-8?B?") && word.endsWith("?="));
            const QByteArray part = QByteArray::fromBase64(word.mid(10, word.size() - 12));
            // Every word holds whole characters.
            QVERIFY(!QString::fromUtf8(part).contains(QChar::ReplacementCharacter));
            bytes += part;
        }
        QCOMPARE(QString::fromUtf8(bytes), text);
    }

    void addresses()
    {
        QCOMPARE(TSmtpEx::Addresses(QStringLiteral(" a@b.test, Name <c@d.test>;; \"X, Y\" <e@f.test>")),
                 QStringList({QStringLiteral("a@b.test"), QStringLiteral("c@d.test"), QStringLiteral("e@f.test")}));
    }
};

class MailSendTest : public QObject
{
    Q_OBJECT
    QString m_python;
    Certificate m_cert;
    Certificate m_other;

    QStringList tlsArgs() const
    {
        return {QStringLiteral("--cert"), m_cert.cert(), QStringLiteral("--key"), m_cert.key(), QStringLiteral("--user"),
                kUser, QStringLiteral("--password"), kPassword};
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_python = python();
        QVERIFY2(!m_python.isEmpty(), "python3 with aiosmtpd is needed (Debian package python3-aiosmtpd)");
        QVERIFY2(m_cert.make(), "openssl could not make a test certificate");
        QVERIFY2(m_other.make(), "openssl could not make a test certificate");
        trustedPem = m_cert.cert();
    }

    void certificateIsVerified_data()
    {
        QTest::addColumn<int>("auth");
        QTest::addColumn<QString>("trust");   // "server", "other" or "" (the system's CAs only)
        QTest::addColumn<bool>("sent");
        QTest::addRow("SSL, self-signed, not trusted") << int(satSASL) << "" << false;
        QTest::addRow("SSL, another certificate trusted") << int(satSASL) << "other" << false;
        QTest::addRow("SSL, the server's certificate trusted") << int(satSASL) << "server" << true;
        QTest::addRow("default, self-signed, not trusted") << int(satDefault) << "" << false;
        QTest::addRow("default, the server's certificate trusted") << int(satDefault) << "server" << true;
    }
    void certificateIsVerified()
    {
        QFETCH(int, auth);
        QFETCH(QString, trust);
        QFETCH(bool, sent);
        SmtpServer server(m_python, tlsArgs());
        QVERIFY(server.port() > 0);
        TSmtpParams p = params(server.port(), TIdSMTPAuthenticationType(auth));
        p.TrustedCertificate = trust == QLatin1String("server") ? m_cert.cert()
                               : trust == QLatin1String("other") ? m_other.cert()
                                                                 : QString();
        TSmtpEx smtp;
        smtp.SetSmtpSrvParams(p);
        const bool ok = smtp.SendEx(QStringLiteral("one@example.test"), QString(), QStringLiteral("b"), QStringLiteral("s"),
                                    QString());
        QVERIFY2(ok == sent, qPrintable(smtp.LastError()));
        QCOMPARE(server.messageCount(), sent ? 1 : 0);
        if (sent) {
            // "Default" took the STARTTLS the server offered.
            QVERIFY(server.message(0).value(u"tls").toBool());
        } else {
            QVERIFY2(smtp.LastError().contains(QLatin1String("certificate"), Qt::CaseInsensitive)
                         || smtp.LastError().contains(QLatin1String("SSL"), Qt::CaseInsensitive),
                     qPrintable(smtp.LastError()));
        }
    }

    void passwordWithoutLoginOfferedIsNotSent_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("sent");
        QTest::addRow("password given") << kPassword << false;
        QTest::addRow("no password") << "" << true;
    }
    void passwordWithoutLoginOfferedIsNotSent()
    {
        QFETCH(QString, password);
        QFETCH(bool, sent);
        // No TLS and no AUTH in the server's greeting.
        SmtpServer server(m_python, {QStringLiteral("--no-auth")});
        QVERIFY(server.port() > 0);
        TSmtpEx smtp;
        smtp.SetLanguage(HSL_ENG);
        smtp.SetSmtpSrvParams(params(server.port(), satDefault, password));
        const bool ok = smtp.SendEx(QStringLiteral("one@example.test"), QString(), QStringLiteral("b"), QStringLiteral("s"),
                                    QString());
        QVERIFY2(ok == sent, qPrintable(smtp.LastError()));
        QCOMPARE(server.messageCount(), sent ? 1 : 0);
        if (!sent)
            QVERIFY2(smtp.LastError().contains(QLatin1String("offers no login")), qPrintable(smtp.LastError()));
    }

    void sendsOverStartTls_data()
    {
        QTest::addColumn<QString>("only");
        QTest::addColumn<QString>("mechanism");
        // The two are equally strong under TLS; a server offering one gets that one.
        QTest::addRow("login and plain offered") << "" << "PLAIN";
        QTest::addRow("plain only") << "PLAIN" << "PLAIN";
        QTest::addRow("login only") << "LOGIN" << "LOGIN";
    }
    void sendsOverStartTls()
    {
        QFETCH(QString, only);
        QFETCH(QString, mechanism);
        QStringList args = tlsArgs();
        if (!only.isEmpty())
            args << QStringLiteral("--only") << only;
        SmtpServer server(m_python, args);
        QVERIFY(server.port() > 0);
        TSmtpEx smtp;
        QStringList log;
        smtp.FOnSmtpLog = [&log](const QString &line) { log << line; };
        smtp.SetLanguage(HSL_ENG);
        smtp.SetSmtpSrvParams(params(server.port(), satSASL));
        const QString body = QStringLiteral("<p>在测试您的SMTP设置时 — test body</p>\r\n.\r\nline after a lone dot");
        QVERIFY2(smtp.SendEx(QStringLiteral("Rcpt One <one@example.test>, two@example.test"), QString(), body,
                             QStringLiteral("文档管理系统邮件测试消息 subject"), QStringLiteral("hidden@example.test")),
                 qPrintable(smtp.LastError()));
        QCOMPARE(server.messageCount(), 1);
        const QJsonObject m = server.message(0);
        QCOMPARE(m.value(u"mechanism").toString(), mechanism);
        QVERIFY(m.value(u"tls").toBool());
        QCOMPARE(m.value(u"envelopeFrom").toString(), kUser);
        QCOMPARE(m.value(u"envelopeTo").toVariant().toStringList(),
                 QStringList({QStringLiteral("one@example.test"), QStringLiteral("two@example.test"),
                              QStringLiteral("hidden@example.test")}));
        QCOMPARE(m.value(u"from").toString(), QStringLiteral("办公室 Office <sender@example.test>"));
        QCOMPARE(m.value(u"to").toString(), QStringLiteral("Rcpt One <one@example.test>, two@example.test"));
        QCOMPARE(m.value(u"replyTo").toString(), kUser);
        QCOMPARE(m.value(u"subject").toString(), QStringLiteral("文档管理系统邮件测试消息 subject"));
        QCOMPARE(m.value(u"bodyType").toString(), QStringLiteral("text/html"));
        QCOMPARE(m.value(u"body").toString().replace(QLatin1String("\r\n"), QLatin1String("\n")),
                 QString(body).replace(QLatin1String("\r\n"), QLatin1String("\n")));
        QVERIFY(!m.value(u"date").toString().isEmpty());
        QCOMPARE(log.value(0), QStringLiteral("Parameter initialization"));
        QCOMPARE(log.value(1), QStringLiteral("Host=127.0.0.1 Port=%1 Account=sender@example.test").arg(server.port()));
        QCOMPARE(log.mid(2), QStringList({QStringLiteral("Connecting SMTP server..."), QStringLiteral("Start sending"),
                                          QStringLiteral("Sent successfully")}));
        for (const QString &line : std::as_const(log))
            QVERIFY(!line.contains(kPassword));
    }

    void attachmentAndCopies()
    {
        SmtpServer server(m_python, tlsArgs());
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("报告 final.bin"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        const QByteArray bytes("\x00\x01binary\r\n.\r\n\xff", 14);
        f.write(bytes);
        f.close();
        TSmtpEx smtp;
        smtp.SetSmtpSrvParams(params(server.port(), satSASL));
        QVERIFY2(smtp.SSLSend(QStringLiteral("one@example.test"), QStringLiteral("Copy <cc@example.test>"), path,
                              QStringLiteral("<b>see attachment</b>"), QStringLiteral("with a file"), QString()),
                 qPrintable(smtp.LastError()));
        const QJsonObject m = server.message(0);
        QCOMPARE(m.value(u"cc").toString(), QStringLiteral("Copy <cc@example.test>"));
        QCOMPARE(m.value(u"envelopeTo").toVariant().toStringList(),
                 QStringList({QStringLiteral("one@example.test"), QStringLiteral("cc@example.test")}));
        QCOMPARE(m.value(u"body").toString().trimmed(), QStringLiteral("<b>see attachment</b>"));
        const QJsonObject files = m.value(u"attachments").toObject();
        QCOMPARE(files.keys(), QStringList{QStringLiteral("报告 final.bin")});
        QCOMPARE(QByteArray::fromHex(files.value(u"报告 final.bin").toString().toLatin1()), bytes);

        // A file that is gone is an error, not a mail sent without it.
        QVERIFY(!smtp.SSLSend(QStringLiteral("one@example.test"), QString(), dir.filePath(QStringLiteral("gone.bin")),
                              QStringLiteral("b"), QStringLiteral("s"), QString()));
        QVERIFY2(smtp.LastError().contains(QLatin1String("gone.bin")), qPrintable(smtp.LastError()));
        QCOMPARE(server.messageCount(), 1);
    }

    void displayNamesAreEncodedApartFromTheirAddresses()
    {
        SmtpServer server(m_python, tlsArgs());
        TSmtpEx smtp;
        smtp.SetSmtpSrvParams(params(server.port(), satSASL));
        QVERIFY2(smtp.SendEx(QStringLiteral("张三 <one@example.test>; \"王, 经理\" <two@example.test>, three@example.test"),
                             QString(), QStringLiteral("b"), QStringLiteral("s"), QString()),
                 qPrintable(smtp.LastError()));
        const QJsonArray to = server.message(0).value(u"toAddresses").toArray();
        QCOMPARE(to.size(), 3);
        QCOMPARE(to.at(0).toArray().at(0).toString(), QStringLiteral("张三"));
        QCOMPARE(to.at(0).toArray().at(1).toString(), QStringLiteral("one@example.test"));
        QCOMPARE(to.at(1).toArray().at(0).toString(), QStringLiteral("王, 经理"));
        QCOMPARE(to.at(1).toArray().at(1).toString(), QStringLiteral("two@example.test"));
        QCOMPARE(to.at(2).toArray().at(1).toString(), QStringLiteral("three@example.test"));
    }

    void emptySubjectBecomesTitle()
    {
        SmtpServer server(m_python, tlsArgs());
        TSmtpEx smtp;
        smtp.SetSmtpSrvParams(params(server.port(), satSASL));
        QVERIFY2(smtp.SendEx(QStringLiteral("one@example.test"), QString(), QStringLiteral("x"), QStringLiteral("  "),
                             QString()),
                 qPrintable(smtp.LastError()));
        QCOMPARE(server.message(0).value(u"subject").toString(), QStringLiteral("Title"));
    }

    void failuresSendNothing_data()
    {
        QTest::addColumn<QStringList>("serverArgs");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("recipients");
        QTest::addColumn<QString>("expected");   // in the error text
        QTest::addRow("wrong password") << QStringList() << "wrong" << "one@example.test" << "535";
        QTest::addRow("refused recipient") << QStringList{QStringLiteral("--refuse"), QStringLiteral("no@example.test")}
                                           << kPassword << "no@example.test" << "550";
        QTest::addRow("server gone during the message") << QStringList{QStringLiteral("--die-on-data")} << kPassword
                                                        << "one@example.test" << "";
    }
    void failuresSendNothing()
    {
        QFETCH(QStringList, serverArgs);
        QFETCH(QString, password);
        QFETCH(QString, recipients);
        QFETCH(QString, expected);
        SmtpServer server(m_python, tlsArgs() + serverArgs);
        QVERIFY(server.port() > 0);
        TSmtpEx smtp;
        QStringList log;
        smtp.FOnSmtpLog = [&log](const QString &line) { log << line; };
        smtp.SetLanguage(HSL_ENG);
        smtp.SetSmtpSrvParams(params(server.port(), satSASL, password));
        QVERIFY(!smtp.SendEx(recipients, QString(), QStringLiteral("body"), QStringLiteral("s"), QString()));
        QVERIFY(!smtp.LastError().isEmpty());
        QVERIFY2(smtp.LastError().contains(expected), qPrintable(smtp.LastError()));
        QVERIFY(!log.contains(QStringLiteral("Sent successfully")));
        QCOMPARE(server.messageCount(), 0);
        for (const QString &line : std::as_const(log))
            QVERIFY(!line.contains(password));
    }

    void secureLoginNeverFallsBackToPlainText()
    {
        // A server without STARTTLS: the credentials must not travel in clear.
        SmtpServer server(m_python, {QStringLiteral("--user"), kUser, QStringLiteral("--password"), kPassword,
                                     QStringLiteral("--plain-auth")});
        TSmtpEx smtp;
        smtp.SetSmtpSrvParams(params(server.port(), satSASL));
        QVERIFY(!smtp.SendEx(QStringLiteral("one@example.test"), QString(), QStringLiteral("b"), QStringLiteral("s"),
                             QString()));
        QCOMPARE(server.messageCount(), 0);
        // The same server takes the mail when the administrator chose a plain login.
        smtp.SetSmtpSrvParams(params(server.port(), satDefault));
        QVERIFY2(smtp.SendEx(QStringLiteral("one@example.test"), QString(), QStringLiteral("b"), QStringLiteral("s"),
                             QString()),
                 qPrintable(smtp.LastError()));
        QCOMPARE(server.message(0).value(u"tls").toBool(), false);
    }

    void checksAndInjectedLineBreaks_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("recipients");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("error");
        const QString ok = QStringLiteral("one@example.test");
        QTest::addRow("no host") << " " << 25 << kUser << ok << "s" << "Incorrect SMPT host";
        QTest::addRow("port 0") << "127.0.0.1" << 0 << kUser << ok << "s" << "Incorrect SMPT port";
        QTest::addRow("port out of range") << "127.0.0.1" << 70000 << kUser << ok << "s" << "Incorrect SMPT port";
        QTest::addRow("no sender") << "127.0.0.1" << -1 << " " << ok << "s" << "SMPT Email is Error";
        QTest::addRow("no recipient") << "127.0.0.1" << -1 << kUser << "  " << "s" << "Recipient can not be empty";
        QTest::addRow("header in the subject") << "127.0.0.1" << -1 << kUser << ok << "Hi\r\nBcc: victim@example.test"
                                               << "The subject of a mail must not contain line breaks";
        QTest::addRow("command in a recipient") << "127.0.0.1" << -1 << kUser << "a@example.test>\r\nRCPT TO:<b@x.test"
                                                << "s" << "The recipients of a mail must not contain line breaks";
        QTest::addRow("line feed in the sender") << "127.0.0.1" << -1 << kUser + QStringLiteral("\nX: y") << ok << "s"
                                                 << "The address of a mail must not contain line breaks";
        QTest::addRow("line break in the display name") << "127.0.0.1" << -1
                                                        << kUser + QStringLiteral("&Office\r\nBcc: v@x.test") << ok
                                                        << "s" << "The display name of a mail must not contain line breaks";
    }
    void checksAndInjectedLineBreaks()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, user);
        QFETCH(QString, recipients);
        QFETCH(QString, subject);
        QFETCH(QString, error);
        SmtpServer server(m_python, tlsArgs());
        TSmtpParams p = params(port < 0 ? server.port() : port, satSASL);
        p.Host = host;
        p.Username = user;
        TSmtpEx smtp;
        QStringList log;
        smtp.FOnSmtpLog = [&log](const QString &line) { log << line; };
        smtp.SetLanguage(HSL_ENG);
        smtp.SetSmtpSrvParams(p);
        QVERIFY(!smtp.SendEx(recipients, QString(), QStringLiteral("b"), subject, QString()));
        QCOMPARE(smtp.LastError(), error);
        QVERIFY(!log.contains(QStringLiteral("Connecting SMTP server...")));
        QCOMPARE(server.messageCount(), 0);
    }

    void dialogSendsAndReports()
    {
        RecordingPrompter prompter;
        TPrompter::SetInstance(&prompter);
        SmtpServer server(m_python, tlsArgs());
        TSmtpTestFrm dialog;
        dialog.SetLanguage(HSL_ENG);
        QCOMPARE(dialog.cbAuth->currentText(), QStringLiteral("Default"));
        dialog.ParamInti(QStringLiteral("[srv]127.0.0.1[/srv][port]%1[/port][ssl]2[/ssl][add]%2[/add][pass]%3[/pass]")
                             .arg(server.port())
                             .arg(kUser, kPassword));
        QCOMPARE(dialog.cbAuth->currentText(), QStringLiteral("SSL"));
        QCOMPARE(dialog.edtRecipients->text(), kUser);
        QCOMPARE(dialog.edtSubject->text(), QStringLiteral("E-mail test message from Document Management System"));
        QCOMPARE(dialog.edtPassword->echoMode(), QLineEdit::Password);
        dialog.edtCertificate->setText(m_cert.cert());

        // Port 0 is refused before anything is sent.
        dialog.edtPort->setText(QStringLiteral("0"));
        QTest::mouseClick(dialog.btnSend, Qt::LeftButton);
        QCOMPARE(prompter.shown, QStringList{QStringLiteral("Port Error")});
        QVERIFY(!dialog.IsBusy());

        dialog.edtPort->setText(QString::number(server.port()));
        QSignalSpy done(&dialog, &TSmtpTestFrm::sendFinished);
        QTest::mouseClick(dialog.btnSend, Qt::LeftButton);
        QVERIFY(done.wait(30000));
        QVERIFY2(dialog.FIsOkay, qPrintable(dialog.FErrorInfo));
        QTRY_VERIFY(dialog.memoLog->toPlainText().contains(QStringLiteral("Sent successfully    ")));
        QCOMPARE(server.messageCount(), 1);
        QCOMPARE(server.message(0).value(u"body").toString().trimmed(),
                 QStringLiteral("The document management system will automatically send an e-mail message while "
                                "testing your SMTP settings."));

        // A wrong password shows the server's refusal in the log.
        dialog.edtPassword->setText(QStringLiteral("nope"));
        QTest::mouseClick(dialog.btnSend, Qt::LeftButton);
        QVERIFY(done.wait(30000));
        QVERIFY(!dialog.FIsOkay);
        QVERIFY(dialog.memoLog->toPlainText().contains(dialog.FErrorInfo));
        QCOMPARE(server.messageCount(), 1);
        TPrompter::SetInstance(nullptr);
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    TestHome home;
    return runTests<MailParamsTest, MailSendTest>(argc, argv);
}

#include "tst_mail.moc"
