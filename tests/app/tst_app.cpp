#include "app/arvoclientfrm.h"
#include "app/startup.h"
#include "core/aes.h"
#include "core/clientconfigx.h"
#include "core/folders.h"
#include "core/textfile.h"
#include "platform/instancechannel.h"
#include "testenv.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>

class ArgumentTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pieces_data()
    {
        QTest::addColumn<QString>("arg");
        QTest::addColumn<QStringList>("pieces");
        QTest::addRow("browser link") << "ZuDivuvo://-p%20[code]13[/code][cmd][filekey]42[/filekey][/cmd]/"
                                      << QStringList{"-p", "[code]13[/code][cmd][filekey]42[/filekey][/cmd]"};
        QTest::addRow("lower-case scheme") << "zudivuvo://-l%201/" << QStringList{"-l", "1"};
        QTest::addRow("double space keeps empty piece") << "-l  2" << QStringList{"-l", "", "2"};
        QTest::addRow("empty") << "" << QStringList{};
    }
    void pieces()
    {
        QFETCH(QString, arg);
        QFETCH(QStringList, pieces);
        QCOMPARE(PrepareArgumentPieces(arg), pieces);
    }

    void percent_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("looks");
        QTest::addColumn<QString>("decoded");
        QTest::addRow("utf8 bytes") << "%E6%96%87" << true << QStringLiteral("文");
        QTest::addRow("u escape") << "%u6587x" << false << QStringLiteral("文x");
        QTest::addRow("plus stays") << "a+b%21" << true << "a+b!";
        QTest::addRow("malformed dropped") << "a%zzb" << false << "azzb";
        QTest::addRow("percent at end unchecked") << "ab%2" << true << "ab2";
        QTest::addRow("non-ascii") << QStringLiteral("文%41") << false << QStringLiteral("\u0087A");
    }
    void percent()
    {
        QFETCH(QString, text);
        QFETCH(bool, looks);
        QFETCH(QString, decoded);
        QCOMPARE(LooksPercentEncoded(text), looks);
        if (text.at(0).unicode() < 128)
            QCOMPARE(PercentDecode(text), decoded);
    }
};

class StartupTest : public QObject
{
    Q_OBJECT
    TestHome home;
    QString rvc() const { return home.configFolder() + QLatin1String("rvc.sys"); }
private Q_SLOTS:
    void init() { QFile::remove(rvc()); }

    void commands_data()
    {
        QTest::addColumn<QString>("arg");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("cmd");
        QTest::addColumn<bool>("registered");
        QTest::addRow("link") << "ZuDivuvo://-p%20[code]13[/code][cmd][filekey]42[/filekey][/cmd]/" << 13
                              << "[filekey]42[/filekey]" << false;
        QTest::addRow("hash hash is space") << "-p [code]14[/code][cmd][name]a##b[/name][/cmd]" << 14 << "[name]a b[/name]"
                                            << false;
        QTest::addRow("chrome decodes") << "-p [code]14[/code][bs]chrome[/bs][cmd][n]%E6%96%87[/n][/cmd]" << 14
                                        << QStringLiteral("[n]文[/n]") << false;
        QTest::addRow("plain percent decodes") << "-p [code]14[/code][cmd][n]%E6%96%87[/n][/cmd]" << 14
                                               << QStringLiteral("[n]文[/n]") << false;
        QTest::addRow("non-ascii stays") << QStringLiteral("-p [code]14[/code][cmd][n]文%41[/n][/cmd]") << 14
                                         << QStringLiteral("[n]文%41[/n]") << false;
        QTest::addRow("code 0") << "-p [code]0[/code][cmd]x[/cmd]" << 0 << "" << false;
        QTest::addRow("code 512") << "-p [code]512[/code][cmd]x[/cmd]" << 0 << "" << false;
        QTest::addRow("code 511") << "-p [code]511[/code][cmd]x[/cmd]" << 511 << "x" << false;
        QTest::addRow("negative") << "-p [code]-3[/code][cmd]x[/cmd]" << 0 << "" << false;
        QTest::addRow("not a number") << "-p [code]ab[/code][cmd]x[/cmd]" << 0 << "" << false;
        QTest::addRow("later valid wins") << "-p [code]11[/code][cmd]a[/cmd] -p [code]12[/code][cmd]b[/cmd]" << 12
                                          << "b" << false;
        QTest::addRow("later invalid ignored") << "-p [code]11[/code][cmd]a[/cmd] -p [code]0[/code][cmd]b[/cmd]" << 11
                                               << "a" << false;
        QTest::addRow("-r ends, no hand-off") << "-p [code]13[/code][cmd]a[/cmd] -r" << 0 << "" << true;
        QTest::addRow("-p last has no value") << "-p" << 0 << "" << false;
    }
    void commands()
    {
        QFETCH(QString, arg);
        QFETCH(int, code);
        QFETCH(QString, cmd);
        QFETCH(bool, registered);
        TClientConfigX config;
        bool ran = false;
        const TStartupResult r = TStartup(config, [&] { ran = true; }).Run(arg);
        QCOMPARE(int(r.pending.Code), code);
        QCOMPARE(r.pending.Cmd, cmd);
        QCOMPARE(r.registerAndExit, registered);
        QCOMPARE(ran, registered);
    }

