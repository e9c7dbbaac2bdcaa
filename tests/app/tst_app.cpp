#include "app/appediting.h"
#include "app/arvoclientfrm.h"
#include "app/clipboardaccess.h"
#include "app/loginfrm.h"
#include "app/mainduties.h"
#include "app/netsessionbackend.h"
#include "app/noticefrms.h"
#include "app/qrloginfrm.h"
#include "platform/prompter.h"
#include "app/session.h"
#include "app/startup.h"
#include "batchui/batchfiledealmainfrm.h"
#include "core/aes.h"
#include "core/clientconfigx.h"
#include "core/folders.h"
#include "core/textfile.h"
#include "core/workpools.h"
#include "edit/showeditinfofrm.h"
#include "platform/embeddedbrowser.h"
#include "platform/instancechannel.h"
#include "platform/styleicons.h"
#include "recordingprompter.h"
#include "testenv.h"
#include "testprocess.h"
#include "fakeserver.h"
#include "files/filemagfrm.h"
#include "preview/previewwindows.h"
#include "web/previewhint.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QToolBar>
#include <QToolButton>
#include <QTranslator>
#include <QTreeWidget>
#include <QLineEdit>
#include <QPushButton>
#include <QClipboard>
#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTcpServer>
#include <QProcess>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cmath>

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
    QString exe() const { return binPath("ZuDivuvo"); }
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

    // The web engine (over 100 MiB of mappings and its own threads) is loaded only
    // when a page is first shown, never by a client that just runs.
    void runningClientHasNoWebEngineLoaded()
    {
        QProcess client;
        client.start(exe(), QStringList{});
        QVERIFY(client.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(InstanceChannel().socketPath()), 10000);
        QFile maps(QStringLiteral("/proc/%1/maps").arg(client.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QByteArray mapped = maps.readAll();
        QVERIFY(mapped.contains("libQt6Widgets"));   // the listing is the client's own
        QVERIFY(!mapped.contains("libQt6WebEngine"));
        QVERIFY(!mapped.contains("libzudivuvo_webview"));
        QVERIFY(InstanceChannel().send({{1136, 0, 0}}, 2000, 0));
        QVERIFY(client.waitForFinished(10000));
    }

    // Scanning, preview and mail files load their libraries when first used: a
    // client that just runs maps none of them.
    void runningClientMapsNoUnusedFeature_data()
    {
        QTest::addColumn<QByteArray>("library");
        QTest::addRow("scanner and camera devices") << QByteArray("libzudivuvo_devices");
        QTest::addRow("Qt Multimedia") << QByteArray("libQt6Multimedia");
        QTest::addRow("SANE") << QByteArray("libsane");
        QTest::addRow("viewers") << QByteArray("libzudivuvo_viewers");
        QTest::addRow("Qt Pdf") << QByteArray("libQt6Pdf");
        QTest::addRow("Qt Print Support") << QByteArray("libQt6PrintSupport");
        QTest::addRow("mail reader") << QByteArray("libzudivuvo_mailparse");
        QTest::addRow("GMime") << QByteArray("libgmime");
    }
    void runningClientMapsNoUnusedFeature()
    {
        QFETCH(QByteArray, library);
        QProcess client;
        client.start(exe(), QStringList{});
        QVERIFY(client.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(InstanceChannel().socketPath()), 10000);
        QFile maps(QStringLiteral("/proc/%1/maps").arg(client.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QByteArray mapped = maps.readAll();
        QVERIFY(mapped.contains("libQt6Widgets"));   // the listing is the client's own
        QVERIFY2(!mapped.contains(library), library.constData());
        QVERIFY(InstanceChannel().send({{1136, 0, 0}}, 2000, 0));
        QVERIFY(client.waitForFinished(10000));
    }

    // Exit used to wait for the automatic login's time-out (20 s) with the instance lock held.
    void exitDoesNotWaitForAHangingLogin()
    {
        QTcpServer silent;   // accepts, never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        {
            TClientConfigX c;
            c.SetServerHost(QStringLiteral("127.0.0.1"));
            c.SetServerPort(silent.serverPort());
            c.SetAutoLogin(true);
            c.SetLoginName(QStringLiteral("demo"));
            c.SetLoginPassword(QStringLiteral("demo"));
            c.Save();
        }
        QProcess client;
        client.start(exe(), QStringList{});
        QVERIFY(client.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(InstanceChannel().socketPath()), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 10000);   // the login is on the wire
        QVERIFY(InstanceChannel().send({{1136, 0, 0}}, 2000, 0));
        QVERIFY2(client.waitForFinished(5000), "the client did not exit while its login hung");
        InstanceChannel next;
        QVERIFY(next.acquire());
        QFile::remove(home.configFolder() + QLatin1String("rvc.sys"));
    }

    void registerEndsAtOnce()
    {
        QFile::remove(webCmd());
        QVERIFY(runLaunch(QStringLiteral("-p [code]13[/code][cmd]a[/cmd] -r")));
        QVERIFY(QFileInfo::exists(home.dataHome() + QLatin1String("/applications/zudivuvo-url.desktop")));
        QVERIFY(!QFileInfo::exists(webCmd()));
    }
};

namespace {

struct FakeBackend : TSessionBackend {
    QString goodPassword = QStringLiteral("demo");
    TServerAddress lastServer;
    // Counted on worker threads, read by the test.
    std::atomic<int> logins{0};
    std::atomic<int> intervalAsks{0};
    std::atomic<int> messageAsks{0};
    int interval = 0;  // what the server answers; 0 means "not a number"
    bool messages = false;

    // When set, a login for this name waits until the test releases it.
    QString heldName;
    QSemaphore held;
    bool Login(const TServerAddress &server, THS_Language, const QString &name, const QString &password,
               TLoginResult &result, QString *error) override
    {
        if (name == heldName)
            held.tryAcquire(1, 20000);
        ++logins;
        lastServer = server;
        if (password != goodPassword) {
            if (error)
                *error = QStringLiteral("Wrong user name or password");
            return false;
        }
        result.UserName = name + QStringLiteral(" (display)");
        result.UserId = QStringLiteral("ENC-") + name;
        result.UserId2 = 7;
        return true;
    }
    QHash<QString, QByteArray> pages;
    QMutex lock;
    QStringList asked;  // every page asked for, in order
    bool HttpGet(const QString &url, bool, int, QByteArray &body) override
    {
        QMutexLocker guard(&lock);
        asked << url;
        if (!pages.contains(url))
            return false;
        body = pages.value(url);
        return true;
    }
    QStringList Asked()
    {
        QMutexLocker guard(&lock);
        return asked;
    }
    int PollIntervalSeconds(const TServerAddress &) override
    {
        ++intervalAsks;
        return interval > 0 ? interval : 60;
    }
    bool HasUserMessages(const TServerAddress &, const QString &, THS_Language) override
    {
        ++messageAsks;
        return messages;
    }
    bool DownloadFile(const TServerAddress &, const QString &, THS_Language, qint64, qint64, const QString &,
                      QString *error) override
    {
        *error = QStringLiteral("not here");
        return false;
    }
};

struct FakeClipboard : TClipboardAccess {
    QString text;
    QString Text() override { return text; }
    void SetText(const QString &t) override { text = t; }
};

// A page that answers the usercode script from a list, one answer per poll.
struct FakeBrowser : TEmbeddedBrowser {
    QWidget *view;
    QUrl loaded;
    QVariantList answers;  // a missing entry answers null (no input yet)
    explicit FakeBrowser(QWidget *parent) : view(new QWidget(parent)) {}
    QWidget *Widget() override { return view; }
    void Load(const QUrl &url) override
    {
        loaded = url;
        QTimer::singleShot(0, this, [this] { Q_EMIT loadFinished(true); });
    }
    void RunScript(const QString &, ScriptDone done) override
    {
        const QVariant v = answers.isEmpty() ? QVariant::fromValue(nullptr) : answers.takeFirst();
        QTimer::singleShot(0, this, [done, v] { done(v); });
    }
};

QString qrIdentity(const QString &name)
{
    return EncryptWithAppKey(QStringLiteral("[UserId2]4[/UserId2][UserId]Q4[/UserId][UserName]%1[/UserName]").arg(name), AKS_128);
}

// What the usercode script returns for an input holding value.
QVariant inputValue(const QString &value)
{
    QString answer = QStringLiteral("=");
    answer += value;
    return answer;
}

} // namespace

class SessionTest : public QObject
{
    Q_OBJECT
    TestHome home;
    QString rvc() const { return home.configFolder() + QLatin1String("rvc.sys"); }
private Q_SLOTS:
    void init() { QFile::remove(rvc()); }

    void webSession_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("usable");
        QTest::addRow("complete") << int(SS_ACTIVTX) << 5 << "Ann" << true;
        QTest::addRow("id 0") << int(SS_ACTIVTX) << 0 << "Ann" << false;
        QTest::addRow("empty name") << int(SS_ACTIVTX) << 5 << "" << false;
        QTest::addRow("dialog login") << int(SS_NONE) << 5 << "Ann" << false;
    }
    void webSession()
    {
        QFETCH(int, style);
        QFETCH(int, id);
        QFETCH(QString, name);
        QFETCH(bool, usable);
        TClientConfigX c;
        c.SetStartStyle(TStartStyle(style));
        c.SetOwnerId2(id);
        c.SetOwnerName(name);
        c.SetEncryptId(QStringLiteral("E"));
        QCOMPARE(TSession(c).TryWebSession(), usable);
    }

    void dialogPort_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ssl");
        QTest::addColumn<int>("port");
        QTest::addRow("typed") << " 8088 " << true << 8088;
        QTest::addRow("empty tls") << "" << true << 443;
        QTest::addRow("empty plain") << "" << false << 80;
        QTest::addRow("garbage") << "x" << false << 80;
    }
    void dialogPort()
    {
        QFETCH(QString, text);
        QFETCH(bool, ssl);
        QFETCH(int, port);
        QCOMPARE(TSession::DialogPort(text, ssl), port);
    }

    void dialogLoginKeepsOrClearsSavedLogin_data()
    {
        QTest::addColumn<bool>("save");
        QTest::addRow("save") << true;
        QTest::addRow("do not save") << false;
    }
    void dialogLoginKeepsOrClearsSavedLogin()
    {
        QFETCH(bool, save);
        {
            TClientConfigX c;
            c.SetSaveLoginInfo(save);
            TSession s(c);
            s.SetDialogServer(QStringLiteral(" kv.example "), QString(), true);
            s.AcceptDialogLogin(QStringLiteral("ann"), QStringLiteral("pw"),
                                TLoginResult{QStringLiteral("Ann"), QStringLiteral("ENC"), 3});
        }
        TClientConfigX c;
        QCOMPARE(c.ServerHost(), QStringLiteral("kv.example"));
        QCOMPARE(c.ServerPort(), 443);
        QVERIFY(c.IsSSL());
        QCOMPARE(c.OwnerId2(), 3);
        QCOMPARE(c.EncryptId(), QStringLiteral("ENC"));
        QCOMPARE(c.StartStyle(), SS_NONE);
        QCOMPARE(c.AutoLogin(), save);
        QCOMPARE(c.LoginName(), save ? QStringLiteral("ann") : QString());
        QCOMPARE(c.LoginPassword(), save ? QStringLiteral("pw") : QString());
    }

    void exitForgetsIdentity_data()
    {
        QTest::addColumn<bool>("autoLogin");
        QTest::addRow("auto login keeps name") << true;
        QTest::addRow("no auto login clears") << false;
    }
    void exitForgetsIdentity()
    {
        QFETCH(bool, autoLogin);
        TClientConfigX c;
        c.SetAutoLogin(autoLogin);
        c.SetLoginName(QStringLiteral("ann"));
        c.SetLoginPassword(QStringLiteral("pw"));
        c.SetOwnerId2(3);
        c.SetEncryptId(QStringLiteral("ENC"));
        TSession(c).LogOutForExit();
        TClientConfigX after;
        QCOMPARE(after.OwnerId2(), 0);
        QCOMPARE(after.EncryptId(), QString());
        QCOMPARE(after.LoginName(), autoLogin ? QStringLiteral("ann") : QString());
        QCOMPARE(after.LoginPassword(), autoLogin ? QStringLiteral("pw") : QString());
    }

    void handedOverIdentityEndsWithTheProcess()
    {
        TClientConfigX c;
        TSession s(c);
        QVERIFY(s.AcceptQrLogin(qrIdentity(QStringLiteral("Bo"))));
        QVERIFY(TSession(c).TryWebSession());
        s.OnDestroy();
        QCOMPARE(TClientConfigX().OwnerId2(), 0);
    }

    void staleClipboard()
    {
        QVERIFY(IsStaleClipboardCommand(QStringLiteral("[TranStyle]1[/TranStyle]")));
        QVERIFY(IsStaleClipboardCommand(QStringLiteral("x[Key]5[/Key]")));
        QVERIFY(!IsStaleClipboardCommand(QStringLiteral("[key]5[/key]")));
    }
};

