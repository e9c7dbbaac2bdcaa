// Commands 18 to 20 as a web page hands them over: the link of a second launch is
// decoded by the start-up, written to the hand-off file, picked up by the
// dispatcher and carried out by the version-control windows against the
// reference server.
#include "app/startup.h"
#include "core/clientconfigx.h"
#include "core/folders.h"
#include "core/webcmd.h"
#include "net/robottcpclient.h"
#include "platform/prompter.h"
#include "refserver.h"
#include "testenv.h"
#include "testlogin.h"
#include "versions/hintfrmxe.h"
#include "versions/versioncontrolfrm.h"
#include "versions/versionwindows.h"
#include "versions/workpaths.h"
#include "web/webmodule.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QUrl>

#include <optional>

// The links the server's pages put behind their buttons (server/portal.h, whose
// wire header clashes with the client's).
QByteArray clientLink(int code, const QList<QPair<QString, QString>> &params);

namespace {

struct AnsweringPrompter : TPrompter {
    QStringList questions;
    QList<bool> answers;
    QStringList shown;
    void Info(QWidget *, const QString &, const QString &text) override { shown << text; }
    void Error(QWidget *, const QString &, const QString &text) override { shown << text; }
    bool Ask(QWidget *, const QString &, const QString &text) override
    {
        questions << text;
        return answers.isEmpty() ? false : answers.takeFirst();
    }
};

// What the main window plugs into the dispatcher for these commands.
struct VersionTarget : TWebCommandTarget {
    TVersionWindows *windows = nullptr;
    void SetClipboardText(const QString &) override {}
    bool OpenWithDesktop(const QString &, QString *) override { return false; }
    bool DownloadForOpen(qint64, qint64, const QString &, QString *) override { return false; }
    bool ChooseWorkPath(qint64 folderId, QString *error) override { return windows->ChooseWorkPath(folderId, error); }
    bool FetchNewest(qint64 ownerId, qint64 folderId, QString *error) override { return windows->FetchNewest(ownerId, folderId, error); }
    bool VersionControl(int code, const QList<qint64> &keys, const QStringList &names, QString *error) override
    {
        return windows->VersionControl(code, keys, names, error);
    }
};

}  // namespace

class WebVersionCommandsTest : public QObject
{
    Q_OBJECT
    TestHome home;
    std::unique_ptr<RefServer> server;
    AnsweringPrompter prompter;

    int versions(qint64 key) { return server->sql(QStringLiteral("SELECT COUNT(*) FROM versions WHERE file_key=?"), {key}).toInt(); }

    // A second launch with the link a server page makes: what lands in the hand-off file.
    void secondLaunch(int code, const QString &keys, const QString &names)
    {
        TClientConfigX config;
        const QString link = QString::fromLatin1(clientLink(code, {{QStringLiteral("fileKeys"), keys}, {QStringLiteral("fileName"), names}}));
        const TStartupResult r = TStartup(config, {}).Run(link);
        QCOMPARE(int(r.pending.Code), code);
        QVERIFY(WriteWebCmdFile(GetConfigFolder() + kWebCmdFileName, r.pending));
    }

private Q_SLOTS:
    void initTestCase()
    {
        TPrompter::SetInstance(&prompter);
        server = std::make_unique<RefServer>(RefServer::Setup::serverTimeouts());
    }
    void cleanupTestCase()
    {
        TPrompter::SetInstance(nullptr);
        server.reset();
    }

