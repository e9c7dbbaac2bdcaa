#include "app/appediting.h"
#include "app/arvoclientfrm.h"
#include "app/mainduties.h"
#include "app/netsessionbackend.h"
#include "core/clientconfigx.h"
#include "core/folders.h"
#include "edit/showeditinfofrm.h"
#include "core/textfile.h"
#include "edit/editmonitor.h"
#include "edit/officeeditfrm.h"
#include "platform/fileinuse.h"
#include "preview/officeconverter.h"
#include "edit/editorlauncher.h"
#include "edit/edittransfer.h"
#include "edit/texteditfrm.h"
#include "edit/textcodec.h"
#include "net/robottcpclient.h"
#include "refserver.h"
#include "recordingprompter.h"
#include "testenv.h"
#include "testlogin.h"
#include "testprocess.h"
#include "versions/workpaths.h"
#include "core/tagtext.h"
#include "core/workpools.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFontComboBox>
#include <QListWidget>
#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <QUrl>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QToolBar>
#include <QWidgetAction>

#include <csignal>
#include <sys/stat.h>

namespace {

struct AnsweringPrompter : RecordingPrompter {
    bool answer = false;
    QStringList asked;
    bool Ask(QWidget *, const QString &, const QString &text) override
    {
        asked << text;
        return answer;
    }
};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

} // namespace

// The editor keeps what it did not change byte for byte, in the file's own encoding.
class TextCodecTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("from");      // the user's change: first "from" becomes "to"
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("encoding");
        QTest::addColumn<QByteArray>("saved");
        const QByteArray gbk = "\xD6\xD0\xCE\xC4\r\nline two\r\n";  // 中文
        QTest::addRow("GBK untouched") << gbk << QString() << QString() << "ANSI" << gbk;
        QTest::addRow("GBK, a line added in Chinese") << gbk << QStringLiteral("line two") << QStringLiteral("line two\n文")
                                                      << "ANSI" << QByteArray("\xD6\xD0\xCE\xC4\r\nline two\r\n\xCE\xC4\r\n");
        QTest::addRow("UTF-8 without mark stays without") << QByteArray("\xE4\xB8\xAD\xE6\x96\x87\nabc\n")
                                                          << QStringLiteral("abc") << QStringLiteral("中")
                                                          << "UTF-8" << QByteArray("\xE4\xB8\xAD\xE6\x96\x87\n\xE4\xB8\xAD\n");
        QTest::addRow("UTF-8 with mark keeps it") << QByteArray("\xEF\xBB\xBFhello\r\n") << QStringLiteral("hello")
                                                  << QStringLiteral("hi") << "UTF-8 BOM"
                                                  << QByteArray("\xEF\xBB\xBFhi\r\n");
        QTest::addRow("UTF-16LE with mark and CR LF")
            << QByteArray("\xFF\xFEh\0i\0\r\0\n\0", 10) << QStringLiteral("hi") << QStringLiteral("中")
            << "UTF-16LE" << QByteArray("\xFF\xFE\x2D\x4E\r\0\n\0", 8);
        QTest::addRow("three bytes are ANSI") << QByteArray("abc") << QStringLiteral("abc") << QStringLiteral("中")
                                              << "ANSI" << QByteArray("\xD6\xD0");
        QTest::addRow("mixed endings: only the changed line is new")
            << QByteArray("a\r\nb\nc\r\n") << QStringLiteral("a") << QStringLiteral("A") << "UTF-8"
            << QByteArray("A\r\nb\nc\r\n");
        QTest::addRow("no final line break stays without") << QByteArray("first\nsecond") << QStringLiteral("first")
                                                           << QStringLiteral("1st") << "UTF-8"
                                                           << QByteArray("1st\nsecond");
        QTest::addRow("UTF-8 with a character beyond the basic plane")
            << QByteArray("smile \xF0\x9F\x98\x80 ok\n") << QStringLiteral("ok") << QStringLiteral("fine") << "UTF-8"
            << QByteArray("smile \xF0\x9F\x98\x80 fine\n");
        QTest::addRow("an invalid byte in an untouched line survives")
            << QByteArray("ok line\r\nbad \xFF byte\r\n") << QStringLiteral("ok") << QStringLiteral("good") << "ANSI"
            << QByteArray("good line\r\nbad \xFF byte\r\n");
        // A bare CR ending followed by a line that is only an LF would read as one CR LF: a line lost.
        QTest::addRow("an empty line put after a CR-ended line stays a line")
            << QByteArray("a\rb\nc\n") << QStringLiteral("a") << QStringLiteral("a\n") << "UTF-8"
            << QByteArray("a\r\r\nb\nc\n");
        QTest::addRow("a line removed between a CR ending and an empty line keeps the empty line")
            << QByteArray("a\rx\n\nb\n") << QStringLiteral("x\n") << QString() << "UTF-8"
            << QByteArray("a\r\r\nb\n");
        // U+FEFF at the start of a line is text there, not a byte-order mark to drop.
        QTest::addRow("UTF-8 line starting with U+FEFF keeps it")
            << QByteArray("line one\n\xEF\xBB\xBF" "b\n") << QStringLiteral("b") << QStringLiteral("c") << "UTF-8"
            << QByteArray("line one\n\xEF\xBB\xBF" "c\n");
        QTest::addRow("UTF-16LE line starting with U+FEFF keeps it")
            << QByteArray("\xFF\xFE" "a\0\r\0\n\0\xFF\xFE" "b\0", 12) << QStringLiteral("b") << QStringLiteral("c")
            << "UTF-16LE" << QByteArray("\xFF\xFE" "a\0\r\0\n\0\xFF\xFE" "c\0", 12);
    }
    void roundTrip()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, encoding);
        QFETCH(QByteArray, saved);
        const TTextFileCodec codec = TTextFileCodec::Read(file);
        QCOMPARE(TextEncodingName(codec.Encoding()), encoding);
        QString text = codec.Text();
        if (!from.isEmpty()) {
            const qsizetype at = text.indexOf(from);
            QVERIFY(at >= 0);
            text.replace(at, from.size(), to);
        }
        QCOMPARE(codec.Write(text), saved);
    }
};

// Outside programs start from an argument list and never for a file that could run.
class LauncherTest : public QObject
{
    Q_OBJECT
    TestHome home;
private Q_SLOTS:
    void programsAreRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addRow("shell script") << "setup.sh" << QByteArray("#!/bin/sh\necho hi\n");
        QTest::addRow("desktop launcher") << "report.desktop" << QByteArray("[Desktop Entry]\nExec=sh\n");
        QTest::addRow("program under a document's name") << "notes.dat" << QByteArray("\x7F" "ELF\x02\x01\x01", 7);
    }
    void programsAreRefused()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        const QString marker = home.path() + QLatin1String("/ran");
        EditorLauncher::SetEditorOverride(QStringLiteral("touch"), {marker});
        const QString path = home.path() + u'/' + name;
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.close();
        const EditorLauncher::Started s = EditorLauncher::Open(path, false);
        EditorLauncher::SetEditorOverride({}, {});
        QVERIFY(!s.Ok);
        QVERIFY(s.Error.contains(name));
        QVERIFY(!QFileInfo::exists(marker));
    }
    void nameWithShellCharactersReachesTheEditorWhole()
    {
        // "cp -t out" stands in for the editor: the copy shows the one argument arrived intact.
        const QString out = home.path() + QLatin1String("/out");
        QVERIFY(QDir().mkpath(out));
        EditorLauncher::SetEditorOverride(QStringLiteral("cp"), {QStringLiteral("-t"), out});
        const QString name = QStringLiteral("a $(touch x); b'.txt");
        QFile f(home.path() + u'/' + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("text");
        f.close();
        const EditorLauncher::Started s = EditorLauncher::Open(f.fileName(), false);
        EditorLauncher::SetEditorOverride({}, {});
        QVERIFY(s.Ok);
        QTRY_VERIFY(QFileInfo::exists(out + u'/' + name));
        QVERIFY(!QFileInfo::exists(home.path() + QLatin1String("/x")));
    }
};

