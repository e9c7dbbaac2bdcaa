// zudivuvo-cli as a process, and the desktop client's task service beside it
// on one configuration folder: what one of them stores stays true after the
// other saves, an interrupted run is finished by the next "task run --all",
// a stale saved login is said as such, failed runs are never "done".
#include "batch/taskservice.h"
#include "core/clientconfigx.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "batchlogin.h"
#include "refserver.h"
#include "testenv.h"
#include "testfiles.h"
#include "testprocess.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

TBatchTransport uploadTask(const QString &source, int owner, const QString &dest)
{
    TBatchTransport t;
    NewBatchTransport(t);
    t.TranStyle = TS_Upload;
    t.FF = FF_Folder;
    t.SourceFolderName = IncludeTrailingSlash(source);
    t.DestOwnerId = owner;
    t.DestFolderId = 0;
    t.DestFolderName = dest + u'\\';
    t.IncludeRootPath = true;
    t.TaskCyc = -1;
    t.St = BTS_Init;
    return t;
}

// A task stored straight into the user's btr.sys, as another program would.
qint32 storeTask(TBatchTransport t, qint32 id)
{
    t.Id = id;
    TBatchTranConfig config;
    config.AddTask(t);
    if (!config.Save())
        return 0;
    return t.Id;
}

quint8 storedState(qint32 id)
{
    TBatchTranConfig config;
    TBatchTransport t;
    return config.GetTask(id, t) ? t.St : quint8(0xFF);
}

bool stored(qint32 id)
{
    TBatchTranConfig config;
    return config.HasTask(id);
}

} // namespace

class TstCli : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestHome> m_home;