    void checkOutCancelAndCheckInFromLinks()
    {
        TVersionSession session;
        session.Conn = logIn(server->port()).conn;
        QTemporaryDir work;
        session.WorkRoot = work.path() + u'/';
        session.ConfigFolder = GetConfigFolder();
        QWidget owner;
        TVersionWindows windows([session] { return session; }, HSL_ENG, &owner);
        QStringList opened;
        windows.FOpen = [&opened](const QString &path, QString *) {
            opened << path;
            return true;
        };
        VersionTarget target;
        target.windows = &windows;
        TWebModule module(target, HSL_ENG, GetConfigFolder(), GetTempFolder());
        QSignalSpy ended(&windows, &TVersionWindows::webCommandEnded);

        const QString a = QStringLiteral("Price list.xlsx"), b = QStringLiteral("Contract template.docx");
        const qint64 ka = server->keyOf(a), kb = server->keyOf(b);
        const QString keys = QStringLiteral("%1, %2,").arg(ka).arg(kb), names = a + u',' + b;

        // 18: the check-out window opens; the user confirms; both files are out.
        secondLaunch(18, keys, names);
        QTRY_VERIFY_WITH_TIMEOUT((module.DoWebMessage(), !windows.LastVersionControlFrm.isNull()), 5000);
        TVersionControlFrm *frm = windows.LastVersionControlFrm;
        QVERIFY(frm->isVisible());
        QSignalSpy resolved(frm, &TVersionControlFrm::pathResolved);
        QVERIFY(resolved.wait(5000));
        // Nothing bound: the folder's one home below the work root, as newest versions and the comparison use.
        const QString home = session.WorkRoot + QStringLiteral("Contracts/2024/");
        QCOMPARE(frm->Edit1->text(), home);
        QTest::mouseClick(frm->btConfirm, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 15000);
        QCOMPARE(ended[0][0].toInt(), 18);
        QCOMPARE(server->lockHolder(ka), QStringLiteral("Demo User"));
        QCOMPARE(server->lockHolder(kb), QStringLiteral("Demo User"));
        QVERIFY(windows.WebMonitor()->isVisible());
        QCOMPARE(windows.WebMonitor()->RowCount(), 2);
        QCOMPARE(windows.WebMonitor()->Cell(0, 1), QStringLiteral("Successfully checked out"));
        QCOMPARE(opened, QStringList{home});   // two files: the folder is opened once
        QCOMPARE(CheckoutRecord(session.ConfigFolder).read(ka), home + a);

        // 19, refused by the user: nothing changes. The question names the files.
        prompter.answers = {false};
        secondLaunch(19, keys, names);
        // The hand-off file settles first; the dispatcher ticks until it has run the command.
        QTRY_COMPARE_WITH_TIMEOUT((module.DoWebMessage(), ended.size()), 2, 5000);
        QCOMPARE(prompter.questions.size(), 1);
        QVERIFY(prompter.questions[0].contains(a) && prompter.questions[0].contains(b));
        QCOMPARE(server->lockHolder(kb), QStringLiteral("Demo User"));

        // 20 for the first file after an edit: a new version, the check-out ends.
        const int before = versions(ka);
        {
            QFile f(home + a);
            QVERIFY(f.open(QIODevice::Append));
            f.write("edited");
            f.close();
            QFile t(home + a);
            QVERIFY(t.open(QIODevice::ReadWrite));
            t.setFileTime(QDateTime::currentDateTime().addSecs(30), QFileDevice::FileModificationTime);
        }
        prompter.answers = {true};
        secondLaunch(20, QString::number(ka), a);
        QTRY_COMPARE_WITH_TIMEOUT((module.DoWebMessage(), ended.size()), 3, 15000);
        QVERIFY(ended[2][1].toBool());
        QVERIFY(prompter.questions[1].startsWith(QLatin1String("Check in these files?")));
        QCOMPARE(versions(ka), before + 1);
        QCOMPARE(server->lockHolder(ka), QString());
        QVERIFY(!CheckoutRecord(session.ConfigFolder).contains(ka));

        // 19 for the second, confirmed: the lock is given back, the copy stays.
        prompter.answers = {true};
        secondLaunch(19, QString::number(kb), b);
        QTRY_COMPARE_WITH_TIMEOUT((module.DoWebMessage(), ended.size()), 4, 15000);
        QCOMPARE(server->lockHolder(kb), QString());
        QVERIFY(QFileInfo::exists(home + b));
        QCOMPARE(windows.WebMonitor()->Cell(windows.WebMonitor()->RowCount() - 1, 1), QStringLiteral("Checkout cancelled"));
    }

    // "Confirm" pressed before the work path of the file is known: the check-out
    // waits for it instead of landing in the fallback folder.
    void confirmWaitsForTheWorkPath()
    {
        TVersionSession session;
        session.Conn = logIn(server->port()).conn;
        QTemporaryDir work, bound;
        session.WorkRoot = work.path() + u'/';
        session.ConfigFolder = GetConfigFolder();
        const QString name = QStringLiteral("Todo.txt");
        const qint64 key = server->keyOf(name);
        const qint32 folder = server->sql(QStringLiteral("SELECT folder_id FROM files WHERE key=?"), {key}).toInt();
        QVERIFY(WorkPathRecord(session.ConfigFolder).write(folder, bound.path() + u'/'));
        std::optional<bool> savedOpen;
        session.SaveOpenAfterCheckout = [&savedOpen](bool open) { savedOpen = open; };
        QWidget owner;
        TVersionWindows windows([session] { return session; }, HSL_ENG, &owner);
        QStringList opened;
        windows.FOpen = [&opened](const QString &path, QString *) {
            opened << path;
            return true;
        };
        VersionTarget target;
        target.windows = &windows;
        TWebModule module(target, HSL_ENG, GetConfigFolder(), GetTempFolder());
        QSignalSpy ended(&windows, &TVersionWindows::webCommandEnded);

        secondLaunch(18, QString::number(key), name);
        QTRY_VERIFY_WITH_TIMEOUT((module.DoWebMessage(), !windows.LastVersionControlFrm.isNull()), 5000);
        // "Open the file" unticked by the user: nothing opens, and the choice is kept for next time.
        QVERIFY(windows.LastVersionControlFrm->CheckBox1->isChecked());
        windows.LastVersionControlFrm->CheckBox1->setChecked(false);
        // At once: the window still shows the fallback folder.
        QTest::mouseClick(windows.LastVersionControlFrm->btConfirm, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 15000);
        QCOMPARE(savedOpen, std::optional<bool>(false));
        QVERIFY(opened.isEmpty());
        QVERIFY(QFileInfo::exists(bound.path() + u'/' + name));
        QVERIFY(!QFileInfo::exists(work.path() + u'/' + name));
        QCOMPARE(CheckoutRecord(session.ConfigFolder).read(key), bound.path() + u'/' + name);
        QCOMPARE(server->lockHolder(key), QStringLiteral("Demo User"));
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    WebVersionCommandsTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_versions_e2e.moc"