// Rescue copies never overwrite and are checked before anything relies on them.
class RescueCopyTest : public QObject
{
    Q_OBJECT
    TestHome home;
private Q_SLOTS:
    void takesANewNameBesideAnExistingFile()
    {
        const QString docs = GetDocumentsFolder();
        QVERIFY(QDir().mkpath(docs));
        QFile older(QDir(docs).filePath(QStringLiteral("plan.txt")));
        QVERIFY(older.open(QIODevice::WriteOnly));
        older.write("the user's own file");
        older.close();
        const QString source = home.path() + QLatin1String("/plan.txt");
        QFile edited(source);
        QVERIFY(edited.open(QIODevice::WriteOnly));
        edited.write("edited text");
        edited.close();

        const QString copy = TEditTransfer::RescueCopy(source);
        QCOMPARE(QFileInfo(copy).fileName(), QStringLiteral("plan (2).txt"));
        QFile c(copy);
        QVERIFY(c.open(QIODevice::ReadOnly));
        QCOMPARE(c.readAll(), QByteArray("edited text"));
        QVERIFY(older.open(QIODevice::ReadOnly));
        QCOMPARE(older.readAll(), QByteArray("the user's own file"));
    }
};

// When an outside edit ends: only after a sign of the editor was seen and went
// away. Each row is a series of looks at the copy, a second apart:
//   "free" nothing holds it, "launcher" our process runs, "fd" another sign,
//   "lock" LibreOffice's lock (with our process), "missing" no copy;
//   "+N" the copy's write time is N seconds after the download.
class EditRuleTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void endsOnlyOnEvidence_data()
    {
        QTest::addColumn<QStringList>("looks");
        QTest::addColumn<QString>("steps");   // W watch, E end, U upload the change
        QTest::addRow("launcher ends at once, nothing else") << QStringList{"launcher", "free", "free", "free"} << "WWWW";
        QTest::addRow("our program ran a while, then ended") << QStringList{"launcher", "launcher", "launcher", "launcher", "free"}
                                                             << "WWWWE";
        QTest::addRow("a descriptor seen, then gone") << QStringList{"free", "fd", "free"} << "WWE";
        QTest::addRow("LibreOffice closed the document, its program lives on")
            << QStringList{"lock", "lock", "launcher"} << "WWE";
        QTest::addRow("missing copy is never the end") << QStringList{"fd", "missing", "missing"} << "WWW";
        QTest::addRow("a change that holds still goes up, the edit goes on")
            << QStringList{"free", "free +5", "free +5", "free +5"} << "WWUW";
        QTest::addRow("a change still being written waits") << QStringList{"free +5", "free +6", "free +7"} << "WWW";
        QTest::addRow("a change while held waits for the end") << QStringList{"fd +5", "fd +5", "free +5"} << "WWE";
    }
    void endsOnlyOnEvidence()
    {
        QFETCH(QStringList, looks);
        QFETCH(QString, steps);
        const QDateTime base = QDateTime::currentDateTime();
        TEditedFileInfo record;
        record.CopyStamp = base;
        record.StartedMs = 0;
        QString got;
        for (qsizetype i = 0; i < looks.size(); ++i) {
            const QStringList parts = looks.at(i).split(u' ');
            TEditObservation o;
            const QString sign = parts.first();
            o.Missing = sign == QLatin1String("missing");
            o.EditorAlive = sign == QLatin1String("launcher") || sign == QLatin1String("lock");
            o.OfficeLock = sign == QLatin1String("lock");
            o.OtherSign = sign == QLatin1String("fd");
            o.Stamp = o.Missing ? QDateTime() : base.addSecs(parts.size() > 1 ? parts.at(1).toInt() : 0);
            const TEditStep step = DecideEditStep(record, o, 1000 * i, 3000);
            got += step == TEditStep::End ? u'E' : step == TEditStep::UploadChange ? u'U' : u'W';
            // What the monitor does after an upload: the new time is the base.
            if (step == TEditStep::UploadChange)
                record.CopyStamp = o.Stamp;
        }
        QCOMPARE(got, steps);
    }
};

// Outside editing against the reference server, with a stand-in editor.
class MonitorTest : public QObject
{
    Q_OBJECT
    TestHome home;
    std::unique_ptr<RefServer> server;
    TServerConn conn;
    QString fifo;

    std::unique_ptr<TEditMonitor> makeMonitor()
    {
        auto m = std::make_unique<TEditMonitor>(HSL_ENG);
        const TServerConn c = conn;
        const QString root = home.path() + QLatin1String("/editroot/");
        m->SettingsSource = [c, root] { return TEditSettings{c, root, GetConfigFolder()}; };
        m->SettleMs = 0;
        m->SetInterval(100);
        // No pauses after slow scans (a sanitizer build scans slowly); one test sets its own.
        m->SlowScanMs = 3600000;
        return m;
    }
    void tellEditor(const QByteArray &command)
    {
        QFile pipe(fifo);
        QVERIFY(pipe.open(QIODevice::WriteOnly));
        pipe.write(command);
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<RefServer>();
        conn = logIn(server->port()).conn;
        fifo = home.path() + QLatin1String("/editor.fifo");
        QFile::remove(fifo);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        qputenv("STANDIN_FIFO", QFile::encodeName(fifo));
        EditorLauncher::SetEditorOverride(binPath("zudivuvo-standin-editor"), {});
        // Each test starts without the records earlier ones left.
        QFile::remove(CheckoutRecord(GetConfigFolder()).fileName());
    }
    void cleanup()
    {
        EditorLauncher::SetEditorOverride({}, {});
        qunsetenv("STANDIN_MODE");
        server.reset();
    }