    void settings_data()
    {
        QTest::addColumn<QString>("arg");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addRow("language") << "-l 1" << "Language" << "1";
        QTest::addRow("language not a number") << "-l x" << "Language" << "2";
        QTest::addRow("language without value") << "-l" << "Language" << "";
        QTest::addRow("server") << "-s kv.example#9000#1/" << "ServerHost" << "kv.example";
        QTest::addRow("server port") << "-s kv.example#9000#1/" << "ServerPort" << "9000";
        QTest::addRow("server tls") << "-s kv.example#9000#1/" << "IsSSL" << "1";
        QTest::addRow("server short") << "-s kv.example" << "ServerPort" << "80";
        QTest::addRow("server short tls") << "-s kv.example" << "IsSSL" << "0";
        QTest::addRow("saved before -r") << "-l 1 -r" << "Language" << "1";
    }
    void settings()
    {
        QFETCH(QString, arg);
        QFETCH(QString, key);
        QFETCH(QString, value);
        {
            TClientConfigX config;
            TStartup(config, {}).Run(arg);
        }
        QCOMPARE(TClientConfigX().GetValueEx(key), value);
    }

    void webSessionIdentity()
    {
        const QString id = EncryptWithAppKey(QStringLiteral("[UserId2]7[/UserId2][UserId]ENC-77[/UserId][UserName]张三[/UserName]"),
                                             AKS_128);
        {
            TClientConfigX config;
            TStartup(config, {}).Run(QStringLiteral("-u ") + id);
        }
        TClientConfigX stored;
        QCOMPARE(stored.OwnerId2(), 7);
        QCOMPARE(stored.EncryptId(), QStringLiteral("ENC-77"));
        QCOMPARE(stored.OwnerName(), QStringLiteral("张三"));
        QCOMPARE(stored.StartStyle(), SS_ACTIVTX);
        QVERIFY(ReadTextFile(rvc()).contains(QLatin1String("[StartStyle]1[/StartStyle]")));
        QFile f(rvc());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().startsWith("\xFF\xFE"));
    }

    void badIdentityFallsBack()
    {
        {
            TClientConfigX config;
            TStartup(config, {}).Run(QStringLiteral("-u NOTHEX"));
        }
        TClientConfigX stored;
        QCOMPARE(stored.OwnerId2(), 0);
        QCOMPARE(stored.EncryptId(), QString());
        QCOMPARE(stored.StartStyle(), SS_ACTIVTX);
    }

    void linkChangingServerSuspendsAutoLogin()
    {
        {
            TClientConfigX c;
            c.SetServerHost(QStringLiteral("kv.corp"));
            c.SetAutoLogin(true);
            c.Save();
        }
        {
            TClientConfigX c;
            TStartup(c, {}).Run(QStringLiteral("-s kv.corp#8088#0"));
        }
        QVERIFY(TClientConfigX().AutoLogin());  // same server: nothing to protect
        {
            TClientConfigX c;
            TStartup(c, {}).Run(QStringLiteral("-s evil.example#8088#0"));
        }
        TClientConfigX after;
        QCOMPARE(after.ServerHost(), QStringLiteral("evil.example"));
        QVERIFY(!after.AutoLogin());
    }
};