class DutiesTest : public QObject
{
    Q_OBJECT
    TestHome home;
    TDateTime now = 0;
private Q_SLOTS:
    void init() { now = NowDateTime(); }

    void nothingBeforeLogin()
    {
        TClientConfigX c;
        auto bp = std::make_shared<FakeBackend>();
        FakeBackend &b = *bp;
        FakeClipboard clip;
        clip.text = QStringLiteral("[Key]5[/Key]");
        TMainDuties d(c, bp, clip, [this] { return now; });
        d.HasEditMonitor = true;
        QSignalSpy web(&d, &TMainDuties::webMessage);
        d.Tick(false);
        QCOMPARE(web.count(), 0);
        QCOMPARE(clip.text, QStringLiteral("[Key]5[/Key]"));
        QCOMPARE(b.intervalAsks, 0);
    }

    void pollIntervalAndSuppression()
    {
        TClientConfigX c;
        auto bp = std::make_shared<FakeBackend>();
        FakeBackend &b = *bp;
        b.messages = true;
        FakeClipboard clip;
        TMainDuties d(c, bp, clip, [this] { return now; });
        QSignalSpy waiting(&d, &TMainDuties::messagesWaiting);
        d.Tick(true);
        QTRY_VERIFY(!d.IsPolling());
        QCOMPARE(b.intervalAsks, 1);
        QCOMPARE(d.FMsgHintSpace, 60 / 86400.0);  // "Space" 0 or not a number gives 60 s
        d.Tick(true);
        QTRY_VERIFY(!d.IsPolling());
        QCOMPARE(b.messageAsks, 1);
        QCOMPARE(waiting.count(), 1);
        // "Not within one hour": no poll reaches the server for 0.041677 days.
        d.SetMsgType(1);
        const TDateTime chosen = now;
        for (double step : {0.001, 0.02, 0.0416}) {
            now = chosen + step;
            d.Tick(true);
            QTRY_VERIFY(!d.IsPolling());
        }
        QCOMPARE(b.messageAsks, 1);
        now = chosen + 0.0417;
        d.Tick(true);
        QTRY_VERIFY(!d.IsPolling());
        QCOMPARE(b.messageAsks, 2);
    }