    void editEndsWhenTheEditorLetsGo_data()
    {
        QTest::addColumn<bool>("change");
        QTest::addColumn<bool>("checkedOutBefore");
        QTest::addRow("changed: a new version") << true << false;
        QTest::addRow("unchanged: given back") << false << false;
        QTest::addRow("unchanged, checked out before: the check-out stays") << false << true;
        QTest::addRow("changed, checked out before: the check-out stays") << true << true;
    }
    void editEndsWhenTheEditorLetsGo()
    {
        QFETCH(bool, change);
        QFETCH(bool, checkedOutBefore);
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        const QByteArray before = server->currentBody(key);
        const int versions = server->versionCount(key);
        CheckoutRecord records(GetConfigFolder());
        const QString userCopy = home.path() + QLatin1String("/checked-out/Todo.txt");
        if (checkedOutBefore) {
            QCOMPARE(conn.MakeClient()->LockFile(key), 1);
            QVERIFY(records.write(key, userCopy));
        }

        auto monitor = makeMonitor();
        QSignalSpy checks(monitor.get(), &TEditMonitor::checked);
        QSignalSpy ended(monitor.get(), &TEditMonitor::editEnded);
        QSignalSpy notices(monitor.get(), &TEditMonitor::notice);
        monitor->SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(key));
        monitor->EditFile();
        QTRY_VERIFY_WITH_TIMEOUT(!monitor->IsDownloading(), 15000);
        QVERIFY2(monitor->FileList().size() == 1, qPrintable(monitor->Log().join(u'|')));
        const QString copy = monitor->FileList().first().PathAndFile;
        QVERIFY(copy.startsWith(home.path() + QLatin1String("/editroot/")));
        // The user's check-out record is never replaced by the edit's.
        QCOMPARE(records.read(key), checkedOutBefore ? userCopy : copy);
        QCOMPARE(records.isEdit(key), !checkedOutBefore);
        QVERIFY(server->locked(key));
        // Held by the stand-in: the monitor sees it in use and does nothing.
        QTRY_VERIFY_WITH_TIMEOUT(!checks.isEmpty(), 10000);
        QCOMPARE(checks.first().at(1).toBool(), true);
        QTRY_VERIFY_WITH_TIMEOUT(monitor->FileList().first().SignSeen, 10000);
        QCOMPARE(server->versionCount(key), versions);
        // Asked again while it is open: the copy under the editor is not fetched anew.
        monitor->SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(key));
        monitor->EditFile();
        QVERIFY(!monitor->IsDownloading());
        QCOMPARE(monitor->FileList().size(), 1);

        const QByteArray edited = "edited by the stand-in\r\n中文\r\n";
        tellEditor(change ? "change:" + edited : QByteArray("keep"));
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QCOMPARE(ended.first().at(1).toBool(), change);
        QVERIFY(monitor->FileList().isEmpty());
        QVERIFY(!QFileInfo::exists(copy));
        if (change) {
            QCOMPARE(server->currentBody(key), edited);
            QCOMPARE(server->versionCount(key), versions + 1);
            QCOMPARE(notices.last().at(0).toString(), monitor->Texts().WLS_UpdateOk);
        } else {
            QCOMPARE(server->currentBody(key), before);
            QCOMPARE(notices.last().at(0).toString(), QStringLiteral("Todo.txt,") + monitor->Texts().WLS_NoChange);
        }
        // The edit's own record and lock end with it; a check-out from before stays.
        QTRY_COMPARE(server->locked(key), checkedOutBefore);
        QCOMPARE(records.read(key), checkedOutBefore ? userCopy : QString());
    }

    // The user had checked the file out to the very place the edit uses: that copy,
    // with work not yet checked in, opens as it is and is never downloaded over.
    void editOfTheCheckedOutCopyKeepsTheUsersWork_data()
    {
        QTest::addColumn<bool>("change");
        QTest::addRow("closed unchanged: nothing goes up") << false;
        QTest::addRow("changed: a new version") << true;
    }
    void editOfTheCheckedOutCopyKeepsTheUsersWork()
    {
        QFETCH(bool, change);
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        const QByteArray before = server->currentBody(key);
        const int versions = server->versionCount(key);
        QString pathStr = GetTagValue(conn.MakeClient()->GetServerPath(key, false), QStringLiteral("PathStr"));
        pathStr.replace(u'\\', u'/');
        const QString copy = QDir::cleanPath(home.path() + QLatin1String("/editroot/") + pathStr + QLatin1String("/Todo.txt"));
        QVERIFY(QDir().mkpath(QFileInfo(copy).absolutePath()));
        const QByteArray work = "the user's work, not checked in yet\r\n";
        writeAll(copy, work);
        {
            // The user saved that work a while ago.
            QFile f(copy);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        }
        QCOMPARE(conn.MakeClient()->LockFile(key), 1);
        CheckoutRecord records(GetConfigFolder());
        QVERIFY(records.write(key, copy));

        auto monitor = makeMonitor();
        QSignalSpy ended(monitor.get(), &TEditMonitor::editEnded);
        monitor->SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(key));
        monitor->EditFile();
        QTRY_VERIFY_WITH_TIMEOUT(!monitor->IsDownloading(), 15000);
        QVERIFY2(monitor->FileList().size() == 1, qPrintable(monitor->Log().join(u'|')));
        QCOMPARE(QFileInfo(monitor->FileList().first().PathAndFile), QFileInfo(copy));
        QCOMPARE(readAll(copy), work);
        // The edit ends by itself only once the monitor has seen the editor hold the file.
        QTRY_VERIFY_WITH_TIMEOUT(monitor->FileList().first().SignSeen, 10000);

        const QByteArray edited = "edited on top of the user's work\r\n";
        tellEditor(change ? "change:" + edited : QByteArray("keep"));
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QCOMPARE(ended.first().at(1).toBool(), change);
        QCOMPARE(readAll(copy), change ? edited : work);
        QCOMPARE(server->currentBody(key), change ? edited : before);
        QCOMPARE(server->versionCount(key), versions + (change ? 1 : 0));
        // Still the user's check-out: lock and record stay.
        QVERIFY(server->locked(key));
        QCOMPARE(QFileInfo(records.read(key)), QFileInfo(copy));
        QVERIFY(records.erase(key));
        QVERIFY(QFile::remove(copy));
    }

    // One tick looks at the processes once however many files it watches, and
    // never on the GUI thread.
    void oneTickListsTheProcessesOnceForAllFiles()
    {
        // The editor ends at once, so every copy is free at the first tick; that alone ends nothing.
        EditorLauncher::SetEditorOverride(QStringLiteral("true"), {});
        auto monitor = makeMonitor();
        monitor->SetInterval(3600000);
        struct Calls {
            QMutex lock;
            int count = 0;
            bool onGui = false;
        };
        auto calls = std::make_shared<Calls>();
        QThread *gui = QThread::currentThread();
        monitor->ProcessSource = [calls, gui] {
            QMutexLocker guard(&calls->lock);
            ++calls->count;
            calls->onGui = calls->onGui || QThread::currentThread() == gui;
            return FileInUse::UserProcesses();
        };
        QSignalSpy checks(monitor.get(), &TEditMonitor::checked);
        for (const QString &name : {QStringLiteral("Todo.txt"), QStringLiteral("Meeting notes.txt")}) {
            monitor->SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]%2[/FileName]").arg(server->keyOf(name)).arg(name));
            monitor->EditFile();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!monitor->IsDownloading(), 15000);
        QVERIFY2(monitor->FileList().size() == 2, qPrintable(monitor->Log().join(u'|')));
        for (const TEditedFileInfo &f : monitor->FileList())
            QTRY_VERIFY(!FileInUse::IsProcessAlive(f.EditorPid));

        monitor->Tick();
        QTRY_COMPARE_WITH_TIMEOUT(checks.size(), 2, 20000);
        QCOMPARE(checks.at(0).at(1).toBool(), false);
        QCOMPARE(checks.at(1).at(1).toBool(), false);
        // Free, but no sign of an editor was ever seen: both edits go on.
        QCOMPARE(monitor->FileList().size(), 2);
        QMutexLocker guard(&calls->lock);
        QCOMPARE(calls->count, 1);
        QVERIFY(!calls->onGui);
    }

    // An editor reached through a launcher: the started process ends at once and
    // the real editor, which holds nothing, saves later. Nothing may be decided
    // from the launcher's end: the save becomes a new version, the copy and the
    // lock stay until the user says "Finished editing".
    void editWithoutASignGoesOnUntilTheUserFinishes_data()
    {
        QTest::addColumn<bool>("save");
        QTest::addRow("saved later: a new version, then finished") << true;
        QTest::addRow("never saved: kept until finished, then given back") << false;
    }
    void editWithoutASignGoesOnUntilTheUserFinishes()
    {
        QFETCH(bool, save);
        qputenv("STANDIN_MODE", "fork");
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        const QByteArray before = server->currentBody(key);
        const int versions = server->versionCount(key);
        auto monitor = makeMonitor();
        monitor->LauncherMs = 1000;
        QSignalSpy checks(monitor.get(), &TEditMonitor::checked);
        QSignalSpy ended(monitor.get(), &TEditMonitor::editEnded);
        monitor->SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(key));
        monitor->EditFile();
        QTRY_VERIFY_WITH_TIMEOUT(!monitor->IsDownloading(), 15000);
        QVERIFY2(monitor->FileList().size() == 1, qPrintable(monitor->Log().join(u'|')));
        const QString copy = monitor->FileList().first().PathAndFile;
        QTRY_VERIFY(!FileInUse::IsProcessAlive(monitor->FileList().first().EditorPid));

        // Well past the launcher's time: free at every look, and still nothing ends.
        QElapsedTimer since;
        since.start();
        QTRY_VERIFY_WITH_TIMEOUT(checks.size() >= 5 && since.elapsed() > 2 * monitor->LauncherMs, 60000);
        QVERIFY(!checks.last().at(1).toBool());
        QVERIFY(ended.isEmpty());
        QCOMPARE(monitor->FileList().size(), 1);
        QVERIFY(QFileInfo::exists(copy));
        QVERIFY(server->locked(key));
        QCOMPARE(server->versionCount(key), versions);

        const QByteArray edited = "saved by the editor behind the launcher\n";
        if (save) {
            tellEditor("change:" + edited);
            QTRY_COMPARE_WITH_TIMEOUT(server->versionCount(key), versions + 1, 20000);
            QCOMPARE(server->currentBody(key), edited);
            // The edit goes on: the copy, the record and the lock stay.
            QTRY_VERIFY(!monitor->FileList().first().Busy);
            QVERIFY(ended.isEmpty());
            QCOMPARE(readAll(copy), edited);
            QVERIFY(server->locked(key));
            QCOMPARE(CheckoutRecord(GetConfigFolder()).read(key), copy);
        }

        monitor->FinishEditing(key);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QCOMPARE(ended.first().at(1).toBool(), save);
        QCOMPARE(server->versionCount(key), versions + (save ? 1 : 0));
        QCOMPARE(server->currentBody(key), save ? edited : before);
        QVERIFY(!QFileInfo::exists(copy));
        QTRY_VERIFY(!server->locked(key));
        QCOMPARE(CheckoutRecord(GetConfigFolder()).read(key), QString());
        if (!save)
            tellEditor("keep");
    }

    // Saved again without a change: the server answers 16, and the edit ends as
    // unchanged instead of failing with a rescue copy and a held lock.
    void unchangedResaveEndsAsUnchanged()
    {
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        const QByteArray before = server->currentBody(key);
        const int versions = server->versionCount(key);
        auto monitor = makeMonitor();
        QSignalSpy ended(monitor.get(), &TEditMonitor::editEnded);
        QSignalSpy notices(monitor.get(), &TEditMonitor::notice);
        monitor->SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(key));
        monitor->EditFile();
        QTRY_COMPARE_WITH_TIMEOUT(monitor->FileList().size(), 1, 15000);
        const QString copy = monitor->FileList().first().PathAndFile;
        const QStringList docsBefore = QDir(GetDocumentsFolder()).entryList(QDir::Files);
        QTRY_VERIFY_WITH_TIMEOUT(monitor->FileList().first().SignSeen, 10000);

        // The stand-in writes the same bytes again: a new write time, the same content.
        tellEditor("change:" + before);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QCOMPARE(ended.first().at(1).toBool(), false);
        QCOMPARE(notices.last().at(0).toString(), QStringLiteral("Todo.txt,") + monitor->Texts().WLS_NoChange);
        QCOMPARE(server->versionCount(key), versions);
        QCOMPARE(QDir(GetDocumentsFolder()).entryList(QDir::Files), docsBefore);
        QVERIFY(!QFileInfo::exists(copy));
        QTRY_VERIFY(!server->locked(key));
        QCOMPARE(CheckoutRecord(GetConfigFolder()).read(key), QString());
    }

    // A second request for a file still being downloaded brings the first forward
    // instead of fetching it again over the first copy.
    void secondRequestWhileFetchingBringsTheFirstForward()
    {
        EditorLauncher::SetEditorOverride(QStringLiteral("true"), {});
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        auto monitor = makeMonitor();
        monitor->SetInterval(3600000);
        QSignalSpy forward(monitor.get(), &TEditMonitor::bringToFrontRequested);
        const QString request = QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(key);
        monitor->SetPendingEdit(request);
        monitor->EditFile();
        QVERIFY(monitor->IsDownloading());
        monitor->SetPendingEdit(request);
        monitor->EditFile();
        QCOMPARE(forward.size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!monitor->IsDownloading(), 15000);
        QCOMPARE(monitor->FileList().size(), 1);
        QCOMPARE(monitor->Log().filter(monitor->Texts().WLS_DownloadOK).size(), 1);
    }

    // An administrator may release anyone's lock: an edit refused because another
    // user holds the file must leave that user's lock alone.
    void refusedEditLeavesAnotherUsersLock()
    {
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        QCOMPARE(conn.MakeClient()->LockFile(key), 1);
        const TServerConn admin = logIn(server->port(), QStringLiteral("admin"), QStringLiteral("admin")).conn;
        const QString target = home.path() + QLatin1String("/admin-edit/Todo.txt");
        const TEditTransfer::Download d = TEditTransfer(admin, GetConfigFolder(), HSL_ENG).DownloadForEdit(key, target);
        QVERIFY(!d.Ok);
        QVERIFY(server->locked(key));
        // Still the demo user's: the lock goes back only through them.
        QCOMPARE(conn.MakeClient()->UnLockFile(true, key), 1);
        QVERIFY(!server->locked(key));
    }

    // An edit the last run left behind (a crash here) is listed at the next start,
    // and is never taken for the user's own check-out.
    void leftoverEditOfAnEarlierRun_data()
    {
        QTest::addColumn<QString>("choice");
        QTest::addRow("uploaded") << "upload";
        QTest::addRow("given back, the changed copy stays") << "give back";
        QTest::addRow("edited again: the change goes up, the lock goes back") << "edit again";
    }
    void leftoverEditOfAnEarlierRun()
    {
        QFETCH(QString, choice);
        EditorLauncher::SetEditorOverride(QStringLiteral("true"), {});
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        const QByteArray before = server->currentBody(key);
        QString copy;
        {
            auto earlier = makeMonitor();
            earlier->SetInterval(3600000);
            earlier->SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(key));
            earlier->EditFile();
            QTRY_COMPARE_WITH_TIMEOUT(earlier->FileList().size(), 1, 15000);
            copy = earlier->FileList().first().PathAndFile;
        }  // the client ends without finishing the edit
        const QByteArray edited = "work done before the crash\n";
        writeAll(copy, edited);
        {
            QFile f(copy);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
        }
        QVERIFY(server->locked(key));

        auto monitor = makeMonitor();
        QSignalSpy ended(monitor.get(), &TEditMonitor::editEnded);
        const QList<TLeftoverEdit> leftovers = monitor->LeftoverEdits();
        QCOMPARE(leftovers.size(), 1);
        QCOMPARE(leftovers.first().FileKey, key);
        QCOMPARE(QFileInfo(leftovers.first().Path), QFileInfo(copy));
        QVERIFY(leftovers.first().Changed);

        if (choice == QLatin1String("edit again")) {
            EditorLauncher::SetEditorOverride(binPath("zudivuvo-standin-editor"), {});
            monitor->SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(key));
            monitor->EditFile();
            QTRY_COMPARE_WITH_TIMEOUT(monitor->FileList().size(), 1, 15000);
            // The copy with the work in it opens as it is.
            QCOMPARE(readAll(copy), edited);
            QTRY_VERIFY_WITH_TIMEOUT(monitor->FileList().first().SignSeen, 10000);
            tellEditor("keep");
        } else {
            monitor->ResolveLeftover(key, choice == QLatin1String("upload"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        const bool uploaded = choice != QLatin1String("give back");
        QCOMPARE(ended.first().at(1).toBool(), uploaded);
        QCOMPARE(server->currentBody(key), uploaded ? edited : before);
        QTRY_VERIFY(!server->locked(key));
        QCOMPARE(CheckoutRecord(GetConfigFolder()).read(key), QString());
        QCOMPARE(QFileInfo::exists(copy), !uploaded);
        QVERIFY(monitor->LeftoverEdits().isEmpty());
    }

    // The monitor window's "Finished editing" ends the selected edit.
    void finishedEditingButtonEndsTheEdit()
    {
        EditorLauncher::SetEditorOverride(QStringLiteral("true"), {});
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        TShowEditInfoFrm frm(HSL_ENG);
        TEditMonitor &monitor = frm.Monitor();
        const TServerConn c = conn;
        const QString root = home.path() + QLatin1String("/editroot/");
        monitor.SettingsSource = [c, root] { return TEditSettings{c, root, GetConfigFolder()}; };
        monitor.SettleMs = 0;
        monitor.SetInterval(100);
        monitor.SlowScanMs = 3600000;
        QSignalSpy ended(&monitor, &TEditMonitor::editEnded);
        monitor.SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(key));
        monitor.EditFile();
        QTRY_COMPARE_WITH_TIMEOUT(frm.lvFiles->count(), 1, 15000);
        QCOMPARE(frm.btnFinished->text(), QStringLiteral("Finished editing"));
        QTRY_VERIFY(frm.btnFinished->isEnabled());
        QVERIFY(server->locked(key));
        QTest::mouseClick(frm.btnFinished, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 15000);
        QCOMPARE(frm.lvFiles->count(), 0);
        QTRY_VERIFY(!server->locked(key));
        QCOMPARE(CheckoutRecord(GetConfigFolder()).read(key), QString());
    }

    // A scan of the processes that took long is not repeated at the next tick.
    void slowScanIsNotRepeatedAtOnce()
    {
        EditorLauncher::SetEditorOverride(QStringLiteral("true"), {});
        auto monitor = makeMonitor();
        monitor->SetInterval(3600000);
        monitor->SlowScanMs = 100;
        auto calls = std::make_shared<QAtomicInt>(0);
        monitor->ProcessSource = [calls] {
            calls->fetchAndAddRelaxed(1);
            QSemaphore slowMachine;
            slowMachine.tryAcquire(1, 150);
            return FileInUse::UserProcesses();
        };
        QSignalSpy checks(monitor.get(), &TEditMonitor::checked);
        monitor->SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(server->keyOf(QStringLiteral("Todo.txt"))));
        monitor->EditFile();
        QTRY_COMPARE_WITH_TIMEOUT(monitor->FileList().size(), 1, 15000);
        monitor->Tick();
        QTRY_COMPARE_WITH_TIMEOUT(checks.size(), 1, 10000);
        QTRY_VERIFY(!monitor->FileList().first().Busy);
        monitor->Tick();
        monitor->Tick();
        QVERIFY(!checks.wait(300));
        QCOMPARE(calls->loadRelaxed(), 1);
    }

    // A client started only for an edit ends after it, but not while other work
    // runs, and not once the user has brought the main window up.
    void exitAfterAnEditWaitsForOtherWork_data()
    {
        QTest::addColumn<bool>("mainShown");
        QTest::addRow("other work runs, then ends: exit") << false;
        QTest::addRow("main window shown meanwhile: no exit") << true;
    }
    void exitAfterAnEditWaitsForOtherWork()
    {
        QFETCH(bool, mainShown);
        qputenv("STANDIN_MODE", "fork");
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        const int versions = server->versionCount(key);
        auto monitor = makeMonitor();
        monitor->NoticeHoldMs = 0;
        monitor->SetMainVisible(false);
        auto busy = std::make_shared<bool>(true);
        monitor->BusyElsewhere = [busy] { return *busy; };
        monitor->MainShownNow = [mainShown] { return mainShown; };
        QSignalSpy exits(monitor.get(), &TEditMonitor::exitRequested);
        QSignalSpy ended(monitor.get(), &TEditMonitor::editEnded);
        monitor->SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]Todo.txt[/FileName]").arg(key));
        monitor->EditFile();
        QTRY_COMPARE_WITH_TIMEOUT(monitor->FileList().size(), 1, 15000);
        tellEditor("change:done while a batch task runs\n");
        QTRY_COMPARE_WITH_TIMEOUT(server->versionCount(key), versions + 1, 20000);
        QTRY_VERIFY(!monitor->FileList().first().Busy);
        monitor->FinishEditing(key);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QVERIFY(ended.first().at(1).toBool());
        QVERIFY(!exits.wait(1000));
        *busy = false;
        if (mainShown)
            QVERIFY(!exits.wait(3000));
        else
            QVERIFY(exits.wait(5000));
    }

    void failedUploadLeavesANamedRescueCopy()
    {
        const qint64 key = server->keyOf(QStringLiteral("Meeting notes.txt"));
        auto monitor = makeMonitor();
        QSignalSpy ended(monitor.get(), &TEditMonitor::editEnded);
        QSignalSpy notices(monitor.get(), &TEditMonitor::notice);
        monitor->SetPendingEdit(QStringLiteral("[Key]%1[/Key][FileName]x[/FileName]").arg(key));
        monitor->EditFile();
        QTRY_COMPARE_WITH_TIMEOUT(monitor->FileList().size(), 1, 15000);
        const QString copy = monitor->FileList().first().PathAndFile;
        QTRY_VERIFY_WITH_TIMEOUT(monitor->FileList().first().SignSeen, 10000);

        server->stop();
        const QByteArray edited = "work that must not be lost\n";
        tellEditor("change:" + edited);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QCOMPARE(ended.first().at(1).toBool(), false);
        const QString text = notices.last().at(0).toString();
        QCOMPARE(notices.last().at(1).toBool(), false);
        const qsizetype at = text.indexOf(monitor->Texts().WLS_UplaodError2);
        QVERIFY2(at > 0, qPrintable(text));
        const QString rescue = text.mid(at + monitor->Texts().WLS_UplaodError2.size());
        QVERIFY(rescue.startsWith(GetDocumentsFolder()));
        QFile saved(rescue);
        QVERIFY2(saved.open(QIODevice::ReadOnly), qPrintable(rescue));
        QCOMPARE(saved.readAll(), edited);
        // The work copy stays too, and the check-out record still leads to it.
        QVERIFY(QFileInfo::exists(copy));
        QCOMPARE(CheckoutRecord(GetConfigFolder()).read(key), copy);
        QVERIFY(monitor->Log().last().contains(rescue));
    }
};

