// Scan-code login in the real embedded browser against the reference server:
// the page loads, a "phone" signs in on the code's address, the client picks
// up the identity and the main window has a session.
#include "app/arvoclientfrm.h"
#include "app/netsessionbackend.h"
#include "app/qrloginfrm.h"
#include "core/clientconfigx.h"
#include "files/tsetfilepropertyfrm.h"
#include "platform/embeddedbrowser.h"
#include "platform/prompter.h"
#include "serverfixture.h"
#include "recordingprompter.h"
#include "testenv.h"
#include "testlogin.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QScopeGuard>
#include <QSignalSpy>
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
        QVERIFY(pointClientAt(server.port()));
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

// The file-property page of the reference server in the real embedded browser:
// the current values land in its fields as values, and its check hands back the
// property text.
class PropertyPageE2ETest : public QObject
{
    Q_OBJECT
    TestHome home;
    TestServer server;
    RecordingPrompter prompter;

private Q_SLOTS:
    void initTestCase() { TPrompter::SetInstance(&prompter); }
    void cleanupTestCase() { TPrompter::SetInstance(nullptr); }

    void roundTripThroughThePage()
    {
        QVERIFY2(EmbeddedBrowser::UnavailableReason(false).isEmpty(), qPrintable(EmbeddedBrowser::UnavailableReason(false)));
        TTSetFilePropertyFrm frm(HSL_ENG, nullptr, &EmbeddedBrowser::Create);
        frm.URL = TTSetFilePropertyFrm::PageUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.port()));
        frm.LoadParam = true;
        frm.PrtParams = QStringLiteral("[proid]1,5,6,7[/proid][1]Bridge <b>A</b> \"x\"[/1][5]Review[/5][6]Internal,Customer[/6][7]two, words[/7]");
        QSignalSpy ready(&frm, &TTSetFilePropertyFrm::pageReady);
        frm.show();
        QVERIFY(ready.wait(60000));
        QCOMPARE(ready.first().first().toBool(), true);
        auto value = [&](const QString &js) { return runScript(frm.WebBrowser1, js); };
        QCOMPARE(value("document.getElementsByName('FilePrt1')[0].value").toString(), QStringLiteral("Bridge <b>A</b> \"x\""));
        // A value is never markup of the page.
        QCOMPARE(value("document.getElementsByTagName('b').length").toInt(), 0);
        QCOMPARE(value("Array.from(document.getElementsByName('FilePrt6')).map(e=>e.value+':'+e.checked).join(' ')").toString(),
                 QStringLiteral("Internal:true Customer:true Supplier:false"));
        QCOMPARE(value("document.querySelector('input[name=FilePrt5]:checked').value").toString(), QStringLiteral("Review"));
        QCOMPARE(value("document.getElementsByName('FilePrt7')[0].value").toString(), QStringLiteral("two, words"));

        QSignalSpy finished(&frm, &QDialog::finished);
        frm.Confirm();
        QVERIFY(finished.wait(20000));
        QCOMPARE(frm.result(), int(QDialog::Accepted));
        QCOMPARE(frm.PrtParams, QStringLiteral("[proid]1,2,3,4,5,6,7[/proid][1]Bridge <b>A</b> \"x\"[/1][2][/2][3][/3][4][/4]"
                                               "[5]Review[/5][6]Internal,Customer[/6][7]two, words[/7]"));
    }

    void aRequiredFieldKeepsThePageOpen()
    {
        TTSetFilePropertyFrm frm(HSL_CN, nullptr, &EmbeddedBrowser::Create);
        frm.URL = TTSetFilePropertyFrm::PageUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.port()));
        QSignalSpy ready(&frm, &TTSetFilePropertyFrm::pageReady);
        frm.show();
        QVERIFY(ready.wait(60000));
        QSignalSpy refused(&frm, &TTSetFilePropertyFrm::checkRefused);
        frm.Confirm();
        QVERIFY(refused.wait(20000));
        QVERIFY(frm.isVisible());
        QVERIFY(runScript(frm.WebBrowser1, QStringLiteral("document.getElementById('hint').textContent")).toString().startsWith(QStringLiteral("Project")));
        if (const QString dir = qEnvironmentVariable("ZUDIVUVO_SCREENSHOTS"); !dir.isEmpty() && QDir().mkpath(dir))
            frm.grab().save(dir + QLatin1String("/file-properties.png"));
        frm.reject();
    }
};

int main(int argc, char **argv)
{
    // Tests run as root in CI; the browser's sandbox cannot work there.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QApplication app(argc, argv);
    return runTests<QrLoginE2ETest, PropertyPageE2ETest>(argc, argv);
}

#include "tst_qrlogin.moc"