    // The fallback is the real backend's: a fake that answers 60 itself proves nothing.
    void realPollIntervalFallsBackTo60_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<int>("seconds");
        QTest::addRow("given") << "[Space]90[/Space]" << 90;
        QTest::addRow("zero") << "[Space]0[/Space]" << 60;
        QTest::addRow("not a number") << "[Space]soon[/Space]" << 60;
        QTest::addRow("negative") << "[Space]-5[/Space]" << 60;
        QTest::addRow("missing") << "[Other]90[/Other]" << 60;
        QTest::addRow("no server") << QString() << 60;
    }
    void realPollIntervalFallsBackTo60()
    {
        QFETCH(QString, reply);
        QFETCH(int, seconds);
        FakeServer srv;
        QVERIFY(srv.ok());
        quint16 port = srv.port();
        if (reply.isNull()) {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            port = closed.serverPort();   // nobody listens there once closed
        } else {
            srv.addScript([reply](FakeConn &c) {
                c.readFrame();
                c.writeFrame(80, reply);
            });
        }
        TNetSessionBackend backend;
        QCOMPARE(backend.PollIntervalSeconds({QStringLiteral("127.0.0.1"), port, false}), seconds);
    }

    void clipboardCommands_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("edit");
        QTest::addColumn<bool>("batch");
        QTest::addRow("edit") << "[Key]5[/Key][FileName]a.dwg[/FileName]" << true << false;
        QTest::addRow("edit key 0 untouched") << "[Key]0[/Key]" << false << false;
        QTest::addRow("edit key word untouched") << "[Key]x[/Key]" << false << false;
        QTest::addRow("batch") << "[TranStyle]1[/TranStyle][FF]2[/FF]" << false << true;
        QTest::addRow("batch without FF") << "[TranStyle]1[/TranStyle]" << false << false;
    }
    void clipboardCommands()
    {
        QFETCH(QString, text);
        QFETCH(bool, edit);
        QFETCH(bool, batch);
        TClientConfigX c;
        c.SetLastTimeOfViewMsg(now + 10);  // keep the poll quiet
        auto bp = std::make_shared<FakeBackend>();
        FakeClipboard clip;
        clip.text = text;
        TMainDuties d(c, bp, clip, [this] { return now; });
        d.HasEditMonitor = d.HasBatchWindow = true;
        QSignalSpy edits(&d, &TMainDuties::editCommand);
        QSignalSpy batches(&d, &TMainDuties::batchCommand);
        d.Tick(true);
        QCOMPARE(edits.count(), edit ? 1 : 0);
        QCOMPARE(batches.count(), batch ? 1 : 0);
        QCOMPARE(clip.text, (edit || batch) ? QStringLiteral("  ") : text);
        QTRY_VERIFY(!d.IsPolling());
    }
};

class LoginDialogTest : public QObject
{
    Q_OBJECT
    TestHome home;
    RecordingPrompter prompter;
private Q_SLOTS:
    void initTestCase() { TPrompter::SetInstance(&prompter); }
    void cleanupTestCase() { TPrompter::SetInstance(nullptr); }

    void sslBoxCouplesPorts_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("check");
        QTest::addColumn<QString>("after");
        QTest::addRow("80 to 443") << "80" << true << "443";
        QTest::addRow("443 to 80") << "443" << false << "80";
        QTest::addRow("8088 stays") << "8088" << true << "8088";
    }
    void sslBoxCouplesPorts()
    {
        QFETCH(QString, port);
        QFETCH(bool, check);
        QFETCH(QString, after);
        TClientConfigX c;
        TLoginFrm d(c, QStringLiteral("/opt/kv/ZuDivuvo"));
        d.edtPort->setText(port);
        d.chbSSL->setChecked(!check);
        QTest::mouseClick(d.chbSSL, Qt::LeftButton, {}, QPoint(4, d.chbSSL->height() / 2));
        QCOMPARE(d.chbSSL->isChecked(), check);
        QCOMPARE(d.edtPort->text(), after);
    }

    // The shortcut's message says what happened: a desktop folder that cannot
    // be made (a file holds its name) is a failure, never "successfully".
    void shortcutSaysWhetherItWasMade_data()
    {
        QTest::addColumn<bool>("blocked");
        QTest::addRow("desktop folder can be written") << false;
        QTest::addRow("a file where the desktop folder would be") << true;
    }
    void shortcutSaysWhetherItWasMade()
    {
        QFETCH(bool, blocked);
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        QVERIFY(desktop.startsWith(home.path()));
        QDir(desktop).removeRecursively();
        QFile::remove(desktop);
        if (blocked) {
            QFile file(desktop);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        TClientConfigX c;
        c.SetLanguage(1);
        TLoginFrm d(c, QStringLiteral("/opt/kv/ZuDivuvo"));
        prompter.shown.clear();
        Q_EMIT d.lbShortcut->linkActivated(QStringLiteral("#"));
        QCOMPARE(prompter.shown.size(), 1);
        const QString launcher = desktop + QStringLiteral("/KelVo Client.desktop");
        if (blocked) {
            QCOMPARE(prompter.shown.first(), QStringLiteral("The shortcut could not be created in the desktop folder %1.").arg(desktop));
            QVERIFY(!QFileInfo::exists(launcher));
            QFile::remove(desktop);
        } else {
            QCOMPARE(prompter.shown.first(), QStringLiteral("Create shortcut successfully"));
            QVERIFY(QFileInfo(launcher).isFile());
        }
    }

    // Each focus change asked the server again, and closing waited for every probe.
    void closingDoesNotWaitForItsProbe()
    {
        TClientConfigX c;
        c.SetServerHost(QStringLiteral("127.0.0.1"));
        c.SetServerPort(18088);
        c.Save();
        auto release = std::make_shared<QSemaphore>();
        auto running = std::make_shared<std::atomic<int>>(0);
        auto started = std::make_shared<std::atomic<int>>(0);
        {
            TClientConfigX store;
            TLoginFrm d(store, QStringLiteral("/opt/kv/ZuDivuvo"));
            d.Fill();
            d.SetQrConfigProbe([release, running, started](const QString &, int, bool) {
                ++*started;
                ++*running;
                release->tryAcquire(1, 20000);
                --*running;
                return 1;
            });
            d.CheckQr();
            QTRY_COMPARE(running->load(), 1);
            d.CheckQr();   // the same address again: no second probe
        }
        // The dialog is gone while its probe still waits for the server.
        QCOMPARE(running->load(), 1);
        QCOMPARE(started->load(), 1);
        release->release();
        QTRY_COMPARE(running->load(), 0);
        QCOMPARE(TClientConfigX().EnableQR(), 0);   // the late answer changed nothing
    }

    void qrPanelFromStore()
    {
        TClientConfigX c;
        c.SetEnableQR(1);
        TLoginFrm d(c, QStringLiteral("/opt/kv/ZuDivuvo"));
        d.CheckQr();
        QVERIFY(!d.plQR->isHidden());
    }
};

