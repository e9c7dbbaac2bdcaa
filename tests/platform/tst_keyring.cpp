// The saved login password in the desktop keyring: GNOME Keyring in a private
// D-Bus session (keyring_session.sh), started and stopped by the tests.
#include "app/session.h"
#include "core/aes.h"
#include "core/clientconfigx.h"
#include "platform/savedpassword.h"
#include "testenv.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

using namespace SavedPassword;

namespace {

const QString kUnlock = QStringLiteral("unlock-pw");

// One gnome-keyring-daemon of our own, unlocked with a password on its input.
class KeyringDaemon
{
public:
    ~KeyringDaemon() { Stop(); }
    bool Start()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("gnome-keyring-daemon"),
                        {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
        if (!m_process.waitForStarted(5000))
            return false;
        m_process.write(kUnlock.toUtf8() + '\n');
        m_process.closeWriteChannel();
        QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            if (bus && bus->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")))
                return true;
            QTest::qWait(20);
        }
        return false;
    }
    void Stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
        // Gone from the bus before the next step asks for it.
        QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
        QTRY_VERIFY_WITH_TIMEOUT(!bus->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")), 5000);
    }

private:
    QProcess m_process;
};

QString rawFile(const TClientConfigX &c)
{
    QFile f(c.ConfigFileName());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.readAll();
    return QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()), bytes.size() / 2);
}

TLoginResult user()
{
    return TLoginResult{QStringLiteral("Ann"), QStringLiteral("ENC"), 3};
}

} // namespace

class KeyringTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestHome> home;
    std::unique_ptr<KeyringDaemon> daemon;

