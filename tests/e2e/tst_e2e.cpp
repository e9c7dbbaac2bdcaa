// The client's session logic and windows against the real reference server.
#include "app/arvoclientfrm.h"
#include "app/netsessionbackend.h"
#include "batchui/batchdownloadfrm.h"
#include "batchui/batchfiledealmainfrm.h"
#include "batchui/taskaddfrm.h"
#include "core/folders.h"
#include "core/webcmd.h"
#include "platform/prompter.h"
#include "core/aes.h"
#include "core/clientconfigx.h"
#include "net/sslhttp.h"
#include "platform/instancechannel.h"
#include "qrlogin.h"
#include "serverfixture.h"
#include "recordingprompter.h"
#include "testenv.h"
#include "testlogin.h"
#include "testprocess.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QPointer>
#include <QTreeWidget>
#include <QUrl>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>

namespace {

quint16 closedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();  // free again once s is gone
}

} // namespace

class SessionE2ETest : public QObject
{
    Q_OBJECT
    TestHome home;
    TestServer server;
    TNetSessionBackend backend;
    TServerAddress address() const { return {QStringLiteral("127.0.0.1"), server.port(), false}; }

private Q_SLOTS:
    void login_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("ok");
        QTest::addRow("demo") << "demo" << "demo" << true;
        QTest::addRow("wrong password") << "demo" << "nope" << false;
        QTest::addRow("unknown user") << "nobody" << "demo" << false;
    }
    void login()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(bool, ok);
        TLoginResult r;
        QString error;
        QCOMPARE(backend.Login(address(), HSL_ENG, name, password, r, &error), ok);
        if (ok) {
            QCOMPARE(r.UserName, QStringLiteral("Demo User"));
            QVERIFY(r.UserId2 > 0);
            QVERIFY(!r.UserId.isEmpty());
        } else {
            QVERIFY2(!error.isEmpty(), "a refused login must say why");
        }
    }

    void unreachableServerSaysSo()
    {
        TLoginResult r;
        QString error;
        QVERIFY(!backend.Login({QStringLiteral("127.0.0.1"), closedPort(), false}, HSL_ENG, QStringLiteral("demo"),
                               QStringLiteral("demo"), r, &error));
        QVERIFY(!error.isEmpty());
    }

    void pagesAndPolling()
    {
        TLoginResult r;
        QVERIFY(backend.Login(address(), HSL_ENG, QStringLiteral("demo"), QStringLiteral("demo"), r, nullptr));
        QByteArray body;
        QVERIFY(backend.HttpGet(address().BaseUrl() + QStringLiteral("/user?opr=sc&userid=%1").arg(r.UserId2), false,
                                16000, body));
        QVERIFY(!backend.HttpGet(address().BaseUrl() + QStringLiteral("/no/such/page"), false, 16000, body));
        QVERIFY(body.isEmpty());  // an error page never passes for an answer
        QVERIFY(backend.PollIntervalSeconds(address()) > 0);
        QVERIFY(backend.HasUserMessages(address(), r.UserId, HSL_ENG));  // the demo user has a welcome message
        QVERIFY(!backend.HasUserMessages(address(), QStringLiteral("0123456789ABCDEF0123456789ABCDEF"), HSL_ENG));
    }

    void downloadForOpen()
    {
        TLoginResult r;
        QVERIFY(backend.Login(address(), HSL_ENG, QStringLiteral("demo"), QStringLiteral("demo"), r, nullptr));
        Store store(server.dataDir());
        qint64 key = 0;
        for (const FolderInfo &f : store.subFolders(r.UserId2, 0))
            for (const FileInfo &file : store.filesIn(f.id))
                if (!key)
                    key = file.key;
        QVERIFY(key > 0);
        const QString local = home.path() + QLatin1String("/copy_qx.bin");
        QString error;
        QVERIFY2(backend.DownloadFile(address(), r.UserId, HSL_ENG, key, -1, local, &error), qPrintable(error));
        QVERIFY(QFileInfo(local).size() > 0);
        QVERIFY(!backend.DownloadFile(address(), r.UserId, HSL_ENG, 999999, -1, local + QLatin1String("2"), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!QFileInfo::exists(local + QLatin1String("2")));
    }
};