// The text editor against the reference server.
class TextEditorTest : public QObject
{
    Q_OBJECT
    TestHome home;
    std::unique_ptr<RefServer> server;
    TServerConn conn;
    AnsweringPrompter prompter;

    TTextFileEditFrm *openEditor(qint64 key, const QString &name)
    {
        auto *frm = new TTextFileEditFrm(conn, GetConfigFolder());
        QSignalSpy ready(frm, &TFileEditBaseFrm::editReady);
        frm->Edit(name, QStringLiteral("txt"), key);
        frm->SetToolbarVisible(true);
        frm->show();
        if (!ready.wait(15000) || !ready.first().at(0).toBool())
            qFatal("the editor did not open");
        return frm;
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<RefServer>();
        conn = logIn(server->port()).conn;
        prompter = AnsweringPrompter();
        TPrompter::SetInstance(&prompter);
    }
    void cleanup()
    {
        TPrompter::SetInstance(nullptr);
        server.reset();
    }

    void saveUploadsInTheFilesOwnEncoding()
    {
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        const QByteArray before = server->currentBody(key);
        QPointer<TTextFileEditFrm> frm = openEditor(key, QStringLiteral("Todo.txt"));
        QCOMPARE(frm->windowTitle(), QStringLiteral("Todo.txt - Modify"));
        QCOMPARE(CheckoutRecord(GetConfigFolder()).read(key), frm->FEditFileName);
        const TTextFileCodec original = TTextFileCodec::Read(before);
        QCOMPARE(frm->EditorText(), original.Text());

        frm->Editor->moveCursor(QTextCursor::End);
        frm->Editor->insertPlainText(QStringLiteral("\n追加 a line"));
        const QByteArray expected = original.Write(frm->EditorText());
        QTest::mouseClick(frm->spbSave, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(frm.isNull(), 15000);
        QCOMPARE(server->currentBody(key), expected);
        QVERIFY(expected.startsWith(before.left(before.size() - 2)));
        QCOMPARE(prompter.shown, QStringList{QStringLiteral("Modified successfully!")});
        QCOMPARE(CheckoutRecord(GetConfigFolder()).read(key), QString());
    }

    void cancelAsksAndThenGivesTheFileBackForGood()
    {
        const qint64 key = server->keyOf(QStringLiteral("Meeting notes.txt"));
        QPointer<TTextFileEditFrm> frm = openEditor(key, QStringLiteral("Meeting notes.txt"));
        QVERIFY(server->locked(key));
        frm->Editor->insertPlainText(QStringLiteral("thrown away"));

        prompter.answer = false;
        QTest::mouseClick(frm->spbCancel, Qt::LeftButton);
        QCOMPARE(prompter.asked, QStringList{QStringLiteral("Confirm cancel editing?")});
        QVERIFY(!frm.isNull());
        QVERIFY(frm->IsEditing());

        prompter.answer = true;
        QTest::mouseClick(frm->spbCancel, Qt::LeftButton);
        QTRY_VERIFY(frm.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(!server->locked(key), 10000);
        // No record is left for a later check-in to publish the cancelled text.
        QTRY_COMPARE(CheckoutRecord(GetConfigFolder()).read(key), QString());
    }

    void failedUploadKeepsTheWindowAndNamesTheCopy()
    {
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        QPointer<TTextFileEditFrm> frm = openEditor(key, QStringLiteral("Todo.txt"));
        frm->Editor->insertPlainText(QStringLiteral("unsaved work "));
        server->stop();
        QSignalSpy done(frm.data(), &TFileEditBaseFrm::uploadFinished);
        QTest::mouseClick(frm->spbSave, Qt::LeftButton);
        QVERIFY(done.wait(20000));
        QVERIFY(!frm.isNull());
        QCOMPARE(prompter.shown.size(), 1);
        const QString box = prompter.shown.first();
        const QString marker = QStringLiteral("File saveas to -- ");
        QVERIFY2(box.contains(marker), qPrintable(box));
        QFile rescue(box.mid(box.indexOf(marker) + marker.size()).trimmed());
        QVERIFY2(rescue.open(QIODevice::ReadOnly), qPrintable(rescue.fileName()));
        QVERIFY(rescue.readAll().startsWith("unsaved work "));
        // The text never reached the server, so closing asks about it again.
        prompter.answer = false;
        prompter.asked.clear();
        frm->close();
        QVERIFY(!prompter.asked.isEmpty());
        QCOMPARE(prompter.asked.first(), frm->Texts.WLS_IsUpload);
        QVERIFY(!frm.isNull());
        QVERIFY(frm->IsEditing());
        delete frm.data();
    }

    // What the editor gives back to be saved is the text as loaded: no-break spaces
    // and line separators stay, so a line the user did not touch keeps its bytes.
    void editorGivesBackTheTextAsLoaded_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addRow("no-break space") << QByteArray("price:\xC2\xA0" "100\r\nsecond line\r\n");
        QTest::addRow("line separator inside a line") << QByteArray("one\xE2\x80\xA8still one\r\nnext\r\n");
        QTest::addRow("character beyond the basic plane") << QByteArray("smile \xF0\x9F\x98\x80\nnext\n");
    }
    void editorGivesBackTheTextAsLoaded()
    {
        QFETCH(QByteArray, file);
        const QString path = home.path() + QLatin1String("/loaded.txt");
        writeAll(path, file);
        TTextFileEditFrm frm(conn, GetConfigFolder());
        QVERIFY(frm.LoadCopy(path));
        const TTextFileCodec codec = TTextFileCodec::Read(file);
        QCOMPARE(frm.EditorText(), codec.Text());
        QCOMPARE(codec.Write(frm.EditorText()), file);
        // An edit on another line leaves this one's bytes alone.
        frm.Editor->moveCursor(QTextCursor::End);
        frm.Editor->insertPlainText(QStringLiteral("added"));
        QVERIFY(codec.Write(frm.EditorText()).startsWith(file.left(file.indexOf('\n') + 1)));
    }

    // The tool bar speaks the interface's language, labels and tooltips alike.
    void toolBarFollowsTheLanguage_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QStringList>("labels");
        QTest::addRow("English") << int(HSL_ENG) << QStringList{QStringLiteral("Cut"), QStringLiteral("Copy"), QStringLiteral("Paste"), QStringLiteral("Undo")};
        QTest::addRow("Chinese") << int(HSL_CN) << QStringList{QStringLiteral("剪切"), QStringLiteral("复制"), QStringLiteral("粘贴"), QStringLiteral("撤销")};
    }
    void toolBarFollowsTheLanguage()
    {
        QFETCH(int, language);
        QFETCH(QStringList, labels);
        TServerConn c = conn;
        c.Language = THS_Language(language);
        TTextFileEditFrm frm(c, GetConfigFolder());
        QStringList shown;
        for (QAction *a : frm.StandardToolBar->actions()) {
            if (a->isSeparator() || qobject_cast<QWidgetAction *>(a))
                continue;
            QVERIFY2(!a->toolTip().isEmpty(), qPrintable(a->text()));
            // A Chinese tool bar carries no English word, an English one no Chinese.
            const bool latin = !a->toolTip().contains(QRegularExpression(QStringLiteral("[\\x{4e00}-\\x{9fff}]")));
            QCOMPARE(latin, language == HSL_ENG);
            shown << QString(a->text()).remove(u'&');
        }
        for (const QString &label : labels)
            QVERIFY2(std::any_of(shown.cbegin(), shown.cend(), [&](const QString &s) { return s.startsWith(label); }),
                     qPrintable(shown.join(u',')));
        QVERIFY(!frm.FontName->toolTip().contains(u'|'));
    }

