// The settings menu's dialogs against the reference server on 127.0.0.1: the
// connection test, the stored address and work folder, the password change.
#include "app/arvoclientfrm.h"
#include "app/netsessionbackend.h"
#include "app/settingsfrms.h"
#include "core/clientconfigx.h"
#include "core/workpools.h"
#include "net/robottcpclient.h"
#include "platform/prompter.h"
#include "refserver.h"
#include "testenv.h"
#include "testlogin.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTcpServer>
#include <QTimer>

namespace {
class AnsweringPrompter : public TPrompter
{
public:
    QStringList infos, errors, questions;
    bool answer = true;
    void Info(QWidget *, const QString &, const QString &t) override { infos << t; }
    void Error(QWidget *, const QString &, const QString &t) override { errors << t; }
    bool Ask(QWidget *, const QString &, const QString &t) override
    {
        questions << t;
        return answer;
    }
    void reset() { *this = AnsweringPrompter(); }
};

quint16 closedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost);
    const quint16 port = s.serverPort();
    s.close();
    return port;
}
} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT
    TestHome home;
    std::unique_ptr<RefServer> server;
    AnsweringPrompter prompter;

private Q_SLOTS:
    void initTestCase()
    {
        TPrompter::SetInstance(&prompter);
        server = std::make_unique<RefServer>();
    }
    void cleanupTestCase() { TPrompter::SetInstance(nullptr); }
    void init()
    {
        prompter.reset();
        QFile::remove(home.configFolder() + QLatin1String("rvc.sys"));
    }

    void badPortKeepsTheDialogOpen_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addRow("zero") << "0";
        QTest::addRow("negative") << "-1";
        QTest::addRow("not a number") << "abc";
        QTest::addRow("beyond the port range") << "70000";
    }
    void badPortKeepsTheDialogOpen()
    {
        QFETCH(QString, port);
        QVERIFY(pointClientAt(8088));
        TClientConfigX config;
        TSetServerHostFrm frm(config);
        frm.show();
        frm.edtIp->setText(QStringLiteral("  10.0.0.9 "));
        frm.edtPort->setText(port);
        for (QPushButton *b : {frm.bbtSave, frm.bbtConnect}) {
            QTest::mouseClick(b, Qt::LeftButton);
            QCOMPARE(prompter.errors.takeFirst(), QStringLiteral("Port error, please enter it again! "));
            QVERIFY(frm.isVisible());
        }
        QCOMPARE(frm.edtIp->text(), QStringLiteral("10.0.0.9"));
        QCOMPARE(TClientConfigX().ServerHost(), QStringLiteral("127.0.0.1"));
        QCOMPARE(TClientConfigX().ServerPort(), 8088);
    }

    void connectionTest_data()
    {
        QTest::addColumn<bool>("reachable");
        QTest::addRow("server answers") << true;
        QTest::addRow("nobody listens") << false;
    }
    void connectionTest()
    {
        QFETCH(bool, reachable);
        QVERIFY(pointClientAt(8088));
        TClientConfigX config;
        TSetServerHostFrm frm(config);
        frm.show();
        frm.edtIp->setText(QStringLiteral("127.0.0.1"));
        frm.edtPort->setText(QString::number(reachable ? server->port() : closedPort()));
        QSignalSpy done(&frm, &TSetServerHostFrm::testFinished);
        QTest::mouseClick(frm.bbtConnect, Qt::LeftButton);
        QVERIFY(done.wait(20000));
        QCOMPARE(done.first().first().toBool(), reachable);
        if (reachable)
            QCOMPARE(prompter.infos, QStringList{"Connected to server successfully! "});
        else
            QCOMPARE(prompter.errors, QStringList{"Failed to connect to server! "});
        // A test alone stores nothing and leaves the dialog open.
        QVERIFY(frm.isVisible());
        QCOMPARE(TClientConfigX().ServerPort(), 8088);
    }

    void saveStoresOnlyAReachableAddress_data()
    {
        QTest::addColumn<bool>("reachable");
        QTest::addRow("reachable: stored") << true;
        QTest::addRow("unreachable: nothing stored") << false;
    }
    void saveStoresOnlyAReachableAddress()
    {
        QFETCH(bool, reachable);
        QVERIFY(pointClientAt(8088));
        TClientConfigX config;
        TSetServerHostFrm frm(config);
        frm.show();
        const quint16 port = reachable ? server->port() : closedPort();
        frm.edtIp->setText(QStringLiteral(" 127.0.0.1 "));
        frm.edtPort->setText(QString::number(port));
        QSignalSpy done(&frm, &TSetServerHostFrm::testFinished);
        QTest::mouseClick(frm.bbtSave, Qt::LeftButton);
        QVERIFY(done.wait(20000));
        // Closed in both cases.
        QVERIFY(!frm.isVisible());
        QCOMPARE(frm.result(), int(reachable ? QDialog::Accepted : QDialog::Rejected));
        const TClientConfigX stored;
        QCOMPARE(stored.ServerHost(), QStringLiteral("127.0.0.1"));
        QCOMPARE(stored.ServerPort(), reachable ? int(port) : 8088);
        QCOMPARE(reachable ? prompter.infos : prompter.errors,
                 QStringList{reachable ? "Connected to server successfully! " : "Failed to connect to server! "});
    }

    void workFolder_data()
    {
        QTest::addColumn<QString>("typed");      // below the test home; "FILE" is a file there
        QTest::addColumn<bool>("answer");        // to "create it?"
        QTest::addColumn<QString>("stored");     // empty: the old one stays
        QTest::addColumn<QString>("shown");
        const QString saved = QStringLiteral("Successfully saved. The client program should be restarted so the changes can take effect! ");
        QTest::addRow("existing, trailing blank") << "work/ " << true << "work/" << saved;
        QTest::addRow("missing, created") << "new/a/b" << true << "new/a/b/" << saved;
        QTest::addRow("missing, not wanted") << "no/way" << false << "" << "";
        QTest::addRow("cannot be made") << "FILE/sub" << true << ""
                                        << "Failed to create a new local save path!\r\n%1FILE/sub";
        QTest::addRow("nothing typed") << "" << true << "" << "Choose or type a local save folder!";
    }
    void workFolder()
    {
        QFETCH(QString, typed);
        QFETCH(bool, answer);
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        const QString base = home.path() + QLatin1String("/wp/");
        QVERIFY(QDir().mkpath(base + QLatin1String("work")));
        QFile file(base + QLatin1String("FILE"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(pointClientAt(8088));
        TClientConfigX config;
        config.SetWorkRoot(base + QLatin1String("old/"));
        QVERIFY(config.Save());
        prompter.answer = answer;
        TWorkPathFrm frm(config);
        frm.show();
        QCOMPARE(frm.edtFolder->text(), base + QLatin1String("old/"));
        frm.edtFolder->setText(typed.isEmpty() ? QStringLiteral("  ") : base + typed);
        QTest::mouseClick(frm.bbtSave, Qt::LeftButton);
        shown.replace(QLatin1String("%1"), base);
        QCOMPARE(TClientConfigX().WorkRoot(), QString(base + (stored.isEmpty() ? QStringLiteral("old/") : stored)));
        QCOMPARE(frm.isVisible(), stored.isEmpty());
        QCOMPARE(prompter.infos + prompter.errors, shown.isEmpty() ? QStringList{} : QStringList{shown});
        if (!stored.isEmpty())
            QVERIFY(QFileInfo(base + stored).isDir());
    }

    void workFolderPickerFillsTheBox()
    {
        QVERIFY(pointClientAt(8088, 2));
        TClientConfigX config;
        TWorkPathFrm frm(config);
        QString caption, start;
        frm.FPickFolder = [&](const QString &c, const QString &s) {
            caption = c;
            start = s;
            return home.path();
        };
        QTest::mouseClick(frm.BitBtn2, Qt::LeftButton);
        QCOMPARE(caption, QStringLiteral("选择本地上传文件夹"));
        QCOMPARE(start, config.WorkRoot());
        QCOMPARE(frm.edtFolder->text(), home.path());
        QCOMPARE(frm.FPath, home.path());
        // A cancelled pick leaves the box alone.
        frm.FPickFolder = [](const QString &, const QString &) { return QString(); };
        QTest::mouseClick(frm.BitBtn2, Qt::LeftButton);
        QCOMPARE(frm.edtFolder->text(), home.path());
    }

    void passwordRules_data()
    {
        QTest::addColumn<QString>("oldPs");
        QTest::addColumn<QString>("newPs");
        QTest::addColumn<QString>("confirm");
        QTest::addColumn<QString>("error");
        const QString length = QStringLiteral("Password length must be between 4 and 20 characters!");
        QTest::addRow("3 characters") << "alice123" << "abc" << "abc" << length;
        QTest::addRow("21 characters") << "alice123" << QString(21, 'x') << QString(21, 'x') << length;
        QTest::addRow("confirmation differs") << "alice123" << "abcd" << "abce" << "The two passwords you entered do not match!";
        QTest::addRow("same as the old one") << "alice123" << "alice123" << "alice123" << "New password can not be the same as the original password!";
        QTest::addRow("4 characters") << "alice123" << "abcd" << "abcd" << "";
        QTest::addRow("20 characters") << "alice123" << QString(20, 'y') << QString(20, 'y') << "";
    }
    void passwordRules()
    {
        QFETCH(QString, oldPs);
        QFETCH(QString, newPs);
        QFETCH(QString, confirm);
        QFETCH(QString, error);
        QCOMPARE(SettingsRules::PasswordError(oldPs, newPs, confirm, HSL_ENG), error);
    }

    void passwordChangeThroughTheServer()
    {
        TRobotTcpClient login;
        login.Host = QStringLiteral("127.0.0.1");
        login.Port = server->port();
        TLoginReply reply;
        QCOMPARE(login.Login("alice", "alice123", LoginMacValue(), "127.0.0.1", QString::number(server->port()), &reply), st::LoginOk);
        QVERIFY(pointClientAt(server->port()));
        TClientConfigX config;
        config.SetOwnerId2(reply.UserId2);
        TUpdateUserPasswordFrm frm(config);
        frm.show();

        // A rule broken: nothing is asked of the server.
        frm.edtOldPs->setText(QStringLiteral("alice123"));
        frm.edtNewPs->setText(QStringLiteral("abc"));
        frm.edtNewPs2->setText(QStringLiteral("abc"));
        QSignalSpy answered(&frm, &TUpdateUserPasswordFrm::answered);
        QTest::mouseClick(frm.btUpdate, Qt::LeftButton);
        QCOMPARE(prompter.errors, QStringList{"Password length must be between 4 and 20 characters!"});
        QVERIFY(frm.btUpdate->isEnabled());

        // A wrong old password: the server's words, the dialog stays.
        frm.edtOldPs->setText(QStringLiteral("wrong-one"));
        frm.edtNewPs->setText(QStringLiteral("n3w-secret"));
        frm.edtNewPs2->setText(QStringLiteral("n3w-secret"));
        QTest::mouseClick(frm.btUpdate, Qt::LeftButton);
        QVERIFY(answered.wait(20000));
        QCOMPARE(answered.takeFirst().first().toBool(), false);
        QCOMPARE(prompter.infos.size(), 1);
        QVERIFY(!prompter.infos.first().isEmpty() && prompter.infos.first() != QLatin1String("ok"));
        QVERIFY(frm.isVisible());

        frm.edtOldPs->setText(QStringLiteral("alice123"));
        QTest::mouseClick(frm.btUpdate, Qt::LeftButton);
        QVERIFY(answered.wait(20000));
        QCOMPARE(answered.takeFirst().first().toBool(), true);
        QCOMPARE(prompter.infos.last(), QStringLiteral("Password successfully changed!"));
        QVERIFY(!frm.isVisible());
        // The server takes the new password and refuses the old one.
        TRobotTcpClient again;
        again.Host = QStringLiteral("127.0.0.1");
        again.Port = server->port();
        QCOMPARE(again.Login("alice", "n3w-secret", LoginMacValue(), "127.0.0.1", QString::number(server->port()), &reply), st::LoginOk);
        QVERIFY(again.Login("alice", "alice123", LoginMacValue(), "127.0.0.1", QString::number(server->port()), &reply) != st::LoginOk);
    }

    void menuEntriesOpenTheDialogs_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<QString>("dialog");   // class name; empty: a message instead
        QTest::addRow("server address") << "服务器地址" << false << "TSetServerHostFrm";
        QTest::addRow("work folder") << "工作目录" << false << "TWorkPathFrm";
        QTest::addRow("password, logged in") << "修改密码" << true << "TUpdateUserPasswordFrm";
        QTest::addRow("password, nobody logged in") << "修改密码" << false << "";
    }
    void menuEntriesOpenTheDialogs()
    {
        QFETCH(QString, entry);
        QFETCH(bool, loggedIn);
        QFETCH(QString, dialog);
        QVERIFY(pointClientAt(server->port()));
        TClientConfigX store;
        if (loggedIn)
            store.SetOwnerId2(5);
        TARVOClientFrm w(store, std::make_shared<TNetSessionBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        QAction *action = nullptr;
        for (QMenu *m : w.findChildren<QMenu *>())
            for (QAction *a : m->actions())
                if (a->text() == entry)
                    action = a;
        QVERIFY(action);
        QVERIFY(action->isVisible());
        QString opened;
        QTimer::singleShot(0, this, [&opened] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                opened = QString::fromLatin1(modal->metaObject()->className());
                qobject_cast<QDialog *>(modal)->reject();
            }
        });
        action->trigger();
        QCOMPARE(opened, dialog);
        QCOMPARE(prompter.infos, dialog.isEmpty() ? QStringList{"Please login"} : QStringList{});
    }
};

int runSettingsTests(const QStringList &args)
{
    SettingsTest t;
    return QTest::qExec(&t, args);
}

#include "tst_settings.moc"