class LoginWindowE2ETest : public QObject
{
    Q_OBJECT
    TestHome home;
    TestServer server;
    RecordingPrompter prompter;

private Q_SLOTS:
    void initTestCase() { TPrompter::SetInstance(&prompter); }
    void cleanupTestCase() { TPrompter::SetInstance(nullptr); }

    void dialogLoginAgainstTheServer()
    {
        QVERIFY(pointClientAt(server.port()));
        TClientConfigX config;
        TARVOClientFrm w(config, std::make_shared<TNetSessionBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        bool driven = false;
        QTimer::singleShot(0, this, [&] {
            TLoginFrm *d = w.LoginDialog();
            QVERIFY(d);
            d->edtNickName->setText(QStringLiteral("demo"));
            d->edtPass->setText(QStringLiteral("wrong"));
            QTest::mouseClick(d->Button1, Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!d->IsBusy(), 20000);
            QVERIFY(!prompter.shown.isEmpty());
            QVERIFY(d->isVisible());
            d->edtPass->setText(QStringLiteral("demo"));
            QTest::mouseClick(d->Button1, Qt::LeftButton);
            driven = true;
        });
        QVERIFY(w.ShowLoginDialog());
        QVERIFY(driven);
        QCOMPARE(w.StatusText(), QStringLiteral("    Welcome:Demo User"));
        QVERIFY(TClientConfigX().OwnerId2() > 0);
    }

    void webSessionFromTheServersAdminCommand()
    {
        // What the run script does: the server hands out a "-u" identity.
        QProcess admin;
        admin.start(binPath("zudivuvo-server"),
                    {QStringLiteral("--data"), server.dataDir(), QStringLiteral("web-session"), QStringLiteral("demo")});
        QVERIFY(admin.waitForFinished(10000));
        QCOMPARE(admin.exitCode(), 0);
        const QString token = QString::fromLatin1(admin.readAllStandardOutput()).trimmed();
        const QString identity = DecryptWithAppKey(token, AKS_128);
        QVERIFY2(identity.contains(QLatin1String("[UserName]Demo User[/UserName]")), qPrintable(identity));
        TNetSessionBackend backend;
        QVERIFY(backend.HasUserMessages({QStringLiteral("127.0.0.1"), server.port(), false},
                                        GetTagValue(identity, QStringLiteral("UserId")), HSL_ENG));
    }
};

// The real program, as a user runs it: a session handed over by the server,
// then a second launch carrying a browser link.
class LinkE2ETest : public QObject
{
    Q_OBJECT
    TestHome home;
    TestServer server;
    QString exe() const { return binPath("ZuDivuvo"); }

private Q_SLOTS:
    void openCommandOpensTheDownloadedCopy_data()
    {
        QTest::addColumn<QString>("serverName");  // the file the demo holds
        QTest::addColumn<QString>("linkName");    // the name the web page puts in the link
        QTest::addColumn<QString>("copyName");    // what lands in the temporary folder
        QTest::addRow("document") << "Todo.txt" << "Todo.txt" << "Todo_qx.txt";
        QTest::addRow("name reaching out of the folder") << "Todo.txt" << "../../home/.profile" << "file_qx.profile";
    }
    void openCommandOpensTheDownloadedCopy()
    {
        QFETCH(QString, serverName);
        QFETCH(QString, linkName);
        QFETCH(QString, copyName);
        Store store(server.dataDir());
        const qint64 key = store.db().value(QStringLiteral("SELECT key FROM files WHERE name=?"), {serverName}).toLongLong();
        QVERIFY(key > 0);
        QFile body(store.blobPath(store.version(key)->blob));
        QVERIFY(body.open(QIODevice::ReadOnly));
        const QString identity = webIdentity(store, 5);

        // The desktop's "open" records what it was given instead of starting a program.
        const QString bin = home.path() + QLatin1String("/bin");
        const QString opened = home.path() + QLatin1String("/opened.txt");
        QFile::remove(opened);
        QVERIFY(QDir().mkpath(bin));
        QFile opener(bin + QLatin1String("/xdg-open"));
        QVERIFY(opener.open(QIODevice::WriteOnly));
        opener.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + QFile::encodeName(opened) + "'\n");
        opener.close();
        opener.setPermissions(opener.permissions() | QFileDevice::ExeOwner);
        QFile mime(bin + QLatin1String("/xdg-mime"));
        QVERIFY(mime.open(QIODevice::WriteOnly));
        mime.write("#!/bin/sh\necho editor.desktop\n");
        mime.close();
        mime.setPermissions(mime.permissions() | QFileDevice::ExeOwner);