    // Typed characters the file's own encoding cannot store would be written as "?":
    // the editor asks first and offers UTF-8.
    void charactersTheEncodingCannotHoldAsk_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::addRow("saved as UTF-8") << true;
        QTest::addRow("refused: nothing is saved") << false;
    }
    void charactersTheEncodingCannotHoldAsk()
    {
        QFETCH(bool, accept);
        const qint64 key = server->keyOf(QStringLiteral("Todo.txt"));
        const QByteArray gbk = "\xD6\xD0\xCE\xC4 notes\r\nsecond line\r\n";  // GBK: not UTF-8
        const QString local = home.path() + QLatin1String("/gbk/Todo.txt");
        QVERIFY(QDir().mkpath(QFileInfo(local).absolutePath()));
        writeAll(local, gbk);
        QCOMPARE(int(conn.MakeClient()->UploadFile2(local, QString(), key)), 3);
        const int versions = server->versionCount(key);

        QPointer<TTextFileEditFrm> frm = openEditor(key, QStringLiteral("Todo.txt"));
        QCOMPARE(frm->FileEncoding(), TTextEncoding::Ansi);
        frm->Editor->moveCursor(QTextCursor::End);
        frm->Editor->insertPlainText(QStringLiteral("emoji \U0001F600 and ✓"));
        const QByteArray expected = TTextFileCodec::Read(gbk).WriteAs(frm->EditorText(), TTextEncoding::Utf8Bom);
        prompter.answer = accept;
        QTest::mouseClick(frm->spbSave, Qt::LeftButton);
        QCOMPARE(prompter.asked.size(), 1);
        QVERIFY2(prompter.asked.first().contains(QLatin1String("UTF-8")), qPrintable(prompter.asked.first()));
        if (!accept) {
            QVERIFY(!frm.isNull());
            QVERIFY(frm->IsEditing());
            QVERIFY(!frm->IsBusy());
            QCOMPARE(server->versionCount(key), versions);
            delete frm.data();
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(frm.isNull(), 15000);
        QCOMPARE(server->currentBody(key), expected);
        QVERIFY(expected.startsWith("\xEF\xBB\xBF\xE4\xB8\xAD\xE6\x96\x87 notes\r\n"));
        QVERIFY(!expected.contains('?'));
    }
};