private Q_SLOTS:
    // Every test starts with an empty configuration folder of its own.
    void init() { m_home = std::make_unique<TestHome>(); }
    void cleanup() { m_home.reset(); }

    // The desktop client's service and the terminal work on one btr.sys: what
    // each of them stored is still there after the other saved and ended.
    void windowAndTerminalKeepEachOthersChanges()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), {}, &owner);
        const QString src = m_home->path() + "/src";
        writeFile(src + "/One/one.txt", "one");
        writeFile(src + "/Two/two.txt", "two");
        writeFile(src + "/Three/three.txt", "three");
        writeFile(src + "/Four/four.txt", "four");
        // Paused in the window, resumed by the terminal; paused by the window; deleted by the terminal.
        TBatchTransport one = uploadTask(src + "/One", owner, "One");
        one.St = BTS_Paused;
        QCOMPARE(storeTask(one, 11), 11);
        TBatchTransport periodic = uploadTask(src + "/Two", owner, "Two");
        periodic.TaskCyc = 24;
        periodic.TaskStartTime = 0.99999;   // due only at the end of the day
        periodic.St = BTS_Waiting;
        QCOMPARE(storeTask(periodic, 12), 12);
        TBatchTransport doomed = uploadTask(src + "/Three", owner, "Three");
        doomed.St = BTS_Completed;
        QCOMPARE(storeTask(doomed, 13), 13);
        TBatchTransport byTerminal = uploadTask(src + "/Four", owner, "Four");
        byTerminal.St = BTS_Paused;
        QCOMPARE(storeTask(byTerminal, 14), 14);
        QCOMPARE(runCli({"--server", server.address(), "--user", "demo", "login"}).code, 0);

        auto window = std::make_unique<TTaskService>();
        window->WorkerEndPauseMs = 0;
        window->SetSettings(settings);
        QVERIFY(window->StartAllTasks());
        QVERIFY(window->HasWorker(11));
        QVERIFY(window->Pause(12));

        // The terminal adds a task: the window shows it and runs it to the end.
        const ProgramRun added = runCli({"task", "add", "--upload", "--source", src + "/Three", "--dest", "Added", "--owner",
                                  QString::number(owner)});
        QVERIFY2(added.code == 0, qPrintable(added.failText()));
        const qint32 addedId = added.out.trimmed().toInt();
        QVERIFY(addedId != 0);
        QTRY_VERIFY_WITH_TIMEOUT(window->HasWorker(addedId) || storedState(addedId) == BTS_Completed, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(storedState(addedId), quint8(BTS_Completed), 30000);

        // The terminal resumes, deletes and runs; the window follows.
        ProgramRun r = runCli({"task", "resume", "11"});
        QVERIFY2(r.code == 0, qPrintable(r.failText()));
        QTRY_COMPARE_WITH_TIMEOUT(storedState(11), quint8(BTS_Completed), 30000);
        QVERIFY(server.fileAt(owner, "One/one.txt").has_value());
        r = runCli({"task", "delete", "13"});
        QVERIFY2(r.code == 0, qPrintable(r.failText()));
        r = runCli({"task", "run", "14"});
        QVERIFY2(r.code == 0, qPrintable(r.failText()));
        QCOMPARE(storedState(14), quint8(BTS_Completed));
        QTRY_VERIFY_WITH_TIMEOUT(!window->HasWorker(14), 5000);
        TBatchTransport shown;
        QTRY_VERIFY_WITH_TIMEOUT(window->Task(14, shown) && shown.St == BTS_Completed, 5000);
        QVERIFY(!window->Task(13, shown));

        // The window saves again (a task of its own) and ends.
        TBatchTransport own = uploadTask(src + "/One", owner, "Own");
        own.St = BTS_Paused;
        own.Id = 15;
        QVERIFY(window->AppendTask(own));
        window.reset();

        QCOMPARE(storedState(11), quint8(BTS_Completed));
        QCOMPARE(storedState(12), quint8(BTS_Paused));
        QVERIFY(!stored(13));
        QCOMPARE(storedState(14), quint8(BTS_Completed));
        QCOMPARE(storedState(15), quint8(BTS_Paused));
        QCOMPARE(storedState(addedId), quint8(BTS_Completed));
        QCOMPARE(server.versions(owner, "Four/four.txt"), 1);

        // And the other way round: the terminal saves and ends, the window's pause stays.
        r = runCli({"task", "pause", QString::number(addedId)});
        QVERIFY2(r.code == 0, qPrintable(r.failText()));
        QCOMPARE(storedState(12), quint8(BTS_Paused));
        QCOMPARE(storedState(15), quint8(BTS_Paused));
        const ProgramRun list = runCli({"task", "list"});
        QVERIFY(list.out.contains(QString::number(addedId)) && !list.out.contains(QStringLiteral("        13 ")));
    }

    // Ctrl+C or SIGTERM stops a run without storing a state; "task run --all"
    // then finishes it, and a finished one-off task is not run again.
    void interruptedRunIsFinishedByRunAll_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addRow("Ctrl+C") << int(SIGINT);
        QTest::addRow("stopped by the system") << int(SIGTERM);
    }
    void interruptedRunIsFinishedByRunAll()
    {
        QFETCH(int, signal);
        RefServer server(RefServer::Setup::serverTimeouts());
        int owner = 0;
        batchLogin(server.port(), {}, &owner);
        const QString root = m_home->path() + "/Stop";
        for (int i = 0; i < 80; ++i)
            writeFile(root + QStringLiteral("/f%1.bin").arg(i), QByteArray(300000, char('A' + i % 26)));
        QCOMPARE(storeTask(uploadTask(root, owner, "Stop"), 21), 21);
        QCOMPARE(runCli({"--server", server.address(), "--user", "demo", "login"}).code, 0);

        QProcess p;
        p.start(binPath("zudivuvo-cli"), {"task", "run", "21"});
        QVERIFY(p.waitForStarted());
        QCOMPARE(countLines(p, "Start Transmission", 5, 60000), 5);
        ::kill(pid_t(p.processId()), signal);
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 130);
        // Stored as it was before the run: not paused, not done.
        QCOMPARE(storedState(21), quint8(BTS_Init));
        int arrived = 0;
        for (int i = 0; i < 80; ++i)
            arrived += server.fileAt(owner, QStringLiteral("Stop/f%1.bin").arg(i)).has_value() ? 1 : 0;
        QVERIFY2(arrived < 80, "the run was not interrupted");

        ProgramRun r = runCli({"task", "run", "--all"}, 120000);
        QVERIFY2(r.code == 0, qPrintable(r.failText()));
        for (int i = 0; i < 80; ++i) {
            const QString path = QStringLiteral("Stop/f%1.bin").arg(i);
            QCOMPARE(server.fileAt(owner, path).value_or("-"), QByteArray(300000, char('A' + i % 26)));
            QCOMPARE(server.versions(owner, path), 1);
        }
        QCOMPARE(storedState(21), quint8(BTS_Completed));

        r = runCli({"task", "run", "--all"});
        QVERIFY2(r.code == 0 && r.out.contains("No unfinished task"), qPrintable(r.failText()));
    }

    // Ctrl+C ends every command while it waits for a silent server, the login
    // step included, with the exit status of an interruption.
    void ctrlCEndsEveryCommand_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addRow("login") << QStringList{"login"};
        QTest::addRow("ls") << QStringList{"ls", "5"};
        QTest::addRow("get") << QStringList{"get", "1", "HOME/x.txt"};
        QTest::addRow("put") << QStringList{"put", "HOME/put.txt", "5:1"};
        QTest::addRow("task run") << QStringList{"task", "run", "81"};
    }
    void ctrlCEndsEveryCommand()
    {
        QFETCH(QStringList, args);
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        writeFile(m_home->path() + "/put.txt", "put");
        QCOMPARE(storeTask(uploadTask(m_home->path(), 5, "X"), 81), 81);
        for (QString &a : args)
            a.replace("HOME", m_home->path());
        QProcess p;
        p.setProcessEnvironment(cliEnvironment());
        p.start(binPath("zudivuvo-cli"), QStringList{"--server", QStringLiteral("127.0.0.1#%1#0").arg(silent.serverPort()), "--user", "demo"} + args);
        QVERIFY(p.waitForStarted());
        // The login request has reached the silent server: the command waits for its answer.
        QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 10000);
        QElapsedTimer timer;
        timer.start();
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(10000));
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 130);
        QCOMPARE(storedState(81), quint8(BTS_Init));
    }

    // A saved login the server no longer takes is reported by every command, in
    // the language asked for, with a non-zero exit.
    void staleSavedLoginIsSaid_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        QTest::addRow("login") << QStringList{"login"} << "no longer valid";
        QTest::addRow("ls") << QStringList{"ls", "OWNER"} << "no longer valid";
        QTest::addRow("owners") << QStringList{"owners"} << "no longer valid";
        QTest::addRow("get") << QStringList{"get", "1", "HOME/x.txt"} << "no longer valid";
        QTest::addRow("put") << QStringList{"put", "HOME/put.txt", "OWNER:0"} << "no longer valid";
        QTest::addRow("task run") << QStringList{"task", "run", "31"} << "no longer valid";
        QTest::addRow("in Chinese") << QStringList{"--lang", "2", "login"} << "已失效";
    }
    void staleSavedLoginIsSaid()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        RefServer server(RefServer::Setup::serverTimeouts());
        int owner = 0;
        batchLogin(server.port(), {}, &owner);
        QCOMPARE(runCli({"--server", server.address(), "--user", "demo", "login"}).code, 0);
        writeFile(m_home->path() + "/put.txt", "put");
        QCOMPARE(storeTask(uploadTask(m_home->path(), owner, "Stale"), 31), 31);
        {
            TClientConfigX config;
            config.SetEncryptId(QStringLiteral("0123456789abcdef"));
            QVERIFY(config.Save());
        }
        for (QString &a : args)
            a.replace("OWNER", QString::number(owner)).replace("HOME", m_home->path());
        const ProgramRun r = runCli(args);
        QVERIFY2(r.code == 1 && r.err.contains(said), qPrintable(r.failText()));
        QVERIFY2(!r.out.contains("Logged in") && !r.err.contains("No access"), qPrintable(r.failText()));
        QCOMPARE(storedState(31), quint8(BTS_Init));
    }

    // Files that failed make the run a failure everywhere: exit 1 with the
    // summary on stderr, "error" in the list, not done in the status, with the
    // last run's counts, and the run is taken again by --all.
    void runWithFailedFilesIsNeverDone()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        int owner = 0;
        batchLogin(server.port(), {}, &owner);
        QCOMPARE(runCli({"--server", server.address(), "--user", "demo", "login"}).code, 0);
        TBatchTransport t = uploadTask(m_home->path() + "/gone.doc", owner, "Gone");
        t.FF = FF_File;
        t.SourceFolderName = m_home->path() + "/gone.doc";
        t.DestFolderId = server.folderId(owner, "Personal");
        QCOMPARE(storeTask(t, 41), 41);

        ProgramRun r = runCli({"--json", "task", "run", "41"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("Failed: ") && r.err.contains("gone.doc"), qPrintable(r.failText()));
        const QJsonArray results = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QCOMPARE(results.size(), 1);
        QVERIFY(results.at(0).toObject().value("failedFiles").toInt() >= 1);

        r = runCli({"task", "list"});
        QVERIFY2(r.out.contains("error") && !r.out.contains("done"), qPrintable(r.failText()));
        r = runCli({"task", "status", "41", "--json"});
        const QJsonObject status = QJsonDocument::fromJson(r.out.toUtf8()).object();
        QCOMPARE(status.value("done").toBool(), false);
        QVERIFY(status.value("failedFiles").toInt() >= 1);
        QCOMPARE(status.value("transferredFiles").toInt(), 0);
        QCOMPARE(status.value("state").toInt(), int(BTS_Error));

        // Once the file is there, the next run of everything takes the task again and it is done.
        writeFile(m_home->path() + "/gone.doc", "here now");
        r = runCli({"task", "run", "--all"});
        QVERIFY2(r.code == 0, qPrintable(r.failText()));
        r = runCli({"task", "status", "41", "--json"});
        QCOMPARE(QJsonDocument::fromJson(r.out.toUtf8()).object().value("done").toBool(), true);
        QCOMPARE(QJsonDocument::fromJson(r.out.toUtf8()).object().value("transferredFiles").toInt(), 1);
    }

    // Messages follow --lang; without it the terminal speaks English, whatever
    // language the desktop client last used.
    void messagesFollowTheLanguageAsked_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        QTest::addRow("desktop in Chinese, no --lang") << QStringList{"task", "status", "91"} << TaskStateText(BTS_Init, HSL_ENG);
        QTest::addRow("--lang 2") << QStringList{"--lang", "2", "task", "status", "91"} << TaskStateText(BTS_Init, HSL_CN);
        QTest::addRow("--lang 2, nothing to run") << QStringList{"--lang", "2", "task", "run", "--all"} << "没有未完成的任务";
        QTest::addRow("--lang 1, nothing to run") << QStringList{"--lang", "1", "task", "run", "--all"} << "No unfinished task";
    }
    void messagesFollowTheLanguageAsked()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        {
            TClientConfigX config;
            config.SetLanguage(HSL_CN);
            QVERIFY(config.Save());
        }
        TBatchTransport t = uploadTask(m_home->path(), 5, "X");
        if (args.contains("--all"))
            t.St = BTS_Completed;
        QCOMPARE(storeTask(t, 91), 91);
        const ProgramRun r = runCli(args);
        QVERIFY2(r.code == 0 && r.out.contains(said), qPrintable(r.failText()));
    }

    // The help and the complaints about a command line speak the language asked too.
    void usageFollowsTheLanguageAsked_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("said");
        QTest::addRow("help") << QStringList{"--help"} << 0 << "Usage: zudivuvo-cli";
        QTest::addRow("help, --lang 2") << QStringList{"--lang", "2", "--help"} << 0 << "用法：zudivuvo-cli";
        QTest::addRow("--lang 2 after the command") << QStringList{"ls", "--lang", "2"} << 2 << "ls 需要 OWNER[:FOLDERID]";
        QTest::addRow("bad period, --lang 2")
            << QStringList{"--lang", "2", "task", "add", "--upload", "--source", QDir::tempPath(), "--dest", "b", "--owner", "1", "--period", "0"}
            << 2 << "--period 是分钟数";
        QTest::addRow("bad period") << QStringList{"task", "add", "--upload", "--source", QDir::tempPath(), "--dest", "b", "--owner", "1", "--period", "0"}
                                    << 2 << "--period is a number of minutes";
    }
    void usageFollowsTheLanguageAsked()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, said);
        const ProgramRun r = runCli(args);
        QVERIFY2(r.code == code && QString(r.out + r.err).contains(said), qPrintable(r.failText()));
    }

    // "task status" only reads: the index of an interrupted run is left byte for byte.
    void statusLeavesTheIndexAlone()
    {
        QCOMPARE(storeTask(uploadTask(m_home->path(), 5, "X"), 51), 51);
        QDir().mkpath(BatchIndexFolder());
        // A torn last line, as a crash leaves it: a loader would cut it.
        const QByteArray torn("torn index line without its end");
        writeFile(BatchIndexFolder() + "51.fln", torn);
        writeFile(BatchIndexFolder() + "51.std", torn);
        const QByteArray btr = readFile(GetTempFolder() + "btr.sys");
        const ProgramRun r = runCli({"task", "status", "51", "--json"});
        QVERIFY2(r.code == 0, qPrintable(r.failText()));
        QCOMPARE(readFile(BatchIndexFolder() + "51.fln"), torn);
        QCOMPARE(readFile(BatchIndexFolder() + "51.std"), torn);
        QCOMPARE(readFile(GetTempFolder() + "btr.sys"), btr);
    }

    // A download task keeps the server's layout: the folder is named by its id
    // and its path is kept in the form the server's list uses.
    void downloadTaskAdd_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("source");
        QTest::addRow("slash path") << QStringList{"--source", "Projects/2024", "--folder-id", "7"} << 0 << "2024\\";
        QTest::addRow("backslash path") << QStringList{"--source", "Projects\\2024\\", "--folder-id", "7"} << 0 << "2024\\";
        QTest::addRow("without the folder id") << QStringList{"--source", "Projects/2024"} << 2 << "";
    }
    void downloadTaskAdd()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, source);
        const ProgramRun r = runCli(QStringList{"task", "add", "--download", "--owner", "5", "--dest", m_home->path() + "/in"} + args);
        QVERIFY2(r.code == code, qPrintable(r.failText()));
        if (code != 0)
            return;
        TBatchTranConfig config;
        TBatchTransport t;
        QVERIFY(config.GetTask(r.out.trimmed().toInt(), t));
        QCOMPARE(t.SourceFolderName, source);
        QCOMPARE(t.SourceFolderId, qint64(7));
        QCOMPARE(t.DestFolderName, m_home->path() + "/in/");
    }

    // File commands: a folder that is not there is an error unless asked for,
    // content the server holds already is said so, and the owners are listed.
    void fileCommands()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        int owner = 0;
        batchLogin(server.port(), {}, &owner);
        QCOMPARE(runCli({"--server", server.address(), "--user", "demo", "login"}).code, 0);
        const qint64 todo = server.fileKey(owner, "Personal", "Todo.txt");
        QVERIFY(todo > 0);
        const QString missing = m_home->path() + "/no/such/folder/todo.txt";
        ProgramRun r = runCli({"get", QString::number(todo), missing});
        QVERIFY2(r.code == 1 && r.err.contains("does not exist"), qPrintable(r.failText()));
        QVERIFY(!QFileInfo::exists(m_home->path() + "/no"));
        r = runCli({"get", QString::number(todo), missing, "--parents"});
        QVERIFY2(r.code == 0 && QFileInfo(missing).size() > 0, qPrintable(r.failText()));

        writeFile(m_home->path() + "/same.txt", "same content");
        const QString personal = QStringLiteral("%1:%2").arg(owner).arg(server.folderId(owner, "Personal"));
        r = runCli({"put", m_home->path() + "/same.txt", personal});
        QVERIFY2(r.code == 0 && !r.out.contains("already"), qPrintable(r.failText()));
        r = runCli({"put", m_home->path() + "/same.txt", personal});
        QVERIFY2(r.code == 0 && r.out.contains("already on the server"), qPrintable(r.failText()));

        r = runCli({"--json", "owners"});
        QVERIFY2(r.code == 0, qPrintable(r.failText()));
        const QJsonArray owners = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QStringList names;
        for (const QJsonValue &v : owners)
            names << v.toObject().value("kind").toString() + u':' + v.toObject().value("name").toString();
        QVERIFY2(names.contains(QStringLiteral("user:Demo User")), qPrintable(names.join(u',')));
        QVERIFY2(names.size() >= 3, qPrintable(names.join(u',')));
        QCOMPARE(owners.at(0).toObject().value("id").toInt(), owner);
    }

    // A file the user ticks again after leaving it out is uploaded at the next
    // run, although the index a periodic task keeps had marked it excluded.
    void fileTickedAgainIsUploaded()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), {}, &owner);
        const QString root = m_home->path() + "/Tick";
        writeFile(root + "/keep.txt", "keep");
        writeFile(root + "/skip.txt", "skip");
        TBatchTransport t = uploadTask(root, owner, "Tick");
        t.TaskCyc = 24;
        t.TaskStartTime = 0.99999;
        t.St = BTS_Waiting;
        QCOMPARE(storeTask(t, 71), 71);
        qint64 size = 0;
        TDateTime modified = 0;
        QVERIFY(LocalFileStat(root + "/skip.txt", size, modified));
        QVERIFY(WriteTaskExclusions(BatchIndexFolder(), 71, {TFileIndex::UploadKey(root + "/skip.txt", size, modified)}));

        TTaskService service;
        service.SetSettings(settings);
        int runs = 0;
        connect(&service, &TTaskService::runFinished, this, [&](int, const TRunResult &) { ++runs; });
        service.RunNow({71});
        QTRY_COMPARE_WITH_TIMEOUT(runs, 1, 30000);
        QTRY_VERIFY(!service.HasWorker(71));
        QVERIFY(server.fileAt(owner, "Tick/keep.txt").has_value());
        QVERIFY(!server.fileAt(owner, "Tick/skip.txt").has_value());

        QVERIFY(WriteTaskExclusions(BatchIndexFolder(), 71, {}));
        service.RunNow({71});
        QTRY_COMPARE_WITH_TIMEOUT(runs, 2, 30000);
        QCOMPARE(server.fileAt(owner, "Tick/skip.txt").value_or("-"), QByteArray("skip"));
        QCOMPARE(server.versions(owner, "Tick/keep.txt"), 1);
    }

    // The window and the terminal on one task: the window's worker finds the
    // terminal's run, leaves the task's files alone while it runs, and starts
    // the task itself once the terminal has let go.
    void windowWaitsForTheTerminalsRun()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), {}, &owner);
        const QString root = m_home->path() + "/Shared";
        for (int i = 0; i < 80; ++i)
            writeFile(root + QStringLiteral("/f%1.bin").arg(i), QByteArray(300000, char('a' + i % 26)));
        QCOMPARE(storeTask(uploadTask(root, owner, "Shared"), 61), 61);
        QCOMPARE(runCli({"--server", server.address(), "--user", "demo", "login"}).code, 0);

        QProcess terminal;
        terminal.start(binPath("zudivuvo-cli"), {"task", "run", "61"});
        QVERIFY(terminal.waitForStarted());
        QCOMPARE(countLines(terminal, "Start Transmission", 3, 60000), 3);

        TTaskService window;
        window.WorkerEndPauseMs = 0;
        window.SetSettings(settings);
        QVERIFY(window.StartAllTasks());
        TBatchTaskRow row;
        QTRY_VERIFY_WITH_TIMEOUT(window.Row(61, row) && !row.HasWorker && row.LastLog.contains("zudivuvo-cli"), 10000);
        // The index belongs to the terminal's run.
        QVERIFY(!window.Restart(61));
        QVERIFY(!window.Remove(61));
        QVERIFY(QFileInfo::exists(BatchIndexFolder() + "61.fln"));
        QVERIFY(stored(61));

        ::kill(pid_t(terminal.processId()), SIGINT);
        QVERIFY(terminal.waitForFinished(20000));
        QCOMPARE(terminal.exitCode(), 130);
        QTRY_COMPARE_WITH_TIMEOUT(storedState(61), quint8(BTS_Completed), 60000);
        for (int i = 0; i < 80; ++i) {
            const QString path = QStringLiteral("Shared/f%1.bin").arg(i);
            QCOMPARE(server.fileAt(owner, path).value_or("-"), QByteArray(300000, char('a' + i % 26)));
            QCOMPARE(server.versions(owner, path), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