        QProcess first;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), bin + u':' + env.value(QStringLiteral("PATH")));
        first.setProcessEnvironment(env);
        first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // The whole command line comes as one argument, as from a browser.
        first.start(exe(), {QStringLiteral("-s 127.0.0.1#%1#0 -u %2").arg(server.port()).arg(identity)});
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(InstanceChannel().socketPath()), 10000);

        const QString link = QStringLiteral("zudivuvo://-p%20[code]14[/code][cmd][filekey]%1[/filekey][filename]%2[/filename][/cmd]/")
                                 .arg(key)
                                 .arg(QString::fromLatin1(QUrl::toPercentEncoding(linkName)));
        const ProgramRun second = runProgram(QStringLiteral("ZuDivuvo"), {link}, QProcessEnvironment::systemEnvironment(), 10000);
        QVERIFY2(second.code == 0, qPrintable(second.failText()));

        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(opened), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(opened).size() > 0, 2000);
        QFile record(opened);
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QString url = QString::fromUtf8(record.readAll()).trimmed();
        const QString local = QUrl(url).isLocalFile() ? QUrl(url).toLocalFile() : url;
        QCOMPARE(QFileInfo(local).absolutePath(), QFileInfo(home.configFolder() + QLatin1String("Temp/")).absolutePath());
        QCOMPARE(QFileInfo(local).fileName(), copyName);
        QFile copy(local);
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), body.readAll());

        QVERIFY(InstanceChannel().send({{1136, 0, 0}}, 2000, 0));
        QVERIFY(first.waitForFinished(10000));
        QTRY_VERIFY(!QFileInfo::exists(InstanceChannel().socketPath()));
    }
};

// What web pages hand to the batch windows: a bulk download (command 25) through
// the hand-off file and the dispatcher, a task request through the clipboard.
class BatchHandOverE2ETest : public QObject
{
    Q_OBJECT
    TestHome home;
    TestServer server;
    RecordingPrompter prompter;

private Q_SLOTS:
    void initTestCase() { TPrompter::SetInstance(&prompter); }
    void cleanupTestCase() { TPrompter::SetInstance(nullptr); }