// The whole road in the running client: web command 26, the clipboard duty,
// the monitor, the stand-in editor, the new version; exit asks while it runs.
class AppEditTest : public QObject
{
    Q_OBJECT
    TestHome home;
    RefServer server;
    AnsweringPrompter prompter;

private Q_SLOTS:
    void initTestCase() { TPrompter::SetInstance(&prompter); }
    void cleanupTestCase()
    {
        TPrompter::SetInstance(nullptr);
        EditorLauncher::SetEditorOverride({}, {});
    }

    // The running client, logged in to the reference server as the demo user.
    std::unique_ptr<TARVOClientFrm> loggedInClient(TClientConfigX &config)
    {
        auto w = std::make_unique<TARVOClientFrm>(config, std::make_shared<TNetSessionBackend>(),
                                                  QStringLiteral("/opt/kv/ZuDivuvo"));
        w->show();
        if (!QTest::qWaitFor([&] { return w->Session().FIsLogin; }, 20000))
            qFatal("no session");
        return w;
    }

    void init()
    {
        TClientConfigX c;
        c.SetServerHost(QStringLiteral("127.0.0.1"));
        c.SetServerPort(server.port());
        c.SetLanguage(1);
        c.SetLoginName(QStringLiteral("demo"));
        c.SetLoginPassword(QStringLiteral("demo"));
        c.SetAutoLogin(true);
        c.SetNotShowEditGuide(true);
        QVERIFY(c.Save());
        prompter.asked.clear();
        prompter.shown.clear();
        prompter.answer = false;
    }