class QrLoginTest : public QObject
{
    Q_OBJECT
    TestHome home;
    RecordingPrompter prompter;
    const TServerAddress server{QStringLiteral("127.0.0.1"), 8088, false};

    static TDuziDezLoginFrm::BrowserFactory fakeFactory(FakeBrowser **made, QVariantList answers)
    {
        return [made, answers](QWidget *parent) {
            auto b = std::make_unique<FakeBrowser>(parent);
            b->answers = answers;
            *made = b.get();
            return std::unique_ptr<TEmbeddedBrowser>(std::move(b));
        };
    }
    static TDuziDezLoginFrm::AddressFetch answering(const QString &path, bool ok = true)
    {
        return [path, ok](QString &out) {
            out = path;
            return ok;
        };
    }
private Q_SLOTS:
    void initTestCase() { TPrompter::SetInstance(&prompter); }
    void cleanupTestCase() { TPrompter::SetInstance(nullptr); }
    void init()
    {
        prompter.shown.clear();
        QFile::remove(home.configFolder() + QLatin1String("rvc.sys"));
    }

    void closingDoesNotWaitForTheAddress()
    {
        auto release = std::make_shared<QSemaphore>();
        auto running = std::make_shared<std::atomic<bool>>(false);
        {
            TClientConfigX c;
            FakeBrowser *browser = nullptr;
            TDuziDezLoginFrm w(c, server, HSL_CN, [release, running](QString &path) {
                *running = true;
                release->tryAcquire(1, 20000);
                path = QStringLiteral("/QRLogin?opr=page&qid=AB");
                *running = false;
                return true;
            }, fakeFactory(&browser, {}));
            w.show();
            QTRY_VERIFY(running->load());
        }
        QVERIFY(running->load());   // closed without waiting for the server
        release->release();
        QTRY_VERIFY(!running->load());
        QVERIFY(prompter.shown.isEmpty());
    }

    void pollAnswers_data()
    {
        QTest::addColumn<QVariantList>("answers");
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<QString>("message");
        const QVariant none = QVariant::fromValue(nullptr);
        QTest::addRow("identity after waiting") << QVariantList{none, none, inputValue(qrIdentity(QStringLiteral("Bo")))} << true << QString();
        QTest::addRow("script error is ignored") << QVariantList{QVariant(), inputValue(qrIdentity(QStringLiteral("Bo")))} << true << QString();
        QTest::addRow("empty input") << QVariantList{none, inputValue(QString())} << false << QStringLiteral("得到用户登录数据失败！");
        QTest::addRow("server message") << QVariantList{inputValue(QStringLiteral("E:二维码已过期。"))} << false << QStringLiteral("二维码已过期。");
        QTest::addRow("long server message is cut") << QVariantList{inputValue(QStringLiteral("E:") + QString(300, u'x'))} << false << QString(128, u'x');
        QTest::addRow("not an identity") << QVariantList{inputValue(QStringLiteral("garbage"))} << false << QStringLiteral("得到用户登录数据失败！");
    }
    void pollAnswers()
    {
        QFETCH(QVariantList, answers);
        QFETCH(bool, loggedIn);
        QFETCH(QString, message);
        TClientConfigX c;
        FakeBrowser *browser = nullptr;
        TDuziDezLoginFrm w(c, server, HSL_CN, answering(QStringLiteral("/QRLogin?opr=page&qid=AB")), fakeFactory(&browser, answers));
        QCOMPARE(w.size(), QSize(480, 480));
        w.show();
        QTRY_COMPARE(browser->loaded, QUrl(QStringLiteral("http://127.0.0.1:8088/QRLogin?opr=page&qid=AB")));
        QVERIFY(w.lbWait->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(browser->answers.isEmpty() && !w.tmPoll->isActive(), 10000);
        QCOMPARE(w.FIsLogin, loggedIn);
        QCOMPARE(prompter.shown.value(0), message);
        // Failures leave the window open for the user to close.
        QCOMPARE(w.isVisible(), !loggedIn);
        TClientConfigX after;
        QCOMPARE(after.OwnerName(), loggedIn ? QStringLiteral("Bo") : QString());
        QCOMPARE(after.StartStyle(), loggedIn ? int(SS_ACTIVTX) : int(SS_NONE));
    }

    void closedWindowIgnoresALateIdentity()
    {
        TClientConfigX c;
        FakeBrowser *browser = nullptr;
        const QVariant none = QVariant::fromValue(nullptr);
        TDuziDezLoginFrm w(c, server, HSL_CN, answering(QStringLiteral("/QRLogin?opr=page&qid=AB")),
                           fakeFactory(&browser, {none, inputValue(qrIdentity(QStringLiteral("Bo")))}));
        w.show();
        QTRY_VERIFY(w.tmPoll->isActive());
        w.reject();
        QVERIFY(!w.tmPoll->isActive());
        QTest::qWait(3 * TDuziDezLoginFrm::kPollMs);
        QVERIFY(!w.FIsLogin);
        QCOMPARE(TClientConfigX().OwnerName(), QString());
    }

    void addressFailures_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("ok");
        QTest::addRow("empty answer") << QString() << true;
        QTest::addRow("request failed") << QStringLiteral("/QRLogin?opr=page") << false;
    }
    void addressFailures()
    {
        QFETCH(QString, path);
        QFETCH(bool, ok);
        TClientConfigX c;
        c.SetEnableQR(2);
        FakeBrowser *browser = nullptr;
        TDuziDezLoginFrm w(c, server, HSL_CN, answering(path, ok), fakeFactory(&browser, {}));
        QCOMPARE(w.size(), QSize(540, 600));
        w.show();
        QTRY_COMPARE(prompter.shown.value(0), QStringLiteral("得到扫码登录地址失败！"));
        QVERIFY(browser->loaded.isEmpty());
        QVERIFY(w.isVisible());
    }
};

class MainWindowTest : public QObject
{
    Q_OBJECT
    TestHome home;
    RecordingPrompter prompter;
    // Ann's saved login with automatic login, as a client left it.
    static void saveAutoLogin()
    {
        TClientConfigX c;
        c.SetStartStyle(SS_ACTIVTX);
        c.SetOwnerId2(5);
        c.SetOwnerName(QStringLiteral("Ann"));
        c.SetEncryptId(QStringLiteral("E5"));
        c.Save();
    }

private Q_SLOTS:
    void initTestCase() { TPrompter::SetInstance(&prompter); }
    void cleanupTestCase() { TPrompter::SetInstance(nullptr); }
    void init() { QFile::remove(home.configFolder() + QLatin1String("rvc.sys")); }