    void handedOverListArrivesInTheChosenFolder()
    {
        QVERIFY(pointClientAt(server.port()));
        TClientConfigX config;
        TARVOClientFrm w(config, std::make_shared<TNetSessionBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        QTimer::singleShot(0, this, [&] {
            TLoginFrm *d = w.LoginDialog();
            QVERIFY(d);
            d->edtNickName->setText(QStringLiteral("demo"));
            d->edtPass->setText(QStringLiteral("demo"));
            QTest::mouseClick(d->Button1, Qt::LeftButton);
        });
        QVERIFY(w.ShowLoginDialog());

        Store store(server.dataDir());
        auto keyOf = [&](const char *name) {
            return store.db().value(QStringLiteral("SELECT key FROM files WHERE name=?"), {QString::fromUtf8(name)}).toLongLong();
        };
        const qint64 todo = keyOf("Todo.txt");
        const qint64 notes = keyOf("Meeting notes.txt");
        QVERIFY(todo > 0 && notes > 0);
        TWebCmd cmd;
        cmd.Code = 25;
        cmd.Cmd = QStringLiteral("[keys]%1|%2[/keys][names]/Personal/Todo.txt|/Personal/Notes/Meeting&nbsp;notes.txt[/names]")
                      .arg(todo)
                      .arg(notes);
        QVERIFY(WriteWebCmdFile(GetConfigFolder() + kWebCmdFileName, cmd));

        QPointer<TBatchDownloadFrm> dialog;
        QTRY_VERIFY_WITH_TIMEOUT((dialog = w.findChild<TBatchDownloadFrm *>()) && dialog->isVisible(), 10000);
        QCOMPARE(dialog->lvFiles->topLevelItemCount(), 2);
        QCOMPARE(dialog->lvFiles->topLevelItem(1)->text(0), QStringLiteral("Meeting notes.txt"));
        QStringList opened;
        dialog->FOpen = [&](const QString &path) {
            opened << path;
            return true;
        };
        const QString target = home.path() + QStringLiteral("/bulk");
        dialog->Edit1->setText(target);
        QTest::mouseClick(dialog->btConfirm, Qt::LeftButton);
        // Every file arrived: the dialog closes by itself and opens the folder.
        QTRY_VERIFY_WITH_TIMEOUT(!dialog, 20000);
        QCOMPARE(opened, QStringList{target + QStringLiteral("/")});
        for (const auto &[name, key] : {std::pair{QStringLiteral("Todo.txt"), todo}, std::pair{QStringLiteral("Meeting notes.txt"), notes}}) {
            QFile body(store.blobPath(store.version(key)->blob));
            QVERIFY(body.open(QIODevice::ReadOnly));
            QFile local(target + u'/' + name);
            QVERIFY2(local.open(QIODevice::ReadOnly), qPrintable(local.fileName()));
            QCOMPARE(local.readAll(), body.readAll());
        }
        QVERIFY(prompter.shown.isEmpty());
    }

    // A web page's task request left on the clipboard opens the task editor on it.
    void clipboardTaskRequestOpensTheEditor()
    {
        TClientConfigX config;
        TARVOClientFrm w(config, std::make_shared<TNetSessionBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        QTimer::singleShot(0, this, [&] {
            TLoginFrm *d = w.LoginDialog();
            QVERIFY(d);
            d->edtNickName->setText(QStringLiteral("demo"));
            d->edtPass->setText(QStringLiteral("demo"));
            QTest::mouseClick(d->Button1, Qt::LeftButton);
        });
        QVERIFY(w.ShowLoginDialog());
        TBatchTransport seen;
        bool opened = false;
        w.BatchFrm()->FRunEditor = [&](TTaskAddFrm &editor) {
            seen = editor.OldTaskInfo();
            opened = true;
        };
        QGuiApplication::clipboard()->setText(
            QStringLiteral("[TranStyle]1[/TranStyle][FF]2[/FF][OwnerId]5[/OwnerId][SourceId]0[/SourceId]"));
        QTRY_VERIFY_WITH_TIMEOUT(opened, 5000);
        QCOMPARE(int(seen.TranStyle), int(TS_Upload));
        QCOMPARE(seen.DestOwnerId, 5);
        QCOMPARE(seen.DestFolderName, QStringLiteral("..."));
        QVERIFY(seen.IncludeRootPath);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("  "));
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return runTests<SessionE2ETest, LoginWindowE2ETest, LinkE2ETest, BatchHandOverE2ETest>(argc, argv);
}

#include "tst_e2e.moc"