    void command15OpensTheEditorOfTheType_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("window");
        QTest::addRow("text file") << "Todo.txt" << "TTextFileEditFrm";
        QTest::addRow("office document, extension in capitals") << "SUPPLY.DOCX" << "TOfficeFileEditFrm";
    }
    void command15OpensTheEditorOfTheType()
    {
        QFETCH(QString, name);
        QFETCH(QString, window);
        if (window == QLatin1String("TOfficeFileEditFrm") && EditorLauncher::OfficeProgram(QStringLiteral("docx")).isEmpty())
            QSKIP("No office suite is installed, so the office editor refuses to start here.");
        // "true" stands in for the office program: it starts and ends at once.
        EditorLauncher::SetEditorOverride(QStringLiteral("true"), {});
        TClientConfigX config;
        auto w = loggedInClient(config);
        const qint64 key = server.keyOf(name.endsWith(QLatin1String("txt")) ? QStringLiteral("Todo.txt")
                                                                         : QStringLiteral("Supply agreement.docx"));
        w->WebModule().Queue().Add(TWebCmd{15, QStringLiteral("[filekey]%1[/filekey][filename]%2[/filename]").arg(key).arg(name)});
        QTRY_COMPARE_WITH_TIMEOUT(w->Editing()->Editors().size(), 1, 10000);
        QPointer<TFileEditBaseFrm> editor = w->Editing()->Editors().first();
        QCOMPARE(QString::fromLatin1(editor->metaObject()->className()), window);
        QTRY_VERIFY_WITH_TIMEOUT(editor->IsEditing(), 15000);
        QCOMPARE(CheckoutRecord(GetConfigFolder()).read(key), editor->FEditFileName);
        prompter.answer = true;
        editor->close();
        QTRY_VERIFY(editor.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(!server.locked(key), 10000);
    }

    // One editor per file: a second request while the first is fetching or editing
    // brings that one forward instead of downloading over it.
    void secondEditOfAFileBringsTheFirstForward()
    {
        TClientConfigX config;
        auto w = loggedInClient(config);
        const qint64 key = server.keyOf(QStringLiteral("Todo.txt"));
        QVERIFY(w->Editing()->EditText(key, QStringLiteral("Todo.txt"), nullptr));
        QCOMPARE(w->Editing()->Editors().size(), 1);
        QPointer<TFileEditBaseFrm> editor = w->Editing()->Editors().first();
        QVERIFY(w->Editing()->EditText(key, QStringLiteral("Todo.txt"), nullptr));
        QTRY_VERIFY_WITH_TIMEOUT(editor->IsEditing(), 15000);
        QVERIFY(w->Editing()->EditText(key, QStringLiteral("Todo.txt"), nullptr));
        QCOMPARE(w->Editing()->Editors().size(), 1);
        prompter.answer = true;
        editor->close();
        QTRY_VERIFY(editor.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(!server.locked(key), 10000);
    }

    // An edit the last run left (its copy holds work) is offered at login; "Yes" uploads it.
    void leftoverEditIsOfferedAtLogin()
    {
        const qint64 key = server.keyOf(QStringLiteral("Meeting notes.txt"));
        const QString copy = home.path() + QLatin1String("/leftover/Meeting notes.txt");
        QVERIFY(QDir().mkpath(QFileInfo(copy).absolutePath()));
        const QByteArray work = "work from the last run\n";
        writeAll(copy, work);
        QCOMPARE(logIn(server.port()).conn.MakeClient()->LockFile(key), 1);
        QVERIFY(CheckoutRecord(GetConfigFolder()).writeEdit(key, copy, QDateTime::currentDateTime().addSecs(-3600)));
        prompter.answer = true;
        TClientConfigX config;
        auto w = loggedInClient(config);
        QTRY_VERIFY_WITH_TIMEOUT(!prompter.asked.filter(QDir::toNativeSeparators(copy)).isEmpty(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(server.currentBody(key), work, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!server.locked(key), 10000);
        QTRY_COMPARE(CheckoutRecord(GetConfigFolder()).read(key), QString());
        QTRY_VERIFY(!QFileInfo::exists(copy));
    }

    void command26EditsUnderTheMonitor()
    {
        const QString fifo = home.path() + QLatin1String("/app.fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        qputenv("STANDIN_FIFO", QFile::encodeName(fifo));
        EditorLauncher::SetEditorOverride(binPath("zudivuvo-standin-editor"), {});

        TClientConfigX config;
        auto owned = loggedInClient(config);
        TARVOClientFrm &w = *owned;
        TEditMonitor &monitor = w.Editing()->Monitor()->Monitor();
        monitor.SettleMs = 0;
        monitor.SetInterval(100);
        QSignalSpy ended(&monitor, &TEditMonitor::editEnded);

        const qint64 key = server.keyOf(QStringLiteral("Todo.txt"));
        w.WebModule().Queue().Add(TWebCmd{26, QStringLiteral("[filekey]%1[/filekey][filename]Todo.txt[/filename]").arg(key)});
        QTRY_COMPARE_WITH_TIMEOUT(monitor.FileList().size(), 1, 20000);
        QVERIFY(w.Editing()->Monitor()->isVisible());

        // Exit and log-out ask while the edit is open; "No" keeps everything.
        prompter.answer = false;
        w.LogOutAndExit();
        QCOMPARE(prompter.asked.size(), 1);
        QVERIFY(prompter.asked.first().contains(QFileInfo(monitor.FileList().first().PathAndFile).fileName()));
        QVERIFY(w.Session().FIsLogin);
        QVERIFY(!w.BClose);

        QTRY_VERIFY_WITH_TIMEOUT(monitor.FileList().first().SignSeen, 10000);
        QFile pipe(fifo);
        QVERIFY(pipe.open(QIODevice::WriteOnly));
        pipe.write("change:written by the stand-in\r\n");
        pipe.close();
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QCOMPARE(server.currentBody(key), QByteArray("written by the stand-in\r\n"));
        QCOMPARE(w.Editing()->Monitor()->Notice()->Text(), monitor.Texts().WLS_UpdateOk);
    }
};

// The office editor with a real LibreOffice: the document stays open in it,
// "Save and upload" waits until LibreOffice lets go, then the saved file goes up.
class OfficeEditTest : public QObject
{
    Q_OBJECT
    TestHome home;
    AnsweringPrompter prompter;

private Q_SLOTS:
    void initTestCase() { TPrompter::SetInstance(&prompter); }
    void cleanupTestCase()
    {
        TPrompter::SetInstance(nullptr);
        EditorLauncher::SetEditorOverride({}, {});
    }

    void documentEditedInLibreOfficeBecomesANewVersion()
    {
        const QString soffice = TOfficeConverter::FindSoffice();
        if (soffice.isEmpty())
            QSKIP("LibreOffice is not installed, so the office editing road cannot run here.");
        RefServer server;
        const TServerConn conn = logIn(server.port()).conn;
        const qint64 key = server.keyOf(QStringLiteral("Supply agreement.docx"));
        const QByteArray before = server.currentBody(key);
        // Headless, with a profile of its own, as a user's LibreOffice would hold the document.
        const QString profile = QUrl::fromLocalFile(home.path() + QLatin1String("/lo-profile")).toString();
        EditorLauncher::SetEditorOverride(soffice, {QStringLiteral("--headless"), QStringLiteral("--norestore"),
                                                    QStringLiteral("-env:UserInstallation=") + profile});

        QPointer<TOfficeFileEditFrm> frm = new TOfficeFileEditFrm(conn, GetConfigFolder());
        frm->SetToolbarVisible(true);
        frm->show();
        QSignalSpy ready(frm.data(), &TFileEditBaseFrm::editReady);
        frm->Edit(QStringLiteral("Supply agreement.docx"), QStringLiteral("docx"), key);
        QVERIFY(ready.wait(20000));
        QVERIFY(ready.first().at(0).toBool());
        const QString copy = frm->FEditFileName;
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(FileInUse::OfficeLockName(copy)), 60000);

        // While LibreOffice holds it, nothing is uploaded.
        QTest::mouseClick(frm->spbSave, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(prompter.shown.size(), 1, 10000);
        QVERIFY(prompter.shown.first().contains(QLatin1String("still open")));
        QCOMPARE(server.currentBody(key), before);

        // A conversion run rewrites the document, which the editor then saves over its copy.
        const TConversionResult converted = TOfficeConverter(soffice).Convert(
            copy, home.path() + QLatin1String("/converted"), home.path() + QLatin1String("/lo-work"), QStringLiteral("docx"));
        QVERIFY2(converted.Ok, qPrintable(converted.Error));
        QFile result(converted.OutputPath);
        QVERIFY(result.open(QIODevice::ReadOnly));
        const QByteArray saved = result.readAll();
        QVERIFY(saved != before);
        QVERIFY(WriteFileAtomic(copy, saved));

        // The user closes LibreOffice: its process with our profile ends.
        for (const FileInUse::ProcessInfo &p : FileInUse::UserProcesses())
            if (p.Name == QLatin1String("soffice.bin") && p.Args.join(u' ').contains(profile))
                ::kill(pid_t(p.Pid), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(!frm->IsOfficeOpen(), 30000);

        prompter.shown.clear();
        QTest::mouseClick(frm->spbSave, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(frm.isNull(), 30000);
        QCOMPARE(prompter.shown, QStringList{QStringLiteral("Modified successfully!")});
        QCOMPARE(server.currentBody(key), saved);
        QVERIFY(!QFileInfo::exists(copy));
        QVERIFY(!server.locked(key));
    }
};

// "Save and upload" in the office editor looks for the office program on a worker,
// so the window keeps answering; a window closed meanwhile never hears the answer.
class OfficeSaveTest : public QObject
{
    Q_OBJECT
    TestHome home;
    AnsweringPrompter prompter;

private Q_SLOTS:
    void initTestCase() { TPrompter::SetInstance(&prompter); }
    void cleanupTestCase()
    {
        TPrompter::SetInstance(nullptr);
        EditorLauncher::SetEditorOverride({}, {});
    }
    void init() { prompter.shown.clear(); }

    void saveChecksOnAWorker_data()
    {
        QTest::addColumn<bool>("closeFirst");
        QTest::addRow("window stays: the copy goes up") << false;
        QTest::addRow("window closed during the check: nothing goes up") << true;
    }
    void saveChecksOnAWorker()
    {
        QFETCH(bool, closeFirst);
        if (EditorLauncher::OfficeProgram(QStringLiteral("docx")).isEmpty())
            QSKIP("No office suite is installed, so the office editor refuses to start here.");
        RefServer server;
        const TServerConn conn = logIn(server.port()).conn;
        const qint64 key = server.keyOf(QStringLiteral("Supply agreement.docx"));
        const int versions = server.versionCount(key);
        // "true" stands in for the office program: it lets go of the copy at once.
        EditorLauncher::SetEditorOverride(QStringLiteral("true"), {});
        QPointer<TOfficeFileEditFrm> frm = new TOfficeFileEditFrm(conn, GetConfigFolder());
        frm->SetToolbarVisible(true);
        frm->show();
        QSignalSpy ready(frm.data(), &TFileEditBaseFrm::editReady);
        frm->Edit(QStringLiteral("Supply agreement.docx"), QStringLiteral("docx"), key);
        QVERIFY(ready.wait(20000));
        QVERIFY(ready.first().at(0).toBool());
        frm->Timer1->stop();
        QTRY_VERIFY(!FileInUse::IsProcessAlive(frm->EditorPid()));
        writeAll(frm->FEditFileName, "PK\x03\x04 saved by the office program");

        // The process scan is held until the test lets it go.
        struct Gate {
            QSemaphore entered, go;
            QAtomicPointer<QThread> thread;
        };
        auto gate = std::make_shared<Gate>();
        frm->ProcessSource = [gate] {
            gate->thread.storeRelease(QThread::currentThread());
            gate->entered.release();
            gate->go.tryAcquire(1, 10000);
            return QList<FileInUse::ProcessInfo>{};
        };
        QTest::mouseClick(frm->spbSave, Qt::LeftButton);
        QVERIFY(gate->entered.tryAcquire(1, 10000));
        QVERIFY(gate->thread.loadAcquire() != QThread::currentThread());
        QVERIFY(frm->IsBusy());

        if (closeFirst) {
            delete frm.data();
            gate->go.release();
            QTRY_COMPARE(RequestPool()->activeThreadCount(), 0);
            QCoreApplication::processEvents();
            QCOMPARE(server.versionCount(key), versions);
            QVERIFY(prompter.shown.isEmpty());
            return;
        }
        gate->go.release();
        QTRY_VERIFY2_WITH_TIMEOUT(frm.isNull(), qPrintable(prompter.shown.join(u'|')), 20000);
        QCOMPARE(prompter.shown, QStringList{QStringLiteral("Modified successfully!")});
        QCOMPARE(server.versionCount(key), versions + 1);
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return runTests<TextCodecTest, LauncherTest, RescueCopyTest, EditRuleTest, MonitorTest, TextEditorTest, AppEditTest, OfficeEditTest,
                    OfficeSaveTest>(argc, argv);
}

#include "tst_edit.moc"