private Q_SLOTS:
    void initTestCase()
    {
        if (!qEnvironmentVariableIsSet("ZUDIVUVO_PRIVATE_BUS"))
            QSKIP("runs only in the private D-Bus session of keyring_session.sh (ctest runs it so)");
    }
    void init()
    {
        home = std::make_unique<TestHome>();
        daemon = std::make_unique<KeyringDaemon>();
    }
    void cleanup()
    {
        daemon.reset();
        home.reset();
    }

    void dialogLoginKeepsThePasswordInTheKeyring_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addRow("plain") << QStringLiteral("demo");
        QTest::addRow("chinese") << QStringLiteral("密码123");
        QTest::addRow("looks like a tag") << QStringLiteral("a[/LoginPassword]b");
    }
    void dialogLoginKeepsThePasswordInTheKeyring()
    {
        QFETCH(QString, password);
        QVERIFY(daemon->Start());
        QString notice;
        {
            TClientConfigX c;
            c.SetSaveLoginInfo(true);
            TSession s(c);
            s.SetDialogServer(QStringLiteral("127.0.0.1"), QStringLiteral("8088"), false);
            s.AcceptDialogLogin(QStringLiteral("ann"), password, user());
            notice = s.TakePlaceNotice();
        }
        const TClientConfigX after;
        QCOMPARE(after.LoginName(), QStringLiteral("ann"));
        QVERIFY(after.AutoLogin());
        // Neither the protected form nor any other copy is left in the file.
        QCOMPARE(after.LoginPassword(), QString());
        QVERIFY(!rawFile(after).contains(EncryptWithAppKey(password, AKS_256)));
        QCOMPARE(StoredPlace(after), TPlace::Keyring);
        const TReadResult r = Read(after, 5000);
        QVERIFY2(r.Ok, qPrintable(r.Error));
        QCOMPARE(r.Password, password);
        QCOMPARE(notice, PlaceText(TPlace::Keyring, after.ConfigFileName(), false));
    }

    void theUserIsToldOnlyWhenThePlaceChanges()
    {
        QVERIFY(daemon->Start());
        TClientConfigX c;
        QString notice;
        QCOMPARE(Store(c, QStringLiteral("one"), 5000, &notice), TPlace::Keyring);
        QVERIFY(!notice.isEmpty());
        QCOMPARE(Store(c, QStringLiteral("two"), 5000, &notice), TPlace::Keyring);
        QCOMPARE(notice, QString());
        daemon->Stop();
        QCOMPARE(Store(c, QStringLiteral("three"), 5000, &notice), TPlace::File);
        QCOMPARE(notice, PlaceText(TPlace::File, c.ConfigFileName(), false));
        QVERIFY(notice.contains(c.ConfigFileName()));
    }

    void passwordInTheFileMovesToTheKeyring()
    {
        {
            TClientConfigX old;   // as written before the keyring was used
            old.SetLoginName(QStringLiteral("ann"));
            old.SetLoginPassword(QStringLiteral("from-file"));
            old.SetAutoLogin(true);
            QVERIFY(old.Save());
        }
        QVERIFY(daemon->Start());
        TClientConfigX c;
        QCOMPARE(StoredPlace(c), TPlace::File);
        const TReadResult before = Read(c, 5000);
        QVERIFY(before.Ok);
        QCOMPARE(before.Password, QStringLiteral("from-file"));
        QObject context;
        bool done = false;
        TPlace place = TPlace::None;
        StoreAsync(c, before.Password, &context, [&](TPlace p, const QString &) {
            place = p;
            done = true;
        });
        QTRY_VERIFY(done);
        QCOMPARE(place, TPlace::Keyring);
        const TClientConfigX after;
        QCOMPARE(after.LoginPassword(), QString());
        QCOMPARE(after.LoginName(), QStringLiteral("ann"));
        QCOMPARE(Read(after, 5000).Password, QStringLiteral("from-file"));
    }

    // Headless machines and cron: no Secret Service, so the file keeps the
    // password, and nothing waits for a keyring that is not there.
    void withoutSecretServiceTheFileKeepsIt_data()
    {
        QTest::addColumn<bool>("sessionBus");
        QTest::addRow("no keyring on the session bus") << true;
        QTest::addRow("no session bus (cron)") << false;
    }
    void withoutSecretServiceTheFileKeepsIt()
    {
        QFETCH(bool, sessionBus);
        const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        const auto restore = qScopeGuard([address] { qputenv("DBUS_SESSION_BUS_ADDRESS", address); });
        if (!sessionBus)
            qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        TClientConfigX c;
        QElapsedTimer t;
        t.start();
        QString notice;
        QCOMPARE(Store(c, QStringLiteral("demo"), TSession::kKeyringStoreMs, &notice), TPlace::File);
        QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(notice, PlaceText(TPlace::File, c.ConfigFileName(), false));
        const TClientConfigX after;
        QCOMPARE(after.LoginPassword(), QStringLiteral("demo"));
        const TReadResult r = Read(after, 5000);
        QVERIFY(r.Ok);
        QCOMPARE(r.Place, TPlace::File);
        QCOMPARE(r.Password, QStringLiteral("demo"));
    }

    // A keyring that is not up yet at log-in time is asked again, not read as "no password".
    void aKeyringThatStartsLateIsWaitedFor()
    {
        QVERIFY(daemon->Start());
        TClientConfigX c;
        QCOMPARE(Store(c, QStringLiteral("late"), 5000), TPlace::Keyring);
        daemon->Stop();
        TReader reader;
        QSignalSpy waiting(&reader, &TReader::waiting);
        QSignalSpy finished(&reader, &TReader::finished);
        reader.Start(TClientConfigX(), 20000);
        QVERIFY(waiting.wait(5000));
        QCOMPARE(finished.count(), 0);
        QVERIFY(daemon->Start());
        QVERIFY(finished.wait(15000));
        const auto r = finished.at(0).at(0).value<TReadResult>();
        QVERIFY2(r.Ok, qPrintable(r.Error));
        QCOMPARE(r.Password, QStringLiteral("late"));
        QVERIFY(reader.Attempts() >= 2);
    }

    void aKeyringThatNeverAnswersGivesAnErrorInTime()
    {
        QVERIFY(daemon->Start());
        TClientConfigX c;
        QCOMPARE(Store(c, QStringLiteral("gone"), 5000), TPlace::Keyring);
        daemon->Stop();
        QElapsedTimer t;
        t.start();
        const TReadResult r = Read(TClientConfigX(), 1500);
        QVERIFY(!r.Ok);
        QCOMPARE(r.Password, QString());
        QCOMPARE(r.Place, TPlace::Keyring);
        QVERIFY(!r.Error.isEmpty());
        QVERIFY2(t.elapsed() < 4000, qPrintable(QString::number(t.elapsed())));
    }

    // Under cron there is no session bus at all: no keyring can come, so the
    // command-line client is told at once instead of after its whole wait.
    void withoutSessionBusAKeyringPasswordFailsAtOnce()
    {
        QVERIFY(daemon->Start());
        TClientConfigX c;
        QCOMPARE(Store(c, QStringLiteral("desk"), 5000), TPlace::Keyring);
        const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        const auto restore = qScopeGuard([address] { qputenv("DBUS_SESSION_BUS_ADDRESS", address); });
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        QElapsedTimer t;
        t.start();
        const TReadResult r = Read(TClientConfigX(), 10000);
        QVERIFY(!r.Ok);
        QCOMPARE(r.Place, TPlace::Keyring);
        QVERIFY2(r.Error.contains(QLatin1String("D-Bus")), qPrintable(r.Error));
        QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    }

    void leavingWithoutAutomaticLoginRemovesItFromTheKeyring()
    {
        QVERIFY(daemon->Start());
        TClientConfigX c;
        c.SetLoginName(QStringLiteral("ann"));
        c.SetAutoLogin(false);
        QCOMPARE(Store(c, QStringLiteral("bye"), 5000), TPlace::Keyring);
        TSession(c).LogOutForExit();
        TClientConfigX after;
        QCOMPARE(StoredPlace(after), TPlace::None);
        QCOMPARE(after.LoginName(), QString());
        // Asked directly, the keyring no longer has it.
        after.SetValueEx(QStringLiteral("PasswordPlace"), QStringLiteral("keyring"));
        const TReadResult r = Read(after, 800);
        QVERIFY(!r.Ok);
        QCOMPARE(r.Password, QString());
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return runTests<KeyringTest>(argc, argv);
}

#include "tst_keyring.moc"