    void webSessionNeedsNoDialog()
    {
        TClientConfigX c;
        c.SetStartStyle(SS_ACTIVTX);
        c.SetOwnerId2(5);
        c.SetOwnerName(QStringLiteral("张三"));
        c.SetEncryptId(QStringLiteral("E5"));
        c.SetLanguage(1);
        c.Save();
        TClientConfigX store;
        auto bp = std::make_shared<FakeBackend>();
        FakeBackend &b = *bp;
        TARVOClientFrm w(store, bp, QStringLiteral("/opt/kv/ZuDivuvo"));
        w.StartLoginSequence();
        QVERIFY(w.Session().FIsLogin);
        QCOMPARE(w.StatusText(), QStringLiteral("    Welcome:张三"));
        QCOMPARE(b.logins, 0);
    }

    // The welcome names the user of this session as the client holds it, not
    // whoever the stored file names (another file, or a save that failed).
    void welcomeNamesTheUserOfTheSession()
    {
        TClientConfigX stale;
        stale.SetOwnerName(QStringLiteral("Ann"));
        stale.Save();
        TClientConfigX store(home.path() + QLatin1String("/other/rvc.sys"));
        store.SetStartStyle(SS_ACTIVTX);
        store.SetOwnerId2(6);
        store.SetOwnerName(QStringLiteral("Bo"));
        store.SetEncryptId(QStringLiteral("E6"));
        store.SetLanguage(1);
        TARVOClientFrm w(store, std::make_shared<FakeBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        w.StartLoginSequence();
        QVERIFY(w.Session().FIsLogin);
        QCOMPARE(w.StatusText(), QStringLiteral("    Welcome:Bo"));
    }

    // A poll that finds messages again while the notice is up raises that notice: with
    // the poll at one second, stacked notices made the resident client grow.
    void messagePollsShowOneNotice()
    {
        TClientConfigX store;
        TARVOClientFrm w(store, std::make_shared<FakeBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        for (int i = 0; i < 3; ++i)
            Q_EMIT w.Duties().messagesWaiting();
        QCOMPARE(w.findChildren<TMessageNoticeFrm *>().size(), 1);
    }

    // The edit monitor is made at the first edit, not at login, and keeps the
    // main window's exit guards it was handed before.
    void editMonitorIsMadeWhenFirstNeeded()
    {
        saveAutoLogin();
        TClientConfigX store;
        TARVOClientFrm w(store, std::make_shared<FakeBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        w.StartLoginSequence();
        QVERIFY(w.Session().FIsLogin);
        QCoreApplication::processEvents();
        QVERIFY(w.findChildren<TShowEditInfoFrm *>().isEmpty());
        TShowEditInfoFrm *monitor = w.Editing()->Monitor();
        QVERIFY(monitor);
        QCOMPARE(w.findChildren<TShowEditInfoFrm *>().size(), 1);
        QVERIFY(monitor->Monitor().BusyElsewhere);
        QVERIFY(monitor->Monitor().MainShownNow);
    }

    // The style's icons are drawn when a size is first painted, and draw what the
    // style draws; a sharp one fills sizes the style has no picture of.
    void styleIconsDrawAsTheStyle_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<bool>("sharp");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("mode");
        QTest::addRow("folder at 16") << int(QStyle::SP_DirIcon) << false << 16 << int(QIcon::Normal);
        QTest::addRow("file at 32") << int(QStyle::SP_FileIcon) << false << 32 << int(QIcon::Normal);
        QTest::addRow("disabled folder") << int(QStyle::SP_DirIcon) << false << 16 << int(QIcon::Disabled);
        QTest::addRow("sharp at its own size") << int(QStyle::SP_DirHomeIcon) << true << 32 << int(QIcon::Normal);
        QTest::addRow("sharp at 1.5 times") << int(QStyle::SP_DirHomeIcon) << true << 48 << int(QIcon::Normal);
        QTest::addRow("sharp at 3 times") << int(QStyle::SP_DialogCloseButton) << true << 96 << int(QIcon::Normal);
    }
    void styleIconsDrawAsTheStyle()
    {
        QFETCH(int, which);
        QFETCH(bool, sharp);
        QFETCH(int, size);
        QFETCH(int, mode);
        const QIcon style = QApplication::style()->standardIcon(QStyle::StandardPixmap(which));
        const QPixmap drawn = StyleIcon(QStyle::StandardPixmap(which), sharp).pixmap(QSize(size, size), 1.0, QIcon::Mode(mode));
        const QPixmap own = style.pixmap(QSize(size, size), 1.0, QIcon::Mode(mode));
        QVERIFY(!drawn.isNull());
        if (sharp) {
            // Never smaller than asked, as a plain style icon is where it has no such size.
            QCOMPARE(drawn.size(), QSize(size, size));
            if (own.size() == QSize(size, size))
                QCOMPARE(drawn.toImage(), own.toImage());
        } else {
            QCOMPARE(drawn.toImage(), own.toImage());
        }
    }

    // The viewers are a library the client loads at its first preview, taking
    // the client's own parts from the program: a preview command opens its viewer.
    void previewCommandLoadsTheViewers()
    {
        saveAutoLogin();
        TClientConfigX store;
        TARVOClientFrm w(store, std::make_shared<FakeBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        w.StartLoginSequence();
        QVERIFY(w.Session().FIsLogin);
        TWebCmd cmd;
        cmd.Code = 13;
        cmd.Cmd = QStringLiteral("[filekey]7[/filekey][filever]-1[/filever][filename]notes.txt[/filename]"
                                 "[ctparams]Readonly=True,CanPrint=False[/ctparams]");
        w.WebModule().Queue().Add(cmd);
        w.WebModule().DoWebMessage();
        QTRY_COMPARE(w.PreviewWindows()->Windows().size(), 1);
        const QWidget *viewer = w.PreviewWindows()->Windows().constFirst();
        QCOMPARE(viewer->metaObject()->className(), "TTextPreviewFrm");
        QCOMPARE(viewer->windowTitle(), QStringLiteral("notes.txt"));
    }

    // Batch tasks run as the user who logged in: log-out stops them, and the
    // next login starts them again as its own user.
    void logOutStopsTheBatchTasks()
    {
        saveAutoLogin();
        TClientConfigX store;
        auto bp = std::make_shared<FakeBackend>();
        TARVOClientFrm w(store, bp, QStringLiteral("/opt/kv/ZuDivuvo"));
        w.StartLoginSequence();
        QVERIFY(w.Session().FIsLogin);
        QVERIFY(w.BatchFrm()->Manager().IsAutoRun());
        w.LogOut();
        QVERIFY(!w.Session().FIsLogin);
        QVERIFY(!w.BatchFrm()->Manager().IsAutoRun());
    }

    void dialogLoginRetriesAfterAFailure()
    {
        TClientConfigX c;
        c.SetServerHost(QStringLiteral("127.0.0.1"));
        c.SetServerPort(18088);
        c.SetLanguage(1);
        c.Save();
        TClientConfigX store;
        auto bp = std::make_shared<FakeBackend>();
        FakeBackend &b = *bp;
        TARVOClientFrm w(store, bp, QStringLiteral("/opt/kv/ZuDivuvo"));
        bool done = false;
        QTimer::singleShot(0, this, [&] {
            TLoginFrm *d = w.LoginDialog();
            QVERIFY(d);
            QCOMPARE(d->edtIp->text(), QStringLiteral("127.0.0.1"));
            d->edtNickName->setText(QStringLiteral("demo"));
            d->edtPass->setText(QStringLiteral("wrong"));
            QTest::mouseClick(d->Button1, Qt::LeftButton);
            QTRY_VERIFY(!d->IsBusy());
            QCOMPARE(prompter.shown.last(), QStringLiteral("Wrong user name or password"));
            QVERIFY(d->isVisible());
            d->edtPass->setText(QStringLiteral("demo"));
            QTest::mouseClick(d->Button1, Qt::LeftButton);
            done = true;
        });
        QVERIFY(w.ShowLoginDialog());
        QVERIFY(done);
        QCOMPARE(b.logins, 2);
        QCOMPARE(b.lastServer.Port, 18088);
        QVERIFY(w.Session().FIsLogin);
        QCOMPARE(w.StatusText(), QStringLiteral("    Welcome:demo (display)"));
        QCOMPARE(TClientConfigX().EncryptId(), QStringLiteral("ENC-demo"));
    }

    // Offscreen has no system tray, as some desktops do not: the window must stay
    // reachable, and the user is told once why it is minimised rather than hidden.
    void withoutTrayCloseMinimisesAndSaysSoOnce_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("phrase");
        QTest::addRow("english") << 1 << QStringLiteral("no system tray");
        QTest::addRow("chinese") << 2 << QStringLiteral("没有系统托盘");
    }
    void withoutTrayCloseMinimisesAndSaysSoOnce()
    {
        QFETCH(int, language);
        QFETCH(QString, phrase);
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        TClientConfigX c;
        c.SetLanguage(language);
        c.Save();
        prompter.shown.clear();
        TClientConfigX store;
        TARVOClientFrm w(store, std::make_shared<FakeBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        w.Session().FLoginOver = true;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(!w.HasTray());
        w.close();
        QVERIFY(w.isMinimized());
        QVERIFY(!w.isHidden());
        QCOMPARE(prompter.shown.size(), 1);
        QVERIFY2(prompter.shown.at(0).contains(phrase), qPrintable(prompter.shown.at(0)));
        // A second launch brings it back.
        w.handleMessage(1280, 0, 0);
        QVERIFY(!w.isMinimized());
        QVERIFY(w.isVisible());
        w.close();
        w.HideToTray();
        QVERIFY(w.isMinimized());
        QCOMPARE(prompter.shown.size(), 1);
        w.handleMessage(1135, 0, 513);
        QVERIFY(!w.isMinimized());
    }

    // Without a keyring (as on this test's machine) the remembered password stays
    // in the file, and the window says so after the first login, not after each.
    void savedPasswordPlaceIsToldOnce()
    {
        TClientConfigX c;
        c.SetServerHost(QStringLiteral("127.0.0.1"));
        c.SetServerPort(18088);
        c.SetLanguage(1);
        c.Save();
        TClientConfigX store;
        TARVOClientFrm w(store, std::make_shared<FakeBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        w.Session().FLoginOver = true;
        auto logInRemembering = [&] {
            QTimer::singleShot(0, this, [&] {
                TLoginFrm *d = w.LoginDialog();
                QVERIFY(d);
                d->edtNickName->setText(QStringLiteral("demo"));
                d->edtPass->setText(QStringLiteral("demo"));
                if (!d->chkAutoLogin->isChecked())
                    d->chkAutoLogin->click();
                QTest::mouseClick(d->Button1, Qt::LeftButton);
            });
            return w.ShowLoginDialog();
        };
        QVERIFY(logInRemembering());
        QVERIFY(w.Hint()->isVisible());
        QVERIFY2(w.Hint()->Text().contains(QStringLiteral("kept, protected, in ") + store.ConfigFileName()),
                 qPrintable(w.Hint()->Text()));
        QCOMPARE(TClientConfigX().LoginPassword(), QStringLiteral("demo"));
        w.Hint()->hide();
        w.Session().FIsLogin = false;   // a second login in the same run
        QVERIFY(logInRemembering());
        QVERIFY(!w.Hint()->isVisible());
    }

    void closeHidesExitLogsOut()
    {
        TClientConfigX store;
        auto bp = std::make_shared<FakeBackend>();
        TARVOClientFrm w(store, bp, QStringLiteral("/opt/kv/ZuDivuvo"));
        w.Session().FLoginOver = true;  // no login sequence in this test
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.close();
        // Only hidden (or minimised where there is no tray), never closed.
        QVERIFY(w.isHidden() || w.isMinimized());
        QVERIFY(!w.BClose);
        w.handleMessage(1135, 0, 513);
        QVERIFY(w.isVisible());
        w.hide();
        w.handleMessage(1280, 0, 0);
        QVERIFY(w.isVisible());
        store.SetOwnerId2(9);
        w.LogOutAndExit();
        QVERIFY(w.BClose);
        QCOMPARE(TClientConfigX().OwnerId2(), 0);
    }

    // "-l 2" handed to the running English client by a second launch: it says once when that applies.
    void languageFromASecondLaunchIsAnnounced()
    {
        TClientConfigX store;
        store.SetLanguage(1);
        store.Save();
        TARVOClientFrm w(store, std::make_shared<FakeBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        w.Session().FLoginOver = true;
        prompter.shown.clear();
        w.handleMessage(1280, 0, 0);
        QCoreApplication::processEvents();
        QVERIFY(prompter.shown.isEmpty());
        TClientConfigX launch;
        launch.SetLanguage(2);
        launch.Save();
        w.handleMessage(1280, 0, 0);
        QTRY_COMPARE(prompter.shown, QStringList{QStringLiteral("The new interface language applies the next time the client starts.")});
        w.handleMessage(1280, 0, 0);
        QCoreApplication::processEvents();
        QCOMPARE(prompter.shown.size(), 1);
    }

    void scanCodeLoginEstablishesTheSession()
    {
        TClientConfigX c;
        c.SetServerHost(QStringLiteral("127.0.0.1"));
        c.SetServerPort(18088);
        c.Save();
        TClientConfigX store;
        auto bp = std::make_shared<FakeBackend>();
        FakeBackend &b = *bp;
        TARVOClientFrm w(store, bp, QStringLiteral("/opt/kv/ZuDivuvo"));
        w.Session().FLoginOver = true;
        TARVOClientFrm::TBrowserProvider provider;
        provider.UnavailableReason = [](bool) { return QString(); };
        provider.Create = [](QWidget *parent) {
            auto browser = std::make_unique<FakeBrowser>(parent);
            browser->answers = {inputValue(qrIdentity(QStringLiteral("Bo")))};
            return std::unique_ptr<TEmbeddedBrowser>(std::move(browser));
        };
        w.SetBrowserProvider(provider);
        b.pages.insert(QStringLiteral("http://127.0.0.1:18088/QRLogin?opr=url"), "/QRLogin?opr=page&qid=1");
        QVERIFY(w.UMQRLogin());
        QVERIFY(w.Session().FIsLogin);
        QCOMPARE(w.StatusText(), QStringLiteral("    Welcome:Bo"));
        QCOMPARE(b.logins, 0);
    }

    void scanCodeLoginWithoutBrowserFallsBackToTheDialog()
    {
        TClientConfigX store;
        auto bp = std::make_shared<FakeBackend>();
        TARVOClientFrm w(store, bp, QStringLiteral("/opt/kv/ZuDivuvo"));
        w.Session().FLoginOver = true;
        w.SetBrowserProvider({[](bool) { return QStringLiteral("no browser here"); }, nullptr});
        bool dialogShown = false;
        QTimer::singleShot(0, this, [&] {
            dialogShown = w.LoginDialog() != nullptr;
            if (w.LoginDialog())
                w.LoginDialog()->reject();
        });
        QVERIFY(!w.UMQRLogin());
        QCOMPARE(prompter.shown.last(), QStringLiteral("no browser here"));
        QVERIFY(dialogShown);
    }

    void automaticLogin_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("loggedIn");
        QTest::addRow("saved password works") << "demo" << true;
        QTest::addRow("refused: the filled dialog, no message") << "old" << false;
    }
    void automaticLogin()
    {
        QFETCH(QString, password);
        QFETCH(bool, loggedIn);
        prompter.shown.clear();
        TClientConfigX c;
        c.SetServerHost(QStringLiteral("127.0.0.1"));
        c.SetServerPort(18088);
        c.SetAutoLogin(true);
        c.SetLoginName(QStringLiteral("demo"));
        c.SetLoginPassword(password);
        c.SetLanguage(1);
        c.Save();
        // A command a page left on the clipboard before this login must not run after it.
        QGuiApplication::clipboard()->setText(QStringLiteral("[Key]5[/Key][FileName]a.dwg[/FileName]"));
        TClientConfigX store;
        auto bp = std::make_shared<FakeBackend>();
        FakeBackend &b = *bp;
        TARVOClientFrm w(store, bp, QStringLiteral("/opt/kv/ZuDivuvo"));
        QString dialogName;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (TLoginFrm *d = w.LoginDialog()) {
                dialogName = d->edtNickName->text();
                d->reject();
            }
        });
        watch.start(10);
        w.StartLoginSequence();
        QCOMPARE(QGuiApplication::clipboard()->text().trimmed(), QString());
        QTRY_COMPARE(b.logins.load(), 1);
        if (loggedIn) {
            QTRY_VERIFY(w.Session().FIsLogin);
            QCOMPARE(TClientConfigX().EncryptId(), QStringLiteral("ENC-demo"));
        } else {
            QTRY_COMPARE(dialogName, QStringLiteral("demo"));
            QVERIFY(!w.Session().FIsLogin);
        }
        QVERIFY(loggedIn == dialogName.isEmpty());
        // The refusal itself is silent (once logged in, the file manager may report that no server runs here).
        if (!loggedIn)
            QVERIFY2(prompter.shown.isEmpty(), qPrintable(prompter.shown.join(u'|')));
    }

    // User A's automatic login must not land on top of the session the user made by hand.
    void lateAutomaticLoginIsDropped()
    {
        TClientConfigX c;
        c.SetServerHost(QStringLiteral("127.0.0.1"));
        c.SetServerPort(18088);
        c.SetAutoLogin(true);
        c.SetLoginName(QStringLiteral("slow"));
        c.SetLoginPassword(QStringLiteral("demo"));
        c.SetLanguage(1);
        c.Save();
        TClientConfigX store;
        auto bp = std::make_shared<FakeBackend>();
        FakeBackend &b = *bp;
        b.heldName = QStringLiteral("slow");
        TARVOClientFrm w(store, bp, QStringLiteral("/opt/kv/ZuDivuvo"));
        w.StartLoginSequence();   // the automatic login now waits in the backend
        QTimer::singleShot(0, this, [&] {
            TLoginFrm *d = w.LoginDialog();
            QVERIFY(d);
            d->edtNickName->setText(QStringLiteral("demo"));
            d->edtPass->setText(QStringLiteral("demo"));
            QTest::mouseClick(d->Button1, Qt::LeftButton);
        });
        QVERIFY(w.ShowLoginDialog());
        QCOMPARE(TClientConfigX().EncryptId(), QStringLiteral("ENC-demo"));
        b.held.release();
        QTRY_COMPARE(b.logins.load(), 2);
        QTRY_COMPARE(RequestPool()->activeThreadCount(), 0);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(w.Session().FIsLogin);
        QCOMPARE(TClientConfigX().EncryptId(), QStringLiteral("ENC-demo"));
        QCOMPARE(w.StatusText(), QStringLiteral("    Welcome:demo (display)"));
        QVERIFY(!w.LoginDialog());
    }

    void postLoginFetchesInOrderUntilOneFails_data()
    {
        QTest::addColumn<int>("served");
        QTest::addColumn<int>("asked");
        QTest::addRow("all three") << 3 << 3;
        QTest::addRow("classifications refused") << 0 << 1;
        QTest::addRow("file types refused") << 1 << 2;
    }
    void postLoginFetchesInOrderUntilOneFails()
    {
        QFETCH(int, served);
        QFETCH(int, asked);
        TClientConfigX c;
        c.SetStartStyle(SS_ACTIVTX);
        c.SetServerHost(QStringLiteral("127.0.0.1"));
        c.SetServerPort(18088);
        c.SetOwnerId2(5);
        c.SetOwnerName(QStringLiteral("Ann"));
        c.SetEncryptId(QStringLiteral("E5"));
        c.SetLanguage(1);
        c.Save();
        const QString base = QStringLiteral("http://127.0.0.1:18088");
        const QStringList pages{base + QStringLiteral("/user?opr=sc&userid=5"),
                                base + QStringLiteral("/linkX?opr=clientconfig&userid=5"),
                                base + QStringLiteral("/static/clientLogo_ENG2.png")};
        TClientConfigX store;
        auto bp = std::make_shared<FakeBackend>();
        FakeBackend &b = *bp;
        for (int i = 0; i < served; ++i)
            b.pages.insert(pages[i], i == 1 ? QByteArray("[Type0]12[/Type0]") : QByteArray("x"));
        TARVOClientFrm w(store, bp, QStringLiteral("/opt/kv/ZuDivuvo"));
        w.StartLoginSequence();
        QVERIFY(w.Session().FIsLogin);
        QTRY_COMPARE(b.Asked().size(), asked);
        QTRY_COMPARE(RequestPool()->activeThreadCount(), 0);
        QCOMPARE(b.Asked(), pages.mid(0, asked));
        QCoreApplication::processEvents();
        QCOMPARE(TClientConfigX().FileExtInfo().isEmpty(), served < 2);
    }

    // Before any login the file manager speaks the window's language too.
    void oneLanguagePerScreen_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("refresh");
        QTest::addColumn<QString>("exitHint");
        QTest::addRow("English") << 1 << QStringLiteral("Refresh") << QStringLiteral("Exit");
        QTest::addRow("Chinese") << 2 << QStringLiteral("刷新") << QStringLiteral("退出客户端");
    }
    void oneLanguagePerScreen()
    {
        QFETCH(int, language);
        QFETCH(QString, refresh);
        QFETCH(QString, exitHint);
        TClientConfigX c;
        c.SetLanguage(language);
        c.Save();
        TClientConfigX store;
        TARVOClientFrm w(store, std::make_shared<FakeBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        QCOMPARE(w.FileMagFrm()->tbTools->actions().first()->text(), refresh);
        auto *exitButton = w.findChild<QToolButton *>(QStringLiteral("imgExit"));
        QCOMPARE(exitButton->text(), exitHint);
        // Every caption of the icon bar is whole at the starting width.
        for (QToolButton *b : w.findChildren<QToolButton *>())
            if (b->parentWidget()->objectName() == QLatin1String("iconBar"))
                for (const QString &line : b->text().split(u'\n'))
                    QVERIFY2(b->parentWidget()->width() >= b->fontMetrics().horizontalAdvance(line) + 8,
                             qPrintable(line));
        // Every tool is on the bar at the starting size, none behind its "more" arrow.
        w.Session().FLoginOver = true;   // no login dialog in this test
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.size(), QSize(800, 640));
        for (QAction *a : w.FileMagFrm()->tbTools->actions())
            QVERIFY2(w.FileMagFrm()->tbTools->widgetForAction(a)->isVisible(), qPrintable(a->text()));
    }

    void refusedLoginInTheScreenLanguage_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("shown");
        const QString cn = QStringLiteral("用户名或密码错误。");
        const QString en = QStringLiteral("The server refused the login. Check the user name and password.");
        QTest::addRow("Chinese answer, English screen") << 82 << cn << 1 << en;
        QTest::addRow("Chinese answer, Chinese screen") << 82 << cn << 2 << cn;
        QTest::addRow("English answer, English screen") << 88 << QStringLiteral("Account disabled.") << 1
                                                        << QStringLiteral("Account disabled.");
        QTest::addRow("no answer text") << 82 << QString() << 2 << QStringLiteral("服务器拒绝登录，请检查用户名和密码。");
    }
    void refusedLoginInTheScreenLanguage()
    {
        QFETCH(int, status);
        QFETCH(QString, server);
        QFETCH(int, language);
        QFETCH(QString, shown);
        QCOMPARE(LoginRefusalText(quint8(status), server, THS_Language(language)), shown);
    }

