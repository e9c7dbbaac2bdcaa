// Scan-code login in the real embedded browser against the reference server:
// the page loads, a "phone" signs in on the code's address, the client picks
// up the identity and the main window has a session.
#include "app/arvoclientfrm.h"
#include "app/netsessionbackend.h"
#include "app/qrloginfrm.h"
#include "core/clientconfigx.h"
#include "platform/embeddedbrowser.h"
#include "platform/prompter.h"
#include "serverfixture.h"
#include "recordingprompter.h"
#include "testenv.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QScopeGuard>
#include <QTimer>
#include <QUrl>

namespace {

QVariant runScript(TEmbeddedBrowser *browser, const QString &script)
{
    QVariant result;
    bool done = false;
    browser->RunScript(script, [&](const QVariant &v) {
        result = v;
        done = true;
    });
    QDeadlineTimer deadline(10000);
    while (!done && !deadline.hasExpired())
        QTest::qWait(20);
    return result;
}

} // namespace

class QrLoginE2ETest : public QObject
{
    Q_OBJECT
    TestHome home;
    TestServer server;
    RecordingPrompter prompter;

private Q_SLOTS:
    void initTestCase() { TPrompter::SetInstance(&prompter); }
    void cleanupTestCase() { TPrompter::SetInstance(nullptr); }

    void scanCodeLoginFromTheMainWindow()
    {
        QVERIFY2(EmbeddedBrowser::UnavailableReason(false).isEmpty(), qPrintable(EmbeddedBrowser::UnavailableReason(false)));
        TClientConfigX c;
        c.SetServerHost(QStringLiteral("127.0.0.1"));
        c.SetServerPort(server.port());
        c.SetLanguage(1);
        c.Save();
        TClientConfigX store;
        TARVOClientFrm w(store, std::make_shared<TNetSessionBackend>(), QStringLiteral("/opt/kv/ZuDivuvo"));
        w.Session().FLoginOver = true;
        w.SetBrowserProvider({&EmbeddedBrowser::UnavailableReason, &EmbeddedBrowser::Create});

        bool signedIn = false;
        QTimer::singleShot(0, this, [&] {
            TDuziDezLoginFrm *qr = w.QrLoginDialog();
            // A failed check below must end the modal windows, not leave the test waiting on them.
            const auto closeOnFailure = qScopeGuard([&] {
                if (signedIn)
                    return;
                QTimer::singleShot(0, &w, [&w] {
                    if (w.LoginDialog())
                        w.LoginDialog()->reject();
                });
                if (w.QrLoginDialog())
                    w.QrLoginDialog()->reject();
            });
            QVERIFY(qr);
            // The poll starts once the page has loaded.
            QTRY_VERIFY_WITH_TIMEOUT(qr->tmPoll->isActive(), 30000);
            QVERIFY(qr->lbWait->isHidden());
            const QUrl scan(runScript(qr->Browser(), QStringLiteral("document.getElementById('scan').href")).toString());
            QVERIFY2(scan.isValid() && scan.path() == QLatin1String("/QRLogin"), qPrintable(scan.toString()));
            if (const QString dir = qEnvironmentVariable("ZUDIVUVO_SCREENSHOTS"); !dir.isEmpty() && QDir().mkpath(dir)) {
                QTest::qWait(1000);  // the first frame comes after loadFinished
                qr->grab().save(dir + QLatin1String("/qr-login.png"));
            }
            const QByteArray path = scan.path(QUrl::FullyEncoded).toLatin1() + '?' + scan.query(QUrl::FullyEncoded).toLatin1();
            // What the phone does after scanning: sign in on the code's page.
            QVERIFY(httpPost(server.port(), path, "name=demo&password=wrong").contains("id=\"error\""));
            QTest::qWait(2 * TDuziDezLoginFrm::kPollMs);
            QVERIFY(qr->isVisible());
            signedIn = httpPost(server.port(), path, "name=demo&password=demo").contains("id=\"ok\"");
        });
        QVERIFY(w.UMQRLogin());
        QVERIFY(signedIn);
        QVERIFY(prompter.shown.isEmpty());
        QVERIFY(w.Session().FIsLogin);
        QCOMPARE(w.StatusText(), QStringLiteral("    Welcome:Demo User"));
        TClientConfigX after;
        QCOMPARE(after.StartStyle(), int(SS_ACTIVTX));
        QCOMPARE(after.OwnerId2(), 5);
        QVERIFY(!after.EncryptId().isEmpty());
    }
};

int main(int argc, char **argv)
{
    // Tests run as root in CI; the browser's sandbox cannot work there.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    EmbeddedBrowser::PrepareApplication();
    QApplication app(argc, argv);
    return runTests<QrLoginE2ETest>(argc, argv);
}

#include "tst_qrlogin.moc"