// Runs the real program the way a browser or a user would.
class LaunchTest : public QObject
{
    Q_OBJECT
    TestHome home;
    QString exe() const { return qEnvironmentVariable("ZUDIVUVO_BIN_DIR") + QLatin1String("/ZuDivuvo"); }
    QString webCmd() const { return home.configFolder() + QLatin1String("WebCmd.txt"); }

    bool runLaunch(const QString &arg, qint64 *ms = nullptr)
    {
        QProcess p;
        QElapsedTimer t;
        t.start();
        p.start(exe(), {arg});
        const bool ok = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (ms)
            *ms = t.elapsed();
        return ok;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(QFileInfo(exe()).isExecutable(), qPrintable(exe())); }

    void handOffFileWithoutInstance()
    {
        QFile::remove(webCmd());
        // No instance runs, so this launch would become one: stop it from the outside.
        QProcess p;
        p.start(exe(), {QStringLiteral("ZuDivuvo://-p%20[code]13[/code][cmd][filekey]42[/filekey][/cmd]/")});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(webCmd()), 10000);
        InstanceChannel ch;
        QTRY_VERIFY_WITH_TIMEOUT(ch.send({{1136, 0, 0}}, 500, 0), 10000);
        QVERIFY(p.waitForFinished(10000));
        QFile f(webCmd());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("\xEF\xBB\xBF[Code]13[/Code][Cmd][filekey]42[/filekey][/Cmd]"));
    }

    void secondLaunchWakesRunningInstance()
    {
        QFile::remove(webCmd());
        QProcess first;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("zudivuvo.app.debug=true"));
        first.setProcessEnvironment(env);
        first.setProcessChannelMode(QProcess::MergedChannels);
        first.start(exe(), QStringList{});
        QVERIFY(first.waitForStarted());
        // Wait until it answers on the instance socket.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(InstanceChannel().socketPath()), 10000);

        qint64 ms = 0;
        QVERIFY(runLaunch(QStringLiteral("zudivuvo://-p%20[code]14[/code][cmd][fileKey]9[/fileKey][/cmd]/"), &ms));
        QVERIFY2(ms < 1000, qPrintable(QStringLiteral("second launch took %1 ms").arg(ms)));
        QCOMPARE(ReadTextFile(webCmd()), QStringLiteral("[Code]14[/Code][Cmd][fileKey]9[/fileKey][/Cmd]"));

        QByteArray log;
        QTRY_VERIFY_WITH_TIMEOUT((log += first.readAll()).contains("message 1280 0 0"), 5000);
        QVERIFY(log.contains("message 1135 0 513"));
        QVERIFY(log.indexOf("message 1135") < log.indexOf("message 1280"));

        QVERIFY(InstanceChannel().send({{1136, 0, 0}}, 2000, 0));
        QVERIFY(first.waitForFinished(10000));
    }

    void registerEndsAtOnce()
    {
        QFile::remove(webCmd());
        QVERIFY(runLaunch(QStringLiteral("-p [code]13[/code][cmd]a[/cmd] -r")));
        QVERIFY(QFileInfo::exists(home.dataHome() + QLatin1String("/applications/zudivuvo-url.desktop")));
        QVERIFY(!QFileInfo::exists(webCmd()));
    }
};

class MainWindowTest : public QObject
{
    Q_OBJECT
    TestHome home;
private Q_SLOTS:
    void trayAndFrontMessagesShowTheWindow()
    {
        TClientConfigX config;
        TARVOClientFrm w(config);
        QVERIFY(!w.isVisible());
        w.handleMessage(1135, 0, 512);  // not a click: nothing
        QVERIFY(!w.isVisible());
        w.handleMessage(1135, 0, 513);
        QVERIFY(w.isVisible());
        w.hide();
        w.handleMessage(1280, 0, 0);
        QVERIFY(w.isVisible());
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return runTests<ArgumentTest, StartupTest, LaunchTest, MainWindowTest>(argc, argv);
}

#include "tst_app.moc"