    void unreachableServerInChinese()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const int port = probe.serverPort();
        probe.close();
        TNetSessionBackend backend;
        TLoginResult r;
        QString error;
        QVERIFY(!backend.Login(TServerAddress{QStringLiteral("127.0.0.1"), port, false}, HSL_CN, QStringLiteral("demo"),
                               QStringLiteral("demo"), r, &error));
        QCOMPARE(error, QStringLiteral("无法连接服务器，请检查服务器地址和端口，并确认服务器正在运行。"));
    }

    // Qt's own buttons (message boxes, file dialogs) follow a Chinese screen.
    void qtButtonsInChinese()
    {
        QCOMPARE(InstallQtTranslations(HSL_ENG), nullptr);
        QTranslator *t = InstallQtTranslations(HSL_CN);
        QVERIFY2(t, "qtbase_zh_CN not found: the Qt translations package is missing");
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
        QCoreApplication::removeTranslator(t);
        delete t;
    }

    void trayMenuOpensAndLogsOut()
    {
        TClientConfigX c;
        c.SetStartStyle(SS_ACTIVTX);
        c.SetOwnerId2(5);
        c.SetOwnerName(QStringLiteral("Ann"));
        c.SetEncryptId(QStringLiteral("E5"));
        c.SetLanguage(1);
        c.Save();
        TClientConfigX store;
        TARVOClientFrm w(store, std::make_shared<FakeBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        w.StartLoginSequence();
        QVERIFY(w.Session().FIsLogin);
        QMenu *tray = nullptr;
        for (QMenu *m : w.findChildren<QMenu *>())
            for (QAction *a : m->actions())
                if (a->text() == QLatin1String("Close client"))
                    tray = m;
        QVERIFY(tray);
        QStringList entries;
        for (QAction *a : tray->actions())
            if (!a->isSeparator())
                entries << a->text();
        QCOMPARE(entries, (QStringList{"Open", "Log out", "Close client"}));
        bool dialogShown = false;
        QTimer::singleShot(100, &w, [&] {
            if (TLoginFrm *d = w.LoginDialog()) {
                dialogShown = true;
                d->reject();
            }
        });
        tray->actions().at(1)->trigger();
        QVERIFY(!w.Session().FIsLogin);
        QCOMPARE(TClientConfigX().OwnerId2(), 0);
        QCOMPARE(w.FileMagFrm()->tvOrg->topLevelItemCount(), 0);
        QTRY_VERIFY(dialogShown);   // the client stays, and asks for a login again
        QVERIFY(!w.BClose);
    }

    // A fetched file with no program for it: the hint says so and offers its folder.
    void hintOffersTheFolder()
    {
        TPreViewHint hint(HSL_ENG);
        QStringList opened;
        hint.FOpenUrl = [&opened](const QUrl &u) {
            opened << u.toLocalFile();
            return true;
        };
        hint.OfferFolder(QStringLiteral("/home/ann/kv/fetched"));
        hint.ShowText(QStringLiteral("Failed to open the file"));
        QVERIFY(hint.btnOpenFolder->isVisible() && hint.btnClose->isVisible());
        QTest::mouseClick(hint.btnOpenFolder, Qt::LeftButton);
        QCOMPARE(opened, QStringList{"/home/ann/kv/fetched"});
        QVERIFY(!hint.isVisible());
        hint.ShowText(QStringLiteral("Another message"));
        QVERIFY(!hint.btnOpenFolder->isVisible());
        QTest::mouseClick(hint.btnClose, Qt::LeftButton);
        QVERIFY(!hint.isVisible());
    }

    void suppressMessageStoresTime()
    {
        TClientConfigX store;
        auto bp = std::make_shared<FakeBackend>();
        TARVOClientFrm w(store, bp, QStringLiteral("/opt/kv/ZuDivuvo"));
        w.handleMessage(1281, 0, 2);
        QVERIFY(std::abs(TClientConfigX().LastTimeOfViewMsg() - (NowDateTime() + 1)) < 0.001);
    }
};

int runSettingsTests(const QStringList &args);   // tst_settings.cpp

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int failed = runTests<ArgumentTest, StartupTest, LaunchTest, SessionTest, DutiesTest, LoginDialogTest, QrLoginTest, MainWindowTest>(
        argc, argv);
    return (runSettingsTests({QString::fromLocal8Bit(argv[0])}) != 0 || failed != 0) ? 1 : 0;
}

#include "tst_app.moc"
