// Batch tasks: the task text and store, the local file index, the path and
// time rules, and the worker against the reference server.
#include "batch/bathfiledeal.h"
#include "batch/batchtranconfig.h"
#include "batch/batchtransport.h"
#include "batch/fileindex.h"
#include "core/fileext.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/safepath.h"
#include "core/textfile.h"
#include "batchlogin.h"
#include "fakeserver.h"
#include "refserver.h"
#include "testenv.h"
#include "testprocess.h"

#include "store.h"

#include <QDeadlineTimer>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QProcess>

#include <QScopeGuard>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

QByteArray le(const QString &s)
{
    return QStringEncoder(QStringEncoder::Utf16LE).encode(s);
}

QString fromLe(const QByteArray &b)
{
    return QStringDecoder(QStringDecoder::Utf16LE).decode(b);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void setMTime(const QString &path, const QDateTime &t)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.setFileTime(t, QFileDevice::FileModificationTime));
}

TDateTime at(int y, int mo, int d, int h, int mi, int s = 0)
{
    return QDateTimeToDateTime(QDateTime(QDate(y, mo, d), QTime(h, mi, s)));
}

TBatchTransport uploadTask(qint32 id, const QString &source, int owner)
{
    TBatchTransport t;
    NewBatchTransport(t);
    t.Id = id;
    t.TranStyle = TS_Upload;
    t.FF = FF_Folder;
    t.SourceFolderName = source;
    t.DestOwnerId = owner;
    t.DestFolderId = 0;
    t.DestFolderName = QStringLiteral("tree\\");
    t.IncludeRootPath = true;
    return t;
}

// The reference server, a folder for the task's files and its index, and the
// demo user's session: what a worker test against the server starts from.
struct ServerRun {
    RefServer server;
    QTemporaryDir dir;
    int owner = 0;
    TBatchSettings settings = batchLogin(server.port(), dir.path() + "/index", &owner);
};

// A worker's settings for a fake server, which takes any session code.
TBatchSettings fakeSettings(quint16 port, const QString &dir)
{
    TBatchSettings settings;
    settings.Conn.Host = "127.0.0.1";
    settings.Conn.Port = port;
    settings.Conn.EncryptId = "E1";
    settings.Conn.Language = HSL_ENG;
    settings.IndexFolder = dir + "/index";
    settings.ConfigFolder = dir;
    return settings;
}

TBatchTransport downloadTask(qint32 id, const QString &dest)
{
    TBatchTransport task;
    NewBatchTransport(task);
    task.Id = id;
    task.TranStyle = TS_Download;
    task.SourceOwnerId = 3;
    task.SourceFolderId = 1;
    task.SourceFolderName = "Box\\";
    task.DestFolderName = dest;
    return task;
}

// Records a worker's signals on the test's thread: a QSignalSpy would append
// from the worker's thread while the test reads.
class Recorder : public QObject
{
public:
    explicit Recorder(TCustomBathFileDeal *w)
    {
        connect(w, &TCustomBathFileDeal::runEnded, this, [this] { ++ended; }, Qt::QueuedConnection);
        connect(w, &TCustomBathFileDeal::stateChanged, this, [this](int, int st) { states << st; }, Qt::QueuedConnection);
        connect(w, &TCustomBathFileDeal::taskLocked, this, [this](int, const QString &h) { holder = h; }, Qt::QueuedConnection);
    }
    // Processes events until cond holds or ms have passed.
    static bool waitFor(const std::function<bool()> &cond, int ms)
    {
        QDeadlineTimer deadline(ms);
        while (!cond()) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(10);
        }
        return true;
    }
    int ended = 0;
    QList<int> states;
    QString holder;
};

// Runs a worker until its run ends; the worker's own failures are continued as a
// task manager would while they stay below three.
struct RunResult {
    bool ended = false;
    TBatchTransport task;
    QString log;
    QString errors;
    int failedSignals = 0;
    int transferred = 0;
};

RunResult runOnce(const TBatchTransport &task, const TBatchSettings &settings, std::function<TDateTime()> clock = {})
{
    RunResult r;
    TCustomBathFileDeal worker(task, settings);
    worker.FEndPauseMs = 0;
    worker.FPollMs = 10;
    if (clock)
        worker.FNow = clock;
    QObject::connect(&worker, &TCustomBathFileDeal::fileFailed, &worker, [&](int, int) {
        ++r.failedSignals;
        worker.StartEx();
    });
    QObject::connect(&worker, &TCustomBathFileDeal::startDealFile, &worker, [&](int, const QString &) { ++r.transferred; });
    Recorder rec(&worker);
    worker.StartEx();
    r.ended = Recorder::waitFor([&] { return rec.ended > 0; }, 60000);
    r.task = worker.TaskInfo();
    r.log = worker.GetLogText();
    r.errors = worker.GetErrorLog();
    worker.StopEx();
    worker.wait();
    return r;
}

// Another process that holds a lock file until it is destroyed.
class LockHolder
{
public:
    explicit LockHolder(const QString &lockFile)
    {
        m_process.start(QCoreApplication::applicationFilePath(), {"--hold-lock", lockFile});
        const QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning && !m_process.canReadLine())
            m_process.waitForReadyRead(200);
        m_ready = m_process.canReadLine() && m_process.readLine().startsWith("locked");
    }
    ~LockHolder()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool ready() const { return m_ready; }
    qint64 pid() const { return m_process.processId(); }
    QString error() const { return QString::fromLocal8Bit(const_cast<QProcess &>(m_process).readAllStandardError()); }

private:
    QProcess m_process;
    bool m_ready = false;
};

} // namespace

class TstBatch : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestHome> m_home;

private Q_SLOTS:
    void initTestCase()
    {
        m_home = std::make_unique<TestHome>();
    }

    // ---- Task text

    void taskText_exactLines()
    {
        TBatchTransport t;
        NewBatchTransport(t, QDateTime(QDate(2024, 12, 9), QTime(15, 47, 7)));
        QCOMPARE(TaskTimeStamp(QDateTime(QDate(2024, 12, 9), QTime(15, 47, 7))), QStringLiteral("2412091547077"));
        QCOMPARE(t.Id, qint32(NameHash32(QStringLiteral("2412091547077"))));
        t.Types = {qint32(ExtCode(QStringLiteral("doc"))), 42};
        t.TaskCyc = 1.5;
        const QStringList lines = BatchTransportToText(t).split(QStringLiteral("\r\n"));
        const QStringList tags{"Id", "St", "TranStyle", "FF", "DestOwnerId", "DestFolderId", "DFN", "SourceOwnerId",
                               "SourceFolderId", "SFN", "MinSize", "MaxSize", "FileStartDate", "FileEndDate",
                               "TaskStartTime", "TaskCyc", "MaxSize", "SubFolder", "RunStartTime", "RunEndTime"};
        for (int i = 0; i < tags.size(); ++i)
            QVERIFY2(lines.at(i).startsWith(u'[' + tags.at(i) + u']'), qPrintable(lines.at(i)));
        QCOMPARE(lines.at(14), QStringLiteral("[TaskStartTime]15:47:07[/TaskStartTime]"));
        QCOMPARE(lines.at(15), QStringLiteral("[TaskCyc]1.50[/TaskCyc]"));
        QCOMPARE(lines.at(17), QStringLiteral("[SubFolder]-1[/SubFolder]"));
        QCOMPARE(lines.at(20), QStringLiteral("[Dc_Types][Count]2[/Count][Ty0]%1[/Ty0]").arg(ExtCode(QStringLiteral("doc"))));
        QCOMPARE(lines.at(21), QStringLiteral("[Ty1]42[/Ty1]"));
        QCOMPARE(lines.at(22), QStringLiteral("[/Dc_Types]"));
        QCOMPARE(lines.at(23), QStringLiteral("[FilePrtParams][/FilePrtParams]"));
        QCOMPARE(lines.at(27), QStringLiteral("[ExtInfo][/ExtInfo]"));
        QCOMPARE(lines.size(), 29);  // the last CR LF leaves an empty tail

        t.Types.clear();
        QVERIFY(BatchTransportToText(t).contains(QStringLiteral("[Dc_Types][Count]0[/Count][/Dc_Types]\r\n")));
    }

    void taskText_roundTrip_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("ff");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("dest");
        QTest::addColumn<double>("cyc");
        QTest::addRow("upload folder") << 1 << 2 << "/home/ann/Docs/" << "Projects\\" << -1.0;
        QTest::addRow("upload one file") << 1 << 1 << "/home/ann/Docs/report.doc" << "Projects\\" << 2.0;
        QTest::addRow("download folder") << 2 << 2 << "Projects\\2024\\" << "/home/ann/in/" << 0.25;
        QTest::addRow("download one file") << 2 << 1 << "Projects\\plan.xls" << "/home/ann/in/" << -1.0;
    }
    void taskText_roundTrip()
    {
        QFETCH(int, style);
        QFETCH(int, ff);
        QFETCH(QString, source);
        QFETCH(QString, dest);
        QFETCH(double, cyc);
        TBatchTransport t;
        NewBatchTransport(t);
        t.TranStyle = TTranStyle(style);
        t.FF = quint8(ff);
        t.SourceFolderName = source;
        t.DestFolderName = dest;
        t.SourceOwnerId = 7;
        t.DestOwnerId = 8;
        t.DestFolderId = 5000000000LL;
        t.MinSize = 10;
        t.MaxSize = 1 << 20;
        t.TaskCyc = cyc;
        t.Types = {1, 2, 3};
        t.FilePrtParams = QStringLiteral("[a]1[/a]");
        t.ExtInfo = QStringLiteral("x=1");
        t.KeepClientNewFile = false;
        t.IsIncludeSubFolder = false;
        t.SC = 3;
        const QString text = BatchTransportToText(t);
        TBatchTransport back;
        TextToBatchTransport(text, back);
        QCOMPARE(BatchTransportToText(back), text);
        QCOMPARE(back.SourceFolderName, source);
        QCOMPARE(back.DestFolderId, 5000000000LL);
        QCOMPARE(back.Types, QList<qint32>({1, 2, 3}));
    }

    void taskText_reading_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected");
        const QString up = QStringLiteral("[TranStyle]1[/TranStyle][FF]2[/FF]");
        QTest::addRow("no St reads completed") << up << "St" << "4";
        QTest::addRow("no TaskCyc runs once") << up << "TaskCyc" << "-1.00";
        QTest::addRow("DFN gets a backslash") << up + "[DFN]D:\\Work[/DFN]" << "DFN" << "D:\\Work\\";
        QTest::addRow("DFN with slash kept") << up + "[DFN]D:\\Work/[/DFN]" << "DFN" << "D:\\Work/";
        QTest::addRow("single upload file keeps its name") << "[TranStyle]1[/TranStyle][FF]1[/FF][SFN]/a/b.doc[/SFN]" << "SFN" << "/a/b.doc";
        QTest::addRow("local download target gets a slash") << "[TranStyle]2[/TranStyle][FF]2[/FF][DFN]/home/x[/DFN]" << "DFN" << "/home/x/";
        QTest::addRow("count larger than entries") << up + "[Dc_Types][Count]2[/Count][Ty0]7[/Ty0][/Dc_Types]" << "Types" << "7,0";
        QTest::addRow("first MaxSize wins") << up + "[MaxSize]100[/MaxSize][MaxSize]999[/MaxSize]" << "MaxSize" << "100";
        QTest::addRow("locale comma period") << up + "[TaskCyc]1,50[/TaskCyc]" << "TaskCyc" << "1.50";
        QTest::addRow("period under a minute") << up + "[TaskCyc]0.001[/TaskCyc]" << "TaskCyc" << "0.02";
        QTest::addRow("short time") << up + "[TaskStartTime]8:05[/TaskStartTime]" << "TaskStartTime" << "08:05:00";
        QTest::addRow("booleans in words") << up + "[SubFolder]FALSE[/SubFolder]" << "SubFolder" << "0";
        QTest::addRow("boolean garbage is default") << up + "[SubFolder]yes[/SubFolder]" << "SubFolder" << "1";
        QTest::addRow("no IncludeRootPath") << up << "IncludeRootPath" << "0";
        QTest::addRow("tags in any case") << up + "[maxsize]5[/MAXSIZE]" << "MaxSize" << "5";
    }
    void taskText_reading()
    {
        QFETCH(QString, text);
        QFETCH(QString, field);
        QFETCH(QString, expected);
        TBatchTransport t;
        TextToBatchTransport(text, t);
        QString got;
        if (field == "St") got = QString::number(t.St);
        else if (field == "TaskCyc") got = FormatTaskCyc(t.TaskCyc);
        else if (field == "DFN") got = t.DestFolderName;
        else if (field == "SFN") got = t.SourceFolderName;
        else if (field == "MaxSize") got = QString::number(t.MaxSize);
        else if (field == "TaskStartTime") got = FormatTaskTime(t.TaskStartTime);
        else if (field == "SubFolder") got = QString::number(t.IsIncludeSubFolder);
        else if (field == "IncludeRootPath") got = QString::number(t.IncludeRootPath);
        else if (field == "Types") {
            QStringList l;
            for (qint32 v : t.Types) l << QString::number(v);
            got = l.join(u',');
        }
        QCOMPARE(got, expected);
    }

    void taskText_summary()
    {
        TBatchTransport t;
        NewBatchTransport(t);
        t.SourceFolderName = QStringLiteral("/home/ann/Docs/");
        t.DestFolderName = QStringLiteral("Projects\\");
        t.MinSize = 2048;
        t.MaxSize = 4096;
        t.Types = {qint32(ExtCode(QStringLiteral("doc")))};
        t.TaskCyc = 1.0;
        t.TaskStartTime = 8.0 / 24;
        QString s;
        TaskSummaryText(t, HSL_ENG, s);
        QCOMPARE(s, QStringLiteral("-------- Bulk upload of folder files--------\r\n\r\nSource folder:/home/ann/Docs/\r\nTarget file:Projects\\\r\n"
                                   "File time:No\r\nFile size:2K - 4K\r\nFile type:*.doc\r\n\r\nRun time:08:00:00, every 60 minute(m) to operate task \r\nFinish time:"));
        TaskSummaryText(t, HSL_CN, s);
        QVERIFY(s.startsWith(QStringLiteral("--------文件夹文件批量上传--------")));
        QCOMPARE(TaskStateText(BTS_Error, HSL_ENG), QStringLiteral("Task error,unable to continue"));
        QString keep = QStringLiteral("kept");
        TaskStateText(7, HSL_CN, keep);
        QCOMPARE(keep, QStringLiteral("kept"));
    }

    // ---- The task file

    void config_sameSecondIdsKeepBothTasks()
    {
        QTemporaryDir dir;
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        TBatchTransport a = uploadTask(1000, "/a/", 5);
        TBatchTransport b = uploadTask(1000, "/b/", 5);
        config.AddTask(a);
        config.AddTask(b);
        QCOMPARE(a.Id, 1000);
        QCOMPARE(b.Id, 1001);
        QVERIFY(config.Save());
        TBatchTranConfig again(dir.path(), dir.path() + "/index");
        const auto all = again.GetAllTask();
        QCOMPARE(all.size(), 2);
        QCOMPARE(all.at(0).SourceFolderName, QStringLiteral("/a/"));
        QCOMPARE(all.at(1).SourceFolderName, QStringLiteral("/b/"));
        QCOMPARE(again.TaskCount(), 2);
    }

    void config_unclosedSectionHidesNoTask()
    {
        // A section whose closing tag is gone must neither hide the task after it
        // nor show up again once that task is saved properly; a section named for
        // another Id (which no edit or delete could reach) is not listed either.
        QTemporaryDir dir;
        TBatchTransport up = uploadTask(11, "/src/", 5);
        const TBatchTransport misnamed = uploadTask(21, "/other/", 5);
        TBatchTransport down = uploadTask(13, "Projects\\", 0);
        down.TranStyle = TS_Download;
        down.SourceOwnerId = 9;
        down.DestFolderName = "/in/";
        const QString text = "[Cond_11]" + BatchTransportToText(up) + "\r\n[Cond_13]" + BatchTransportToText(down) + "[/Cond_13]\r\n"
                             + "[Cond_20]" + BatchTransportToText(misnamed) + "[/Cond_20]\r\n";
        QVERIFY(WriteUnicodeTextFile(dir.path() + "/btr.sys", text));
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        auto ids = [&config] {
            QList<qint32> out;
            for (const TBatchTransport &t : config.GetAllTask())
                out << t.Id;
            return out;
        };
        QCOMPARE(ids(), QList<qint32>{13});
        config.SetTask(up);
        QCOMPARE(ids(), QList<qint32>({13, 11}));
    }

    void config_repeatedSectionListsTheOneEditsReach()
    {
        // Of two sections with one name, edits change the first: a list showing the
        // second would show a task no edit reaches, and after an edit the task twice.
        QTemporaryDir dir;
        const TBatchTransport broken = uploadTask(11, "/src/", 0);
        TBatchTransport up = uploadTask(11, "/src/", 5);
        const QString text = "[Cond_11]" + BatchTransportToText(broken) + "[/Cond_11]\r\n[Cond_11]" + BatchTransportToText(up)
                             + "[/Cond_11]\r\n";
        QVERIFY(WriteUnicodeTextFile(dir.path() + "/btr.sys", text));
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        QVERIFY(config.GetAllTask().isEmpty());
        config.SetTask(up);
        const auto all = config.GetAllTask();
        QCOMPARE(all.size(), 1);
        QCOMPARE(all.at(0).Id, 11);
    }

    void config_optimizeKeepsEveryTask()
    {
        QTemporaryDir dir;
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        for (int i = 1; i <= 1030; ++i) {
            TBatchTransport t = uploadTask(i, "/src/", 5);
            config.AddTask(t);
        }
        config.Optimize(config.GetAllTask());
        TBatchTranConfig again(dir.path(), dir.path() + "/index");
        QCOMPARE(again.GetAllTask().size(), 1030);
        QVERIFY(!again.AllInfo().contains("TaskCount"));
        again.DelTask(5);
        QCOMPARE(again.TaskCount(), -1);
        QCOMPARE(again.GetAllTask().size(), 1029);
    }

    void config_foreignFileLoads()
    {
        // Written by hand the way another writer of the format would: a counter, an
        // appended section, an Optimize-form section, an invalid one and an unclosed one.
        QTemporaryDir dir;
        TBatchTransport up = uploadTask(11, "/src/", 5);
        TBatchTransport bad = uploadTask(12, "/src/", 0);
        TBatchTransport down = uploadTask(13, "Projects\\", 0);
        down.TranStyle = TS_Download;
        down.SourceOwnerId = 9;
        down.DestFolderName = "/in/";
        const QString text = "[TaskCount]3[/TaskCount]\r\n[Cond_11]" + BatchTransportToText(up) + "[/Cond_11]\r\n"
                             + "[Cond_12]\r\n" + BatchTransportToText(bad) + "[/Cond_12]\r\n\r\n"
                             + "[Cond_13]\r\n" + BatchTransportToText(down) + "[/Cond_13]\r\n\r\n[Cond_14][Id]14[/Id]";
        QVERIFY(WriteUnicodeTextFile(dir.path() + "/btr.sys", text));
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        QVERIFY(config.LoadError().isEmpty());
        QCOMPARE(config.AllInfo(), text);
        const auto all = config.GetAllTask();
        QCOMPARE(all.size(), 2);
        QCOMPARE(all.at(0).Id, 11);
        QCOMPARE(all.at(1).Id, 13);
        TBatchTransport got;
        QVERIFY(!config.GetTask(14, got));
        QCOMPARE(got.Id, 0);
        QVERIFY(config.GetTask(13, got));
        QCOMPARE(BatchTransportToText(got), BatchTransportToText(down));
        // Replacing a section keeps what follows it.
        up.MinSize = 77;
        config.SetTask(up);
        QVERIFY(config.AllInfo().contains("[/Cond_11]\r\n[Cond_12]"));
        QVERIFY(config.GetTask(11, got));
        QCOMPARE(got.MinSize, 77);
    }

    void config_damagedFileKeptAside()
    {
        QTemporaryDir dir;
        TBatchTransport up = uploadTask(21, "/src/", 5);
        QByteArray bytes = "\xFF\xFE" + le("[Cond_21]" + BatchTransportToText(up) + "[/Cond_21]\r\n") + "\x41";
        writeFile(dir.path() + "/btr.sys", bytes);
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        QVERIFY(!config.LoadError().isEmpty());
        QCOMPARE(config.GetAllTask().size(), 1);
        const QStringList aside = QDir(dir.path()).entryList({"btr.sys.damaged-*"});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readFile(dir.path() + "/" + aside.first()), bytes);
    }

    void config_unreadableFileStartsEmpty()
    {
        // A folder where the file should be: it cannot be read, and nothing stops the start.
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.path() + "/btr.sys"));
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        QVERIFY(config.LoadError().contains("Cannot read"));
        QVERIFY(config.GetAllTask().isEmpty());
    }

    void config_delTaskRemovesIndexFiles()
    {
        QTemporaryDir dir;
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        TBatchTransport t = uploadTask(31, "/src/", 5);
        config.AddTask(t);
        for (const char *ext : {".fln", ".std", ".ivd", ".log"})
            writeFile(dir.path() + "/index/31" + ext, "x");
        config.DelTask(31);
        QVERIFY(QDir(dir.path() + "/index").entryList(QDir::Files).isEmpty());
        QVERIFY(!config.HasTask(31));
    }

    void config_damagedFileIsNeverSavedOver_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        TBatchTransport up = uploadTask(22, "/src/", 5);
        const QByteArray good = "\xFF\xFE" + le("[Cond_22]" + BatchTransportToText(up) + "[/Cond_22]\r\n");
        QTest::addRow("torn UTF-16") << good + "\x41";
        QTest::addRow("bytes that are not text") << QByteArray("[Cond_22][Id]22[/Id]\x81\xFF\xFE[/Cond_22]\r\n");
    }

    void config_damagedFileIsNeverSavedOver()
    {
        // Saving what could be read would drop the tasks behind the damage for good.
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        writeFile(dir.path() + "/btr.sys", bytes);
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        QVERIFY(!config.LoadError().isEmpty());
        TBatchTransport added = uploadTask(23, "/other/", 5);
        config.AddTask(added);
        QString error;
        QVERIFY(!config.Save(&error));
        QVERIFY2(error.contains("btr.sys"), qPrintable(error));
        error.clear();
        QVERIFY(!UpdateTaskFile(config, [](TBatchTranConfig &c) { c.DelTask(22); }, &error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(readFile(dir.path() + "/btr.sys"), bytes);
        // Read again and again: one copy kept aside, not one per read.
        config.Reload();
        config.Reload();
        QCOMPARE(QDir(dir.path()).entryList({"btr.sys.damaged-*"}).size(), 1);
        // Removed by the user: the store may write again.
        QVERIFY(QFile::remove(dir.path() + "/btr.sys"));
        QVERIFY(UpdateTaskFile(config, [&](TBatchTranConfig &c) { c.AddTask(added); }, &error));
        QVERIFY(TBatchTranConfig(dir.path(), dir.path() + "/index").HasTask(23));
    }

    void config_twoStoresKeepEachOthersChanges()
    {
        // Two processes on one folder, each with its copy read before the other saved.
        QTemporaryDir dir;
        {
            TBatchTranConfig seed(dir.path(), dir.path() + "/index");
            TBatchTransport a = uploadTask(41, "/a/", 5);
            TBatchTransport b = uploadTask(42, "/b/", 5);
            seed.AddTask(a);
            seed.AddTask(b);
            QVERIFY(seed.Save());
        }
        TBatchTranConfig window(dir.path(), dir.path() + "/index");
        TBatchTranConfig terminal(dir.path(), dir.path() + "/index");
        QString error;
        TBatchTransport added = uploadTask(43, "/c/", 5);
        QVERIFY2(UpdateTaskFile(terminal, [&](TBatchTranConfig &c) {
            c.AddTask(added);
            TBatchTransport a;
            c.GetTask(41, a);
            a.St = BTS_Paused;
            c.SetTask(a);
        }, &error), qPrintable(error));
        QVERIFY(window.ChangedOnDisk());
        QVERIFY2(UpdateTaskFile(window, [](TBatchTranConfig &c) {
            TBatchTransport b;
            c.GetTask(42, b);
            b.St = BTS_Completed;
            b.MinSize = 9;
            c.SetTask(b);
        }, &error), qPrintable(error));
        QVERIFY(!window.ChangedOnDisk());
        QVERIFY(terminal.ChangedOnDisk());
        QVERIFY2(UpdateTaskFile(terminal, [](TBatchTranConfig &c) { c.DelTask(41); }, &error), qPrintable(error));

        TBatchTranConfig after(dir.path(), dir.path() + "/index");
        TBatchTransport t;
        QVERIFY(!after.HasTask(41));
        QVERIFY(after.GetTask(42, t));
        QCOMPARE(t.St, quint8(BTS_Completed));
        QCOMPARE(t.MinSize, 9);
        QVERIFY(after.GetTask(43, t));
        QCOMPARE(t.SourceFolderName, QStringLiteral("/c/"));
        QCOMPARE(after.TaskCount(), 2);
    }

    void config_changedOnDiskOnlyForRealChanges()
    {
        QTemporaryDir dir;
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        QVERIFY(!config.ChangedOnDisk());
        TBatchTransport a = uploadTask(44, "/a/", 5);
        config.AddTask(a);
        QVERIFY(config.Save());
        QVERIFY(!config.ChangedOnDisk());
        // Touched without a change: still the same.
        setMTime(dir.path() + "/btr.sys", QDateTime::currentDateTime().addSecs(-100));
        QVERIFY(!config.ChangedOnDisk());
        TBatchTranConfig other(dir.path(), dir.path() + "/index");
        other.DelTask(44);
        QVERIFY(other.Save());
        QVERIFY(config.ChangedOnDisk());
        config.Reload();
        QVERIFY(!config.ChangedOnDisk());
        QVERIFY(!config.HasTask(44));
    }

    void config_secondProcessAddsWhileWeAdd()
    {
        // A real second process adds tasks while this one does: none may be lost.
        QTemporaryDir dir;
        QProcess helper;
        helper.start(QCoreApplication::applicationFilePath(), {"--add-tasks", dir.path(), "5000", "40"});
        QVERIFY(helper.waitForStarted());
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        QString error;
        int theirs = 0;
        for (int i = 0; i < 40; ++i) {
            // Keep pace with the other process, so that both write all along.
            const QDeadlineTimer deadline(20000);
            while (theirs < i && helper.state() == QProcess::Running && !deadline.hasExpired()) {
                if (!helper.canReadLine())
                    helper.waitForReadyRead(200);
                while (helper.canReadLine())
                    theirs += helper.readLine().startsWith("added") ? 1 : 0;
            }
            TBatchTransport t = uploadTask(6000 + i, "/ours/", 5);
            QVERIFY2(UpdateTaskFile(config, [&](TBatchTranConfig &c) { c.AddTask(t); }, &error), qPrintable(error));
        }
        QVERIFY(helper.waitForFinished(60000));
        QVERIFY2(helper.exitCode() == 0, helper.readAllStandardError().constData());
        TBatchTranConfig after(dir.path(), dir.path() + "/index");
        for (int i = 0; i < 40; ++i) {
            QVERIFY2(after.HasTask(5000 + i), qPrintable(QString::number(5000 + i)));
            QVERIFY2(after.HasTask(6000 + i), qPrintable(QString::number(6000 + i)));
        }
        QCOMPARE(after.TaskCount(), 80);
    }

    void config_lockHeldTooLongNamesTheHolder()
    {
        QTemporaryDir dir;
        TBatchTranConfig config(dir.path(), dir.path() + "/index");
        QLockFile held(config.ConfigFileName() + ".lock");
        QVERIFY(held.tryLock(0));
        QString error;
        bool changed = false;
        QVERIFY(!UpdateTaskFile(config, [&](TBatchTranConfig &) { changed = true; }, &error));
        QVERIFY(!changed);
        QVERIFY2(error.contains(QString::number(QCoreApplication::applicationPid())), qPrintable(error));
    }

    // ---- Index files

    void index_pathFileLayout()
    {
        QTemporaryDir dir;
        const QString file = dir.path() + "/src/report.doc";
        writeFile(file, "12345");
        TFileIndex index;
        index.TaskId = 41;
        index.IndexFolder = dir.path() + "/index";
        index.Init();
        QVERIFY(index.Load());
        index.AppendFileInfo({file});
        qint64 size = 0;
        TDateTime dt = 0;
        QVERIFY(LocalFileStat(file, size, dt));
        const qint64 key = TFileIndex::UploadKey(file, 5, dt);
        QCOMPARE(key, qint64(PathHash64(file) + 5 + quint64(DateTimeToTicks(dt) / 10)));
        const QByteArray bytes = readFile(dir.path() + "/index/41.fln");
        QVERIFY(!bytes.startsWith("\xFF\xFE"));
        const QString line = fromLe(bytes);
        QVERIFY(line.endsWith("\r\n"));
        QCOMPARE(line.left(22), QString::number(key).leftJustified(22));
        QCOMPARE(line.mid(22, 22), QString("0").leftJustified(22));
        QCOMPARE(line.mid(44, 22), QString("5").leftJustified(22));
        QCOMPARE(line.mid(66, 22), QString::number(DateTimeToTicks(dt)).leftJustified(22));
        QCOMPARE(line.mid(88), file + "\r\n");
        index.UpdateState(key, dl::Done);
        const QString state = fromLe(readFile(dir.path() + "/index/41.std"));
        QCOMPARE(state, QString::number(key).leftJustified(22) + QString("0").leftJustified(22) + "100 \r\n");
    }

    void index_keyFollowsChanges()
    {
        QTemporaryDir dir;
        const QString file = dir.path() + "/a.txt";
        writeFile(file, "one");
        const QDateTime t0 = QDateTime::currentDateTime().addSecs(-100);
        setMTime(file, t0);
        TFileIndex index;
        index.TaskId = 1;
        index.IndexFolder = dir.path() + "/index";
        index.Init();
        QVERIFY(index.Load());
        index.AppendFileInfo({file});
        QCOMPARE(index.Count(), 1);
        // Same size, same time: the same key, nothing new.
        writeFile(file, "two");
        setMTime(file, t0);
        index.AppendFileInfo({file});
        QCOMPARE(index.Count(), 1);
        // Touched: a new key, the old entry stays.
        setMTime(file, t0.addSecs(5));
        index.AppendFileInfo({file});
        QCOMPARE(index.Count(), 2);
        QCOMPARE(index.GetUndealFileCount(0), 2);
    }

    void index_filters_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("indexed");
        QTest::addRow("plain") << "a/plan.xls" << true;
        QTest::addRow("thumbs any case") << "a/Thumbs.DB" << false;
        QTest::addRow("exclusion copy") << "a/report.doc_kx0.doc" << false;
        QTest::addRow("exclusion copy, two digits") << "a/plan_kx12.xls" << false;
        QTest::addRow("not a copy") << "a/plan_kx.xls" << true;
        QTest::addRow("kx with letters") << "a/plan_kx1a.xls" << true;
    }
    void index_filters()
    {
        QFETCH(QString, name);
        QFETCH(bool, indexed);
        QTemporaryDir dir;
        const QString file = dir.path() + "/" + name;
        writeFile(file, "x");
        TFileIndex index;
        index.TaskId = 1;
        index.IndexFolder = dir.path() + "/index";
        index.Init();
        QVERIFY(index.Load());
        index.AppendFileInfo({file});
        QCOMPARE(index.Count(), indexed ? 1 : 0);
        QVERIFY(!TFileIndex::IsExclusionCopy("_kx0.doc"));
    }

    void index_typesAndSizes()
    {
        QTemporaryDir dir;
        writeFile(dir.path() + "/a.doc", "1234");
        writeFile(dir.path() + "/b.xls", "1234");
        writeFile(dir.path() + "/c.doc", "123456789");
        // The type is the extension without case; a longer one is another type.
        writeFile(dir.path() + "/D.DOC", "1234");
        writeFile(dir.path() + "/e.docx", "1234");
        TFileIndex index;
        index.TaskId = 1;
        index.IndexFolder = dir.path() + "/index";
        index.MinFileSize = 1;
        index.MaxFileSize = 5;
        index.SetFileTypes({qint32(ExtCode("doc"))});
        index.Init();
        QVERIFY(index.Load());
        index.AppendFileInfo({dir.path() + "/a.doc", dir.path() + "/b.xls", dir.path() + "/c.doc", dir.path() + "/D.DOC",
                              dir.path() + "/e.docx"});
        QCOMPARE(index.Count(), 2);
        index.SetFileTypes({qint32(ExtCode("doc")), 42});
        index.AppendFileInfo({dir.path() + "/b.xls"});
        QCOMPARE(index.Count(), 3);
    }

    void index_loadRepairs_data()
    {
        QTest::addColumn<QByteArray>("tail");
        QTest::addColumn<int>("entries");
        const QString good = QString("7").leftJustified(22) + QString("0").leftJustified(22) + QString("3").leftJustified(22)
                             + QString("1000").leftJustified(22) + "/x/a.txt\r\n";
        QTest::addRow("clean") << QByteArray() << 2;
        QTest::addRow("odd byte") << QByteArray("\x41") << 2;
        QTest::addRow("torn last line") << le(good.left(50)) << 2;
        QTest::addRow("torn and odd") << le(good.left(50)) + "\x41" << 2;
        QTest::addRow("80-character line") << le(QString(80, u'1') + "\r\n") << 2;
        QTest::addRow("letters in the key") << le("abc" + good.mid(3)) << 2;
        QTest::addRow("a key twice, first wins") << le(good) << 2;
    }
    void index_loadRepairs()
    {
        QFETCH(QByteArray, tail);
        QFETCH(int, entries);
        QTemporaryDir dir;
        const QString good1 = QString("7").leftJustified(22) + QString("0").leftJustified(22) + QString("3").leftJustified(22)
                              + QString("1000").leftJustified(22) + "/x/a.txt\r\n";
        const QString good2 = QString("-5").leftJustified(22) + QString("9").leftJustified(22) + QString("4").leftJustified(22)
                              + QString("2000").leftJustified(22) + "/x/b.txt\r\n";
        writeFile(dir.path() + "/index/1.fln", le(good1 + good2) + tail);
        TFileIndex index;
        index.TaskId = 1;
        index.IndexFolder = dir.path() + "/index";
        index.Init();
        QVERIFY(index.Load());
        QCOMPARE(index.Count(), entries);
        TTidyFile t;
        QVERIFY(index.Find(7, t));
        QCOMPARE(t.Path, QStringLiteral("/x/a.txt"));
        QVERIFY(index.Find(-5, t));
        QCOMPARE(t.FolderId, 9);
        // After the repair an append starts on a line of its own.
        TTidyFile n;
        n.PathHash = 99;
        n.Path = "/x/c.txt";
        index.AppendFileInfoEx(n);
        TFileIndex again;
        again.TaskId = 1;
        again.IndexFolder = dir.path() + "/index";
        again.Init();
        QVERIFY(again.Load());
        QCOMPARE(again.Count(), entries + 1);
        QVERIFY(again.Find(99, t));
    }

    void index_stateReplay()
    {
        QTemporaryDir dir;
        TFileIndex index;
        index.TaskId = 2;
        index.IndexFolder = dir.path() + "/index";
        index.Init();
        QVERIFY(index.Load());
        for (qint64 k : {10, 20, 30}) {
            TTidyFile t;
            t.PathHash = k;
            t.Size = k;
            t.Path = "/p/" + QString::number(k);
            index.AppendFileInfoEx(t);
        }
        index.UpdateState(10, dl::Done);
        index.UpdateState(10, dl::Excluded);
        index.UpdateState(20, dl::Done);
        index.UpdateState(20, dl::Done);
        TFileIndex again;
        again.TaskId = 2;
        again.IndexFolder = dir.path() + "/index";
        again.Init();
        QVERIFY(again.Load());
        TTidyFile t;
        QVERIFY(again.Find(10, t));
        QCOMPARE(t.Dealed, dl::Excluded);
        QCOMPARE(again.GetAllCount(0), 2);
        QCOMPARE(again.GetUndealFileCount(0), 1);
        // Counted once per entry that ends done, not once per line.
        QCOMPARE(again.FinishedSize(), 20);
        QCOMPARE(again.TotalFileSize(), 60);
    }

    void index_handsOutFiveTimesAtMost()
    {
        QTemporaryDir dir;
        TFileIndex index;
        index.TaskId = 3;
        index.IndexFolder = dir.path() + "/index";
        index.Init();
        QVERIFY(index.Load());
        for (qint64 k : {5, -3}) {
            TTidyFile t;
            t.PathHash = k;
            t.Path = "/p/" + QString::number(k);
            index.AppendFileInfoEx(t);
        }
        TTidyFile t;
        QVERIFY(index.GetTidyFile(0, t));
        QCOMPARE(t.PathHash, -3);  // key order, signed
        index.UpdateState(-3, dl::Done);
        int handed = 0;
        while (index.GetTidyFile(0, t)) {
            QCOMPARE(t.PathHash, 5);
            ++handed;
        }
        QCOMPARE(handed, 5);
        QCOMPARE(t.PathHash, -1);
        QCOMPARE(index.GetUndealFileCount(0), 1);
        QStringList failed;
        index.GetUndealFileInfo(failed);
        QCOMPARE(failed, QStringList{"/p/5"});
    }

    void index_exclusionsReapplied()
    {
        QTemporaryDir dir;
        TFileIndex index;
        index.TaskId = 4;
        index.IndexFolder = dir.path() + "/index";
        index.Init();
        QVERIFY(index.Load());
        for (qint64 k : {1, 2}) {
            TTidyFile t;
            t.PathHash = k;
            index.AppendFileInfoEx(t);
        }
        index.RemoveFiles({2});
        QCOMPARE(readFile(dir.path() + "/index/4.ivd"), QByteArray("2\r\n"));
        index.StateResetOfDownload();
        QCOMPARE(index.GetAllCount(0), 2);
        index.RemoveInvalidKey();
        QCOMPARE(index.GetAllCount(0), 1);
    }

    void index_compactsDeadLines()
    {
        QTemporaryDir dir;
        QString text;
        const QString line = QString("8").leftJustified(22) + QString("0").leftJustified(22) + QString("1").leftJustified(22)
                             + QString("1").leftJustified(22) + "/x\r\n";
        for (int i = 0; i < 3000; ++i)
            text += line;
        writeFile(dir.path() + "/index/5.fln", le(text));
        TFileIndex index;
        index.TaskId = 5;
        index.IndexFolder = dir.path() + "/index";
        index.Init();
        QVERIFY(index.Load());
        QCOMPARE(index.Count(), 1);
        QCOMPARE(readFile(dir.path() + "/index/5.fln"), le(line));
    }

    void index_compactionKeepsFailedTries()
    {
        // A state file grown over many runs is rewritten at load; a file that failed
        // must keep its tries there, or the next load forgets that it failed.
        QTemporaryDir dir;
        auto pathLine = [](qint64 key) {
            TTidyFile t;
            t.PathHash = key;
            t.Size = 1;
            t.Path = "/f" + QString::number(key);
            return TFileIndex::PathLine(t);
        };
        writeFile(dir.path() + "/index/6.fln", le(pathLine(1) + pathLine(2)));
        QString states;
        for (int i = 0; i < 1200; ++i)
            states += TFileIndex::StateLine(1, dl::Done);
        states += TFileIndex::StateLine(2, 3);
        writeFile(dir.path() + "/index/6.std", le(states));
        for (int load = 0; load < 2; ++load) {
            TFileIndex index;
            index.TaskId = 6;
            index.IndexFolder = dir.path() + "/index";
            index.Init();
            QVERIFY(index.Load());
            QStringList failed;
            index.GetUndealFileInfo(failed);
            QCOMPARE(failed, QStringList{"/f2"});
            QCOMPARE(index.FinishedSize(), 1);
        }
        QVERIFY(readFile(dir.path() + "/index/6.std").size() < le(states).size());
    }

    void scan_linksStayInsideTheRoot()
    {
        QTemporaryDir dir;
        writeFile(dir.path() + "/task/a.txt", "a");
        writeFile(dir.path() + "/task/sub/b.txt", "b");
        writeFile(dir.path() + "/outside/secret.txt", "s");
        QVERIFY(QFile::link(dir.path() + "/task", dir.path() + "/task/sub/loop"));
        QVERIFY(QFile::link(dir.path() + "/outside", dir.path() + "/task/out"));
        QVERIFY(QFile::link(dir.path() + "/outside/secret.txt", dir.path() + "/task/secret-link.txt"));
        QVERIFY(QFile::link(dir.path() + "/task/a.txt", dir.path() + "/task/inside-link.txt"));
        TSearchFiles search;
        search.SetRoots({dir.path() + "/task/"});
        QStringList found;
        search.OnSaveFiles = [&](const std::vector<TFoundFile> &files) {
            for (const auto &f : files)
                found << QFileInfo(f.Path).fileName();
        };
        search.Execute();
        found.sort();
        QCOMPARE(found, QStringList({"a.txt", "b.txt", "inside-link.txt"}));
        QCOMPARE(TSearchFiles::SubFolders(dir.path() + "/task").size(), 1);
    }

    // ---- Path and time rules

    void paths_uploadSubFolder_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("includeRoot");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::addRow("root file") << "/home/a/Docs/" << false << "/home/a/Docs/x.doc" << "";
        QTest::addRow("sub file") << "/home/a/Docs/" << false << "/home/a/Docs/s/t/x.doc" << "s\\t\\";
        QTest::addRow("root name included") << "/home/a/Docs/" << true << "/home/a/Docs/s/x.doc" << "Docs\\s\\";
        QTest::addRow("case ignored") << "D:\\Work\\" << false << "d:\\work\\Sub\\x.doc" << "Sub\\";
        QTest::addRow("outside the source") << "/home/a/Docs/" << false << "/srv/x.doc" << "";
    }
    void paths_uploadSubFolder()
    {
        QFETCH(QString, source);
        QFETCH(bool, includeRoot);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        TBatchTransport t = uploadTask(1, source, 1);
        t.IncludeRootPath = includeRoot;
        QCOMPARE(UploadSubFolder(t, path), expected);
        t.FF = FF_File;
        QCOMPARE(UploadSubFolder(t, path), QString());
    }

    void paths_relativeAndLast_data()
    {
        QTest::addColumn<QString>("fn");
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<QString>("expected");
        QTest::addRow("relative") << "rel" << "Projects\\" << "Projects\\s\\a.doc" << "s\\a.doc";
        QTest::addRow("relative, drive") << "rel" << "Other\\" << "D:\\x\\a.doc" << "x\\a.doc";
        QTest::addRow("relative, neither") << "rel" << "Other\\" << "x\\a.doc" << "x\\a.doc";
        QTest::addRow("relative is case-sensitive") << "rel" << "projects\\" << "Projects\\a" << "Projects\\a";
        QTest::addRow("last folder") << "last" << "D:\\Work\\Docs\\" << "" << "Docs\\";
        QTest::addRow("last folder, slash") << "last" << "/home/a/Docs/" << "" << "Docs/";
        QTest::addRow("last folder, one char") << "last" << "\\" << "" << "\\";
        QTest::addRow("last folder, no separator") << "last" << "Docs\\" << "" << "Docs\\";
    }
    void paths_relativeAndLast()
    {
        QFETCH(QString, fn);
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(QString, expected);
        QCOMPARE(fn == "rel" ? RelativePath(a, b) : LastFolderName(a), expected);
    }

    void timeRule_data()
    {
        QTest::addColumn<double>("hours");
        QTest::addColumn<TDateTime>("lastRunEnd");
        QTest::addColumn<TDateTime>("now");
        QTest::addColumn<bool>("previous");
        QTest::addColumn<bool>("allowed");
        const TDateTime six = at(2025, 3, 4, 6, 0);
        QTest::addRow("07:59 is before the anchor") << 1.0 << six << at(2025, 3, 4, 7, 59) << false << false;
        QTest::addRow("08:00 starts") << 1.0 << six << at(2025, 3, 4, 8, 0) << false << true;
        QTest::addRow("08:03 goes on") << 1.0 << six << at(2025, 3, 4, 8, 3) << true << true;
        QTest::addRow("08:05 pauses a running run") << 1.0 << six << at(2025, 3, 4, 8, 5) << true << false;
        QTest::addRow("09:00 goes on again") << 1.0 << six << at(2025, 3, 4, 9, 0) << true << true;
        QTest::addRow("too soon after the last run") << 1.0 << at(2025, 3, 4, 8, 0) << at(2025, 3, 4, 8, 30) << false << false;
        // One minute is stored with two decimals as 0.02 h, 1.2 minutes: it must
        // still run every minute, as the task list says.
        QTest::addRow("one minute, a minute later") << 0.02 << at(2025, 3, 4, 8, 10) << at(2025, 3, 4, 8, 11) << false << true;
        QTest::addRow("one minute, same minute") << 0.02 << at(2025, 3, 4, 8, 10) << at(2025, 3, 4, 8, 10) << false << false;
        QTest::addRow("half an hour, 29 minutes") << 0.5 << at(2025, 3, 4, 8, 10) << at(2025, 3, 4, 8, 39) << false << false;
    }
    void timeRule()
    {
        QFETCH(double, hours);
        QFETCH(TDateTime, lastRunEnd);
        QFETCH(TDateTime, now);
        QFETCH(bool, previous);
        QFETCH(bool, allowed);
        TBatchTransport t = uploadTask(1, "/a/", 1);
        t.TaskCyc = hours;
        t.TaskStartTime = *ParseTaskTime("08:00:00");
        t.RunEndTime = lastRunEnd;
        QCOMPARE(BatchTimeRule(t, previous, now), allowed);
        QCOMPARE(t.St, allowed ? BTS_Running : BTS_Waiting);
    }

    void timeRule_tinyPeriodNeverDividesByZero()
    {
        TBatchTransport t = uploadTask(1, "/a/", 1);
        t.TaskCyc = 0.001;
        t.TaskStartTime = 0;
        t.RunEndTime = at(2025, 1, 1, 0, 0);
        QVERIFY(BatchTimeRule(t, true, at(2025, 3, 4, 8, 0)));
    }
    // ---- The worker against the reference server

    void worker_uploadTreeThenOnlyChanges()
    {
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        const QString root = dir.path() + "/Docs/";
        writeFile(root + "a.txt", "alpha");
        writeFile(root + "sub/b.txt", "bravo");
        writeFile(root + "sub/deep/c.bin", QByteArray(100000, 'c'));
        QDir().mkpath(root + "empty/inner");
        TBatchTransport task = uploadTask(501, root, owner);
        task.TaskCyc = 24;  // periodic: the index stays between runs
        task.RunEndTime = NowDateTime() - 2;

        RunResult first = runOnce(task, settings);
        QVERIFY(first.ended);
        QVERIFY2(first.errors.isEmpty(), qPrintable(first.errors));
        QCOMPARE(first.transferred, 3);
        QCOMPARE(server.fileAt(owner, "Docs/a.txt").value_or("-"), QByteArray("alpha"));
        QCOMPARE(server.fileAt(owner, "Docs/sub/b.txt").value_or("-"), QByteArray("bravo"));
        QCOMPARE(server.fileAt(owner, "Docs/sub/deep/c.bin").value_or("-"), QByteArray(100000, 'c'));
        // The folder tree arrives whole, empty folders included.
        {
            Store store(server.dataDir());
            const qint64 docs = store.findFolder(owner, 0, "Docs");
            QVERIFY(docs != 0);
            const qint64 empty = store.findFolder(owner, docs, "empty");
            QVERIFY(empty != 0);
            QVERIFY(store.findFolder(owner, empty, "inner") != 0);
        }
        QCOMPARE(first.task.St, quint8(BTS_Waiting));
        QVERIFY(QFile::exists(dir.path() + "/index/501.fln"));
        QVERIFY(!first.log.contains("//----------------------------"));

        // One file changed, one new: only those two go again.
        writeFile(root + "sub/b.txt", "bravo, changed");
        writeFile(root + "sub/new.txt", "new");
        task = first.task;
        task.RunEndTime = NowDateTime() - 2;
        RunResult second = runOnce(task, settings);
        QVERIFY(second.ended);
        QVERIFY2(second.errors.isEmpty(), qPrintable(second.errors));
        QCOMPARE(second.transferred, 2);
        QCOMPARE(server.fileAt(owner, "Docs/sub/b.txt").value_or("-"), QByteArray("bravo, changed"));
        QCOMPARE(server.fileAt(owner, "Docs/sub/new.txt").value_or("-"), QByteArray("new"));
        QCOMPARE(server.versions(owner, "Docs/a.txt"), 1);
        QCOMPARE(server.versions(owner, "Docs/sub/b.txt"), 2);
    }

    void worker_unreadableFileIsAFailure()
    {
        // The task's file is gone (or unreadable): a failure, never a file counted as sent.
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        TBatchTransport task = uploadTask(502, dir.path() + "/missing.doc", owner);
        task.FF = FF_File;
        Store store(server.dataDir());
        QCOMPARE(store.createFolder(owner, 0, "Inbox", &task.DestFolderId), 0);
        RunResult r = runOnce(task, settings);
        QVERIFY(r.ended);
        QVERIFY2(r.errors.contains("missing.doc"), qPrintable(r.errors));
        QVERIFY(r.log.contains("//----------------------------"));
    }

    void worker_singleFileTaskAfterReload()
    {
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        writeFile(dir.path() + "/one/report.doc", "report");
        TBatchTransport task = uploadTask(503, dir.path() + "/one/report.doc", owner);
        task.FF = FF_File;
        // The client's own reports folder as target.
        Store store(server.dataDir());
        qint64 target = 0;
        QCOMPARE(store.createFolder(owner, 0, "Inbox", &target), 0);
        task.DestFolderId = target;
        TBatchTransport reloaded;
        TextToBatchTransport(BatchTransportToText(task), reloaded);
        RunResult r = runOnce(reloaded, settings);
        QVERIFY(r.ended);
        QVERIFY2(r.errors.isEmpty(), qPrintable(r.errors));
        QCOMPARE(server.fileAt(owner, "Inbox/report.doc").value_or("-"), QByteArray("report"));
        QCOMPARE(r.task.St, quint8(BTS_Completed));
        QVERIFY(!QFile::exists(dir.path() + "/index/503.fln"));
    }

    void worker_downloadKeepsNewerAndDeletedCopies()
    {
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        // Put three files up, then delete one on the server.
        const QString up = dir.path() + "/up/Box/";
        writeFile(up + "keep.txt", "server keep");
        writeFile(up + "gone.doc", "server gone");
        writeFile(up + "s/fresh.txt", "server fresh");
        const QDateTime old = QDateTime::currentDateTime().addSecs(-3600);
        for (const char *f : {"keep.txt", "gone.doc", "s/fresh.txt"})
            setMTime(up + f, old);
        QVERIFY(runOnce(uploadTask(504, up, owner), settings).errors.isEmpty());
        Store store(server.dataDir());
        const qint64 box = store.findFolder(owner, 0, "Box");
        QVERIFY(box != 0);
        store.db().run("UPDATE files SET deleted=1 WHERE folder_id=? AND name='gone.doc'", {box});

        // The local side: a newer keep.txt, a gone.doc as old as the server's, and an earlier copy of it.
        const QString local = dir.path() + "/down/";
        writeFile(local + "Box/keep.txt", "local newer");
        writeFile(local + "Box/gone.doc", "local gone");
        setMTime(local + "Box/gone.doc", old);
        writeFile(local + "Box/gone.doc_kx0.doc", "earlier copy");
        TBatchTransport task;
        NewBatchTransport(task);
        task.Id = 505;
        task.TranStyle = TS_Download;
        task.FF = FF_Folder;
        task.SourceOwnerId = owner;
        task.SourceFolderId = box;
        task.SourceFolderName = "Box\\";
        task.DestFolderName = local;
        task.IncludeRootPath = true;
        task.KeepClientNewFile = true;
        RunResult r = runOnce(task, settings);
        QVERIFY(r.ended);
        QVERIFY2(r.errors.isEmpty(), qPrintable(r.errors));
        QCOMPARE(readFile(local + "Box/keep.txt"), QByteArray("local newer"));
        QCOMPARE(readFile(local + "Box/s/fresh.txt"), QByteArray("server fresh"));
        QVERIFY(!QFile::exists(local + "Box/gone.doc"));
        QCOMPARE(readFile(local + "Box/gone.doc_kx0.doc"), QByteArray("earlier copy"));
        QCOMPARE(readFile(local + "Box/gone.doc_kx1.doc"), QByteArray("local gone"));
        QVERIFY(r.log.contains("This file has been deleted of server"));
        QCOMPARE(r.task.St, quint8(BTS_Completed));
    }

    void worker_fileNoticeOnlyForStoredFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("notices");
        QTest::addRow("stored file") << "plan.txt" << 1;
        QTest::addRow("refused by the server") << "bad*name.txt" << 0;
    }
    void worker_fileNoticeOnlyForStoredFiles()
    {
        QFETCH(QString, name);
        QFETCH(int, notices);
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        Store store(server.dataDir());
        const int group = store.ownerIdByName("R&D", "G");
        const int alice = store.ownerIdByName("alice", "U");
        QVERIFY(group > 0 && alice > 0);
        const QString countSql = "SELECT COUNT(*) FROM messages WHERE user_id=? AND text LIKE '%uploaded new files%'";
        const int before = store.db().value(countSql, {alice}).toInt();
        writeFile(dir.path() + "/Notice/" + name, "content");
        TBatchTransport task = uploadTask(509, dir.path() + "/Notice/", group);
        task.ExtInfo = "[Opr]Remark[/Opr][Remark]from the task[/Remark]";
        RunResult r = runOnce(task, settings);
        QVERIFY(r.ended);
        QCOMPARE(r.errors.isEmpty(), notices == 1);
        QCOMPARE(store.db().value(countSql, {alice}).toInt() - before, notices);
    }

    void worker_connectionFailuresResetAfterAGoodRun()
    {
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        writeFile(dir.path() + "/Flaky/a.txt", "a");
        server.stop();
        TCustomBathFileDeal worker(uploadTask(510, dir.path() + "/Flaky/", owner), settings);
        worker.FEndPauseMs = 0;
        int failures = 0;
        int crashesAtFailure = 0;
        connect(&worker, &TCustomBathFileDeal::fileFailed, &worker, [&](int, int code) {
            ++failures;
            QVERIFY(code == 2 || code == 101);
            crashesAtFailure = worker.Progress().CrashErrorNum;
            server.start();
            worker.StartEx();
        });
        Recorder rec(&worker);
        worker.StartEx();
        QVERIFY(Recorder::waitFor([&] { return rec.ended > 0; }, 60000));
        QCOMPARE(failures, 1);
        QCOMPARE(crashesAtFailure, 1);
        QVERIFY(server.fileAt(owner, "Flaky/a.txt"));
        // The run moved its file: the connection is back and the count starts again.
        QCOMPARE(worker.Progress().CrashErrorNum, 0);
    }

    void worker_hostileServerPathsStayInside()
    {
        // A download list whose paths climb out of the target or are absolute: those
        // entries are refused and listed, and nothing is written outside the target.
        FakeServer fake;
        QVERIFY(fake.ok());
        const QString lines = QStringLiteral(
            "[K]11[/K][Fd]1[/Fd][Dt]2024-01-02 03:04:05[/Dt][Sz]4[/Sz][P]Box/../../evil.txt[/P][D]False[/D]\r\n"
            "[K]12[/K][Fd]1[/Fd][Dt]2024-01-02 03:04:05[/Dt][Sz]4[/Sz][P]/etc/evil.txt[/P][D]False[/D]\r\n"
            "[K]13[/K][Fd]1[/Fd][Dt]not a date[/Dt][Sz]4[/Sz][P]Box/bad-date.txt[/P][D]False[/D]\r\n"
            "[K]14[/K][Fd]1[/Fd][Dt]2024-01-02 03:04:05[/Dt][Sz]4[/Sz][P]Box/ok.txt[/P][D]False[/D]");
        fake.addScript([lines](FakeConn &c) {
            c.readFrame();
            c.writeFrame(80, QString("[F]" + lines + "[/F][Summary][/Summary][FolderInfo]Box/../../up/\r\nBox/in/[/FolderInfo][ErrorTxt][/ErrorTxt]"));
        });
        fake.addScript([](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(8);  // refused: the one sane entry gets as far as the server
        });
        QTemporaryDir dir;
        const TBatchSettings settings = fakeSettings(fake.port(), dir.path());
        TBatchTransport task;
        NewBatchTransport(task);
        task.Id = 511;
        task.TranStyle = TS_Download;
        task.SourceOwnerId = 3;
        task.SourceFolderId = 1;
        task.SourceFolderName = "Box\\";
        task.DestFolderName = dir.path() + "/down/";
        task.IncludeRootPath = false;
        RunResult r = runOnce(task, settings);
        QVERIFY(r.ended);
        QVERIFY2(r.errors.contains("..\\..\\evil.txt") && r.errors.contains("\\etc\\evil.txt") && r.errors.contains("bad-date.txt"),
                 qPrintable(r.errors));
        QVERIFY(r.errors.contains("ok.txt"));
        QCOMPARE(fake.connectionCount(), 2);
        QVERIFY(!QFileInfo::exists(dir.path() + "/evil.txt"));
        QVERIFY(!QFileInfo::exists(dir.path() + "/up"));
        QVERIFY(QFileInfo(dir.path() + "/down/in").isDir());
        const QStringList all = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QCOMPARE(all, QStringList({"down", "index"}));
    }

    void worker_periodicTaskFollowsTheClock()
    {
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        const QString root = dir.path() + "/Tick/";
        writeFile(root + "a.txt", "a");
        TBatchTransport task = uploadTask(506, root, owner);
        task.TaskCyc = 1.0;
        task.TaskStartTime = *ParseTaskTime("08:00:00");
        task.RunEndTime = at(2025, 3, 4, 6, 0);
        std::atomic<double> clock{at(2025, 3, 4, 7, 59)};

        TCustomBathFileDeal worker(task, settings);
        worker.FEndPauseMs = 0;
        worker.FPollMs = 5;
        worker.FNow = [&clock] { return clock.load(); };
        Recorder rec(&worker);
        worker.StartEx();
        QTRY_VERIFY(!rec.states.isEmpty() && rec.states.last() == BTS_Waiting);
        QVERIFY(!Recorder::waitFor([&] { return rec.ended > 0; }, 300));  // 07:59: not yet
        clock = at(2025, 3, 4, 8, 0);
        QVERIFY(Recorder::waitFor([&] { return rec.ended == 1; }, 20000));
        QVERIFY(server.fileAt(owner, "Tick/a.txt"));
        QCOMPARE(worker.TaskInfo().RunEndTime, at(2025, 3, 4, 8, 0));
        // The next period has not begun: nothing runs until 09:00.
        writeFile(root + "b.txt", "b");
        worker.RunEndHandled();
        clock = at(2025, 3, 4, 8, 30);
        QVERIFY(!Recorder::waitFor([&] { return rec.ended > 1; }, 300));
        clock = at(2025, 3, 4, 9, 0);
        QVERIFY(Recorder::waitFor([&] { return rec.ended == 2; }, 20000));
        QVERIFY(server.fileAt(owner, "Tick/b.txt"));
        worker.StopEx();
        QVERIFY(worker.wait(10000));
    }

    void worker_failedPeriodicRunKeepsItsWindow()
    {
        // The share is away at 08:00: that run fails, the next is tried at 09:00 and
        // not at once, and RunEndTime stays at the last run that saw the files, so the
        // files changed while the share was away are still inside the next window.
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        TBatchTransport task = uploadTask(523, dir.path() + "/Away/", owner);
        task.TaskCyc = 1.0;
        task.TaskStartTime = *ParseTaskTime("08:00:00");
        task.RunEndTime = at(2025, 3, 4, 6, 0);
        std::atomic<double> clock{at(2025, 3, 4, 8, 0)};
        TCustomBathFileDeal worker(task, settings);
        worker.FEndPauseMs = 0;
        worker.FPollMs = 5;
        worker.FNow = [&clock] { return clock.load(); };
        Recorder rec(&worker);
        worker.StartEx();
        QVERIFY(Recorder::waitFor([&] { return rec.ended == 1; }, 20000));
        QCOMPARE(worker.Progress().LastRun, TRunEnd::Failed);
        QCOMPARE(worker.TaskInfo().RunEndTime, at(2025, 3, 4, 6, 0));
        worker.RunEndHandled();
        clock = at(2025, 3, 4, 8, 30);
        QVERIFY(!Recorder::waitFor([&] { return rec.ended > 1; }, 300));
        clock = at(2025, 3, 4, 9, 0);
        QVERIFY(Recorder::waitFor([&] { return rec.ended == 2; }, 20000));
        QCOMPARE(worker.TaskInfo().RunEndTime, at(2025, 3, 4, 6, 0));
        worker.StopEx();
        QVERIFY(worker.wait(10000));
    }

    void worker_stopsWhilePaused()
    {
        QTemporaryDir dir;
        TBatchSettings settings;
        settings.IndexFolder = dir.path();
        TCustomBathFileDeal worker(uploadTask(507, dir.path(), 1), settings);
        worker.StartEx();
        worker.PauseEx();
        worker.StopEx();
        QVERIFY(worker.wait(5000));
    }

    void worker_secondRunnerIsRefused()
    {
        QTemporaryDir dir;
        TBatchSettings settings;
        settings.IndexFolder = dir.path();
        QLockFile held(TaskLockFileName(dir.path(), 508));
        QVERIFY(held.tryLock(0));
        TCustomBathFileDeal worker(uploadTask(508, dir.path(), 1), settings);
        Recorder rec(&worker);
        worker.StartEx();
        QTRY_VERIFY(!rec.holder.isEmpty());
        QVERIFY(rec.holder.contains(QString::number(QCoreApplication::applicationPid())));
    }

    void worker_taskRunByAnotherProgramKeepsItsState()
    {
        // Another program runs the task: the worker names it and ends, and the task
        // keeps its state (its owner starts it again once the lock is free).
        QTemporaryDir dir;
        TBatchSettings settings;
        settings.IndexFolder = dir.path();
        LockHolder other(TaskLockFileName(dir.path(), 508));
        QVERIFY2(other.ready(), qPrintable(other.error()));
        TBatchTransport task = uploadTask(508, dir.path(), 1);
        task.St = BTS_Init;
        TCustomBathFileDeal worker(task, settings);
        Recorder rec(&worker);
        worker.StartEx();
        QTRY_VERIFY(!rec.holder.isEmpty());
        QVERIFY2(rec.holder.contains(QString::number(other.pid())), qPrintable(rec.holder));
        QVERIFY(worker.wait(5000));
        QVERIFY(worker.Progress().LockedElsewhere);
        QCOMPARE(worker.Progress().LastRun, TRunEnd::None);
        QVERIFY(!rec.states.contains(BTS_Error) && !rec.states.contains(BTS_Completed));
        QString holder;
        QVERIFY(TaskLockHeldElsewhere(dir.path(), 508, &holder));
    }

    void lock_heldByAnotherProgramIsSeen()
    {
        QTemporaryDir dir;
        QVERIFY(!TaskLockHeldElsewhere(dir.path(), 77));
        {
            LockHolder other(TaskLockFileName(dir.path(), 77));
            QVERIFY2(other.ready(), qPrintable(other.error()));
            // A run of hours keeps its lock: an old lock file of a live holder is no stale lock.
            setMTime(TaskLockFileName(dir.path(), 77), QDateTime::currentDateTime().addSecs(-7200));
            QString holder;
            QVERIFY(TaskLockHeldElsewhere(dir.path(), 77, &holder));
            QVERIFY2(holder.contains(QString::number(other.pid())), qPrintable(holder));
            QVERIFY(TaskLockHolder(dir.path(), 77).contains(QString::number(other.pid())));
            QVERIFY(QFile::exists(TaskLockFileName(dir.path(), 77)));
        }
        QVERIFY(!TaskLockHeldElsewhere(dir.path(), 77));
        QVERIFY(TaskLockHolder(dir.path(), 77).isEmpty());
    }

    void worker_missingSourceFailsTheRun_data()
    {
        QTest::addColumn<bool>("folder");
        QTest::addRow("folder") << true;
        QTest::addRow("single file") << false;
    }

    void worker_missingSourceFailsTheRun()
    {
        // An unmounted share: never "0 of 0 files done", never a completed task.
        QFETCH(bool, folder);
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        const QString source = dir.path() + (folder ? "/share/" : "/share/report.doc");
        TBatchTransport task = uploadTask(512, source, owner);
        task.FF = folder ? FF_Folder : FF_File;
        TCustomBathFileDeal worker(task, settings);
        worker.FEndPauseMs = 0;
        Recorder rec(&worker);
        worker.StartEx();
        QTRY_VERIFY_WITH_TIMEOUT(rec.ended == 1, 30000);
        const TBatchProgress p = worker.Progress();
        QCOMPARE(p.LastRun, TRunEnd::Failed);
        QVERIFY2(p.RunError.contains(QDir::toNativeSeparators(dir.path() + "/share")), qPrintable(p.RunError));
        QVERIFY(worker.TaskInfo().St != BTS_Completed);
        QVERIFY(!rec.states.contains(BTS_Completed));
        QVERIFY(worker.GetErrorLog().contains("share"));
        QVERIFY(!worker.GetLogText().contains("All transfer tasks completed!"));
    }

    void worker_unmountedShareKeepsWhatWasDone()
    {
        // A periodic upload whose folder is away for one run: that run fails, nothing
        // indexed is lost, and once the folder is back only new work goes.
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        const QString root = dir.path() + "/Share/";
        writeFile(root + "a.txt", "alpha");
        TBatchTransport task = uploadTask(513, root, owner);
        task.TaskCyc = 24;
        task.RunEndTime = NowDateTime() - 2;
        RunResult first = runOnce(task, settings);
        QVERIFY(first.ended);
        QCOMPARE(first.transferred, 1);
        QVERIFY(QDir().rename(dir.path() + "/Share", dir.path() + "/Away"));
        task = first.task;
        task.RunEndTime = NowDateTime() - 2;
        RunResult away = runOnce(task, settings);
        QVERIFY(away.ended);
        QCOMPARE(away.transferred, 0);
        QVERIFY2(away.errors.contains("Share"), qPrintable(away.errors));
        QVERIFY(QDir().rename(dir.path() + "/Away", dir.path() + "/Share"));
        writeFile(root + "b.txt", "bravo");
        task = away.task;
        task.RunEndTime = NowDateTime() - 2;
        RunResult back = runOnce(task, settings);
        QVERIFY(back.ended);
        QVERIFY2(back.errors.isEmpty(), qPrintable(back.errors));
        QCOMPARE(back.transferred, 1);
        QCOMPARE(server.versions(owner, "Share/a.txt"), 1);
        QCOMPARE(server.fileAt(owner, "Share/b.txt").value_or("-"), QByteArray("bravo"));
    }

    void worker_unreadableSubFolderIsNamed()
    {
        if (::geteuid() == 0)
            QSKIP("the superuser opens every folder");
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        const QString root = dir.path() + "/Docs/";
        writeFile(root + "a.txt", "alpha");
        writeFile(root + "locked/b.txt", "bravo");
        QVERIFY(QFile::setPermissions(root + "locked", QFileDevice::Permissions()));
        auto restore = qScopeGuard([&] { QFile::setPermissions(root + "locked", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner); });
        TBatchTransport task = uploadTask(514, root, owner);
        RunResult r = runOnce(task, settings);
        QVERIFY(r.ended);
        QVERIFY2(r.errors.contains(root + "locked"), qPrintable(r.errors));
        QVERIFY(r.task.St != BTS_Completed);
        QCOMPARE(server.fileAt(owner, "Docs/a.txt").value_or("-"), QByteArray("alpha"));
    }

    void worker_uploadAnswers_data()
    {
        QTest::addColumn<int>("maxMb");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("stored");
        QTest::addRow("save error") << 200 << 53 << false;
        QTest::addRow("file locked") << 200 << 14 << false;
        QTest::addRow("no parent folder") << 200 << 39 << false;
        QTest::addRow("folder gone") << 200 << 18 << false;
        QTest::addRow("other") << 200 << 127 << false;
        QTest::addRow("create error") << 200 << 11 << false;
        QTest::addRow("a code nobody knows") << 200 << 250 << false;
        QTest::addRow("held already") << 200 << 16 << true;
        QTest::addRow("no size limit given") << 0 << 16 << true;
        QTest::addRow("a negative size limit") << -3 << 16 << true;
    }

    void worker_uploadAnswers()
    {
        // An answer that stored nothing is a failure of the run, tried again at the
        // next one; a server limit of 0 is the 200 MB default, not "every file too large".
        QFETCH(int, maxMb);
        QFETCH(int, code);
        QFETCH(bool, stored);
        FakeServer fake;
        QVERIFY(fake.ok());
        fake.addScript([](FakeConn &c) {
            c.readFrame();
            c.writeFrame(80, QString("[UploadLimitB]0[/UploadLimitB][UploadLimitT]0[/UploadLimitT]"));
        });
        for (int i = 0; i < 2; ++i) {
            fake.addScript([maxMb](FakeConn &c) {
                c.readFrame();
                c.writeFrame(80, QString("[Count]1[/Count][Type0]42[/Type0]"), 65518, maxMb);
            });
        }
        fake.addScript([code](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(code);
            c.writeInt64(0);
        });
        QTemporaryDir dir;
        writeFile(dir.path() + "/src/a.txt", "alpha");
        const TBatchSettings settings = fakeSettings(fake.port(), dir.path());
        TBatchTransport task = uploadTask(515, dir.path() + "/src/", 5);
        task.IncludeRootPath = false;
        TCustomBathFileDeal worker(task, settings);
        worker.FEndPauseMs = 0;
        Recorder rec(&worker);
        worker.StartEx();
        QTRY_VERIFY_WITH_TIMEOUT(rec.ended == 1, 30000);
        QCOMPARE(fake.connectionCount(), 4);
        QVERIFY(!worker.GetLogText().contains("exceeds"));
        const TBatchProgress p = worker.Progress();
        if (stored) {
            QCOMPARE(p.LastRun, TRunEnd::Complete);
            QCOMPARE(worker.TaskInfo().St, quint8(BTS_Completed));
            QVERIFY(worker.GetErrorLog().isEmpty());
            return;
        }
        QCOMPARE(p.LastRun, TRunEnd::Incomplete);
        QVERIFY(worker.TaskInfo().St != BTS_Completed);
        QVERIFY2(worker.GetErrorLog().contains("a.txt"), qPrintable(worker.GetErrorLog()));
        QCOMPARE(p.FinishedCount, 0);
        // The index stays, with the file still to do.
        worker.StopEx();
        QVERIFY(worker.wait(5000));
        TFileIndex index;
        index.TaskId = 515;
        index.IndexFolder = settings.IndexFolder;
        index.Init();
        QVERIFY(index.Load());
        index.StateResetOfUpload();
        QCOMPARE(index.GetUndealFileCount(0), 1);
    }

    void worker_listNotMadeIsAFailedRun_data()
    {
        QTest::addColumn<int>("how");
        QTest::addRow("refused with a text") << 0;
        QTest::addRow("refused with a code") << 1;
        QTest::addRow("connection dropped") << 2;
    }

    void worker_listNotMadeIsAFailedRun()
    {
        QFETCH(int, how);
        FakeServer fake;
        QVERIFY(fake.ok());
        fake.addScript([how](FakeConn &c) {
            c.readFrame();
            if (how == 0)
                c.writeFrame(80, QString("[F][/F][Summary][/Summary][FolderInfo][/FolderInfo][ErrorTxt]System prohibits bulk download[/ErrorTxt]"));
            else if (how == 1)
                c.writeFrame(13, QString());
            else
                c.abort();
        });
        QTemporaryDir dir;
        const TBatchSettings settings = fakeSettings(fake.port(), dir.path());
        TCustomBathFileDeal worker(downloadTask(516, dir.path() + "/down/"), settings);
        worker.FEndPauseMs = 0;
        Recorder rec(&worker);
        worker.StartEx();
        QTRY_VERIFY_WITH_TIMEOUT(rec.ended == 1, 30000);
        const TBatchProgress p = worker.Progress();
        QCOMPARE(p.LastRun, TRunEnd::Failed);
        QVERIFY(!p.RunError.isEmpty());
        QVERIFY(worker.TaskInfo().St != BTS_Completed);
        QVERIFY(!rec.states.contains(BTS_Completed));
        QVERIFY2(worker.GetErrorLog().contains(p.RunError), qPrintable(worker.GetErrorLog()));
    }

    void worker_listStoppedDoesNotEndTheRun()
    {
        // Stopped while the server prepares the list: the run is not over, and the
        // task is not "completed" with no files.
        FakeServer fake;
        QVERIFY(fake.ok());
        std::atomic<bool> asked{false};
        fake.addScript([&asked](FakeConn &c) {
            c.readFrame();
            asked = true;
            c.readAll(5000);
        });
        QTemporaryDir dir;
        const TBatchSettings settings = fakeSettings(fake.port(), dir.path());
        TCustomBathFileDeal worker(downloadTask(517, dir.path() + "/down/"), settings);
        worker.FEndPauseMs = 0;
        Recorder rec(&worker);
        worker.StartEx();
        QTRY_VERIFY_WITH_TIMEOUT(asked.load(), 10000);
        worker.StopEx();
        QVERIFY(worker.wait(10000));
        QCoreApplication::processEvents();
        QCOMPARE(rec.ended, 0);
        QVERIFY(!rec.states.contains(BTS_Completed));
        QVERIFY(worker.TaskInfo().St != BTS_Completed);
        QCOMPARE(worker.Progress().LastRun, TRunEnd::None);
    }

    void worker_stopDuringFailureWaitIsKept()
    {
        // The owner stops the worker just as a file fails: the worker must end, not wait
        // for an answer that will never come.
        FakeServer fake;
        QVERIFY(fake.ok());
        fake.addScript([](FakeConn &c) {
            c.readFrame();
            c.writeFrame(80, QString("[UploadLimitB]0[/UploadLimitB][UploadLimitT]0[/UploadLimitT]"));
        });
        for (int i = 0; i < 2; ++i) {
            fake.addScript([](FakeConn &c) {
                c.readFrame();
                c.writeFrame(80, QString("[Count]1[/Count][Type0]42[/Type0]"), 65518, 200);
            });
        }
        fake.addScript([](FakeConn &c) {
            c.readFileRequest();
            c.writeInt32(5);  // the user is disabled: the owner decides
            c.writeInt64(0);
        });
        QTemporaryDir dir;
        writeFile(dir.path() + "/src/a.txt", "alpha");
        const TBatchSettings settings = fakeSettings(fake.port(), dir.path());
        TCustomBathFileDeal worker(uploadTask(518, dir.path() + "/src/", 5), settings);
        worker.FEndPauseMs = 0;
        // On the worker's thread, after the file failed and before the worker waits.
        QObject::connect(&worker, &TCustomBathFileDeal::showLogInfo, &worker, [&worker](int, const QString &line) {
            if (line.contains("disabled"))
                worker.StopEx();
        }, Qt::DirectConnection);
        worker.StartEx();
        QVERIFY(worker.wait(10000));
    }

    void worker_vanishedFileIsReportedOnce()
    {
        // Indexed, then deleted before it went: said once, then gone from the task,
        // not a failure of every later run.
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        const QString root = dir.path() + "/Docs/";
        writeFile(root + "a.txt", "alpha");
        writeFile(root + "gone.txt", "soon gone");
        {
            TFileIndex index;
            index.TaskId = 519;
            index.IndexFolder = settings.IndexFolder;
            index.Init();
            QVERIFY(index.Load());
            index.AppendFileInfo({root + "gone.txt"});
            QCOMPARE(index.Count(), 1);
        }
        QVERIFY(QFile::remove(root + "gone.txt"));
        TBatchTransport task = uploadTask(519, root, owner);
        task.TaskCyc = 24;
        task.RunEndTime = NowDateTime() - 2;
        RunResult first = runOnce(task, settings);
        QVERIFY(first.ended);
        QVERIFY2(first.errors.isEmpty(), qPrintable(first.errors));
        QCOMPARE(first.log.count("gone.txt  no longer exists"), 1);
        QCOMPARE(server.fileAt(owner, "Docs/a.txt").value_or("-"), QByteArray("alpha"));
        task = first.task;
        task.RunEndTime = NowDateTime() - 2;
        RunResult second = runOnce(task, settings);
        QVERIFY(second.ended);
        QVERIFY2(second.errors.isEmpty(), qPrintable(second.errors));
        QVERIFY(!second.log.contains("gone.txt"));
        TFileIndex index;
        index.TaskId = 519;
        index.IndexFolder = settings.IndexFolder;
        index.Init();
        QVERIFY(index.Load());
        QCOMPARE(index.Count(), 1);
    }

    void worker_periodicUploadKeepsTheUserDates()
    {
        // The run window narrows the user's date filter; it never replaces it.
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        const QString root = dir.path() + "/Dated/";
        writeFile(root + "inside.txt", "in");
        writeFile(root + "too-new.txt", "new");
        const QDateTime now = QDateTime::currentDateTime();
        setMTime(root + "inside.txt", now.addSecs(-3 * 3600));
        setMTime(root + "too-new.txt", now.addSecs(-600));
        TBatchTransport task = uploadTask(520, root, owner);
        task.TaskCyc = 24;
        task.RunEndTime = NowDateTime() - 2;
        task.FileStartDate = QDateTimeToDateTime(now.addDays(-10));
        task.FileEndDate = QDateTimeToDateTime(now.addSecs(-3600));
        RunResult r = runOnce(task, settings);
        QVERIFY(r.ended);
        QCOMPARE(r.transferred, 1);
        QVERIFY(server.fileAt(owner, "Dated/inside.txt"));
        QVERIFY(!server.fileAt(owner, "Dated/too-new.txt"));

        // A user filter that ends before the run window starts: nothing at all.
        task = r.task;
        task.Id = 521;
        task.TaskCyc = 1;
        task.RunEndTime = NowDateTime() - 0.5;
        task.FileEndDate = QDateTimeToDateTime(now.addDays(-5));
        RunResult none = runOnce(task, settings);
        QVERIFY(none.ended);
        QCOMPARE(none.transferred, 0);
    }

    void log_keepsABoundedHistory_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<int>("runs");
        QTest::addColumn<int>("maxRuns");
        QTest::addColumn<int>("maxBytes");
        QTest::addColumn<QStringList>("expected");
        const QString start = "2026-12-11 10:00:00Task initialization...";
        QTest::addRow("last runs kept") << QByteArray() << 5 << 3 << 100000
                                        << QStringList{start, "run 2", start, "run 3", start, "run 4"};
        QTest::addRow("size cut whole lines") << QByteArray() << 3 << 20 << 2 + 2 * (int(start.size()) + 2) + 2 * 2 * 7
                                              << QStringList{"run 1", start, "run 2"};
        QTest::addRow("torn last line cut") << QByteArray("\xFF\xFE") + le("old\r\ntor") << 1 << 20 << 100000
                                            << QStringList{"old", start, "run 0"};
        QTest::addRow("odd byte cut") << QByteArray("\xFF\xFE") + le("old\r\n") + "\x41" << 1 << 20 << 100000
                                      << QStringList{"old", start, "run 0"};
    }

    void log_keepsABoundedHistory()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, runs);
        QFETCH(int, maxRuns);
        QFETCH(int, maxBytes);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QString path = dir.path() + "/7.log";
        if (!before.isEmpty())
            writeFile(path, before);
        for (int i = 0; i < runs; ++i) {
            QString error;
            QVERIFY2(AppendTaskLog(path, {"2026-12-11 10:00:00Task initialization...", QStringLiteral("run %1").arg(i)}, &error,
                                   maxRuns, maxBytes),
                     qPrintable(error));
        }
        const QByteArray bytes = readFile(path);
        QVERIFY(bytes.startsWith("\xFF\xFE"));
        QVERIFY(bytes.size() <= maxBytes);
        QStringList lines = fromLe(bytes.mid(2)).split("\r\n");
        QCOMPARE(lines.takeLast(), QString());
        QCOMPARE(lines, expected);
    }

    void worker_logKeepsEarlierRunsAndHandsOutNewLines()
    {
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        writeFile(dir.path() + "/Logs/a.txt", "alpha");
        TBatchTransport task = uploadTask(522, dir.path() + "/Logs/", owner);
        for (int run = 0; run < 2; ++run) {
            TCustomBathFileDeal worker(task, settings);
            worker.FEndPauseMs = 0;
            QStringList handed;
            qint64 next = 0;
            bool contiguous = true;
            QObject::connect(&worker, &TCustomBathFileDeal::logAppended, &worker,
                             [&](int, qint64 first, const QStringList &lines) {
                                 contiguous = contiguous && first == next;
                                 next = first + lines.size();
                                 handed += lines;
                             }, Qt::QueuedConnection);
            Recorder rec(&worker);
            worker.StartEx();
            QTRY_VERIFY_WITH_TIMEOUT(rec.ended == 1, 30000);
            QTRY_COMPARE(handed.join("\r\n"), worker.GetLogText());
            QVERIFY(contiguous);
            QCOMPARE(worker.LogLinesSince(2).join("\r\n"), handed.mid(2).join("\r\n"));
            worker.StopEx();
            QVERIFY(worker.wait(5000));
        }
        const QString log = fromLe(readFile(dir.path() + "/index/522.log").mid(2));
        QCOMPARE(log.count("Task initialization..."), 2);
    }
    // ---- The command-line client

    void cli_usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addRow("nothing") << QStringList{};
        QTest::addRow("unknown command") << QStringList{"frobnicate"};
        QTest::addRow("bad server") << QStringList{"--server", "localhost", "login"};
        QTest::addRow("run without id") << QStringList{"task", "run"};
        QTest::addRow("period under a minute") << QStringList{"task", "add", "--upload", "--source", ".", "--dest", "x", "--owner", "5", "--period", "0.5"};
        QTest::addRow("bad language") << QStringList{"--lang", "7", "task", "list"};
    }
    void cli_usageErrors()
    {
        QFETCH(QStringList, args);
        const ProgramRun r = runCli(args, 20000);
        QCOMPARE(r.code, 2);
        QVERIFY(!r.err.isEmpty());
    }

    void cli_runsHandWrittenTask()
    {
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        const QString root = dir.path() + "/Hand/";
        writeFile(root + "one.txt", "one");
        writeFile(root + "two/three.bin", QByteArray(70000, '3'));
        // Written the way another writer of the format would, line by line.
        const QString text = QStringLiteral(
            "[TaskCount]1[/TaskCount]\r\n[Cond_4242][Id]4242[/Id]\r\n[St]1[/St]\r\n[TranStyle]1[/TranStyle]\r\n[FF]2[/FF]\r\n"
            "[DestOwnerId]%1[/DestOwnerId]\r\n[DestFolderId]0[/DestFolderId]\r\n[DFN]Hand\\[/DFN]\r\n[SourceOwnerId]0[/SourceOwnerId]\r\n"
            "[SourceFolderId]0[/SourceFolderId]\r\n[SFN]%2[/SFN]\r\n[MinSize]0[/MinSize]\r\n[MaxSize]0[/MaxSize]\r\n"
            "[FileStartDate]2024-12-09 15:47:07[/FileStartDate]\r\n[FileEndDate]2024-12-08 15:47:07[/FileEndDate]\r\n"
            "[TaskStartTime]15:47:07[/TaskStartTime]\r\n[TaskCyc]-1.00[/TaskCyc]\r\n[MaxSize]0[/MaxSize]\r\n[SubFolder]-1[/SubFolder]\r\n"
            "[RunStartTime]2024-12-09 15:47:17[/RunStartTime]\r\n[RunEndTime]1924-12-09 15:47:07[/RunEndTime]\r\n"
            "[Dc_Types][Count]0[/Count][/Dc_Types]\r\n[FilePrtParams][/FilePrtParams]\r\n[IncludeRootPath]-1[/IncludeRootPath]\r\n"
            "[KeepNewFileOfDownload]-1[/KeepNewFileOfDownload]\r\n[SC]0[/SC]\r\n[ExtInfo][/ExtInfo]\r\n[/Cond_4242]\r\n").arg(owner).arg(root);
        QVERIFY(WriteUnicodeTextFile(GetTempFolder() + "btr.sys", text));

        const ProgramRun run4242 = runCli({"--server", server.address(), "--user", "demo", "task", "run", "4242"});
        QVERIFY2(run4242.code == 0, qPrintable(run4242.failText()));
        QCOMPARE(server.fileAt(owner, "Hand/one.txt").value_or("-"), QByteArray("one"));
        QCOMPARE(server.fileAt(owner, "Hand/two/three.bin").value_or("-"), QByteArray(70000, '3'));

        const ProgramRun statusRun = runCli({"task", "status", "4242", "--json"}, 20000);
        const QJsonObject status = QJsonDocument::fromJson(statusRun.out.toUtf8()).object();
        QCOMPARE(status.value("done").toBool(), true);
        QCOMPARE(status.value("state").toInt(), int(BTS_Completed));
        // The rest of the hand-written task is as it was.
        TBatchTranConfig config;
        TBatchTransport back;
        QVERIFY(config.GetTask(4242, back));
        QCOMPARE(back.SourceFolderName, root);
        QCOMPARE(back.TaskStartTime, *ParseTaskTime("15:47:07"));
    }

    void cli_failureGivesOneLineAndNonZero()
    {
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        TBatchTranConfig config;
        TBatchTransport task = uploadTask(4343, dir.path() + "/gone.doc", owner);
        task.FF = FF_File;
        task.DestFolderId = 1;  // not a folder of this owner
        config.AddTask(task);
        QVERIFY(config.Save());
        const ProgramRun r = runCli({"--server", server.address(), "--user", "demo", "task", "run", "4343"});
        QCOMPARE(r.code, 1);
        // The summary goes to stderr, apart from the progress.
        const QString outText = r.err;
        QVERIFY2(outText.contains("Failed: 1 file(s) not transferred; first failure: task 4343: ") && outText.contains("gone.doc"),
                 qPrintable(outText));
    }

    void cli_secondRunnerNamesTheHolder()
    {
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        TBatchTranConfig config;
        TBatchTransport task = uploadTask(4444, dir.path(), owner);
        config.AddTask(task);
        QVERIFY(config.Save());
        QDir().mkpath(BatchIndexFolder());
        QLockFile held(TaskLockFileName(BatchIndexFolder(), 4444));
        QVERIFY(held.tryLock(0));
        const ProgramRun r = runCli({"--server", server.address(), "--user", "demo", "task", "run", "4444"});
        QCOMPARE(r.code, 1);
        QVERIFY(r.out.contains(QString::number(QCoreApplication::applicationPid())));
    }

    void cli_killedRunsResumeAndStoreEachFileOnce()
    {
        // A short form of the crash-safety script: SIGKILL at a few points of an upload run.
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        const QString root = dir.path() + "/Crash/";
        for (int i = 0; i < 150; ++i)
            writeFile(root + QStringLiteral("d%1/f%2.bin").arg(i % 7).arg(i), QByteArray(2000 + i * 37, char('a' + i % 26)));
        TBatchTranConfig config;
        TBatchTransport task = uploadTask(4545, root, owner);
        config.AddTask(task);
        QVERIFY(config.Save());
        const QStringList args{"--server", server.address(), "--user", "demo", "task", "run", "4545"};
        for (int kill = 0; kill < 3; ++kill) {
            QProcess p;
            p.setProcessEnvironment(cliEnvironment());
            p.start(binPath("zudivuvo-cli"), args);
            QVERIFY(p.waitForStarted());
            // Kill once some files of this run went.
            countLines(p, "Start Transmission", 10 + kill * 7, 60000);
            ::kill(pid_t(p.processId()), SIGKILL);
            QVERIFY(p.waitForFinished(10000));
            TFileIndex index;
            index.TaskId = 4545;
            index.IndexFolder = BatchIndexFolder();
            index.Init();
            QVERIFY(index.Load());
        }
        const ProgramRun last = runCli(args, 120000);
        QVERIFY2(last.code == 0, qPrintable(last.failText()));
        for (int i = 0; i < 150; ++i) {
            const QString path = QStringLiteral("Crash/d%1/f%2.bin").arg(i % 7).arg(i);
            QCOMPARE(server.fileAt(owner, path).value_or("-"), QByteArray(2000 + i * 37, char('a' + i % 26)));
            QCOMPARE(server.versions(owner, path), 1);
        }
    }
    void cli_ctrlCStopsCleanlyAndTheNextRunGoesOn()
    {
        ServerRun run;
        auto &[server, dir, owner, settings] = run;
        const QString root = dir.path() + "/Stop/";
        for (int i = 0; i < 120; ++i)
            writeFile(root + QStringLiteral("f%1.bin").arg(i), QByteArray(300000, char('A' + i % 26)));
        TBatchTranConfig config;
        TBatchTransport task = uploadTask(4646, root, owner);
        config.AddTask(task);
        QVERIFY(config.Save());
        const QStringList args{"--server", server.address(), "--user", "demo", "task", "run", "4646"};
        QProcess p;
        p.setProcessEnvironment(cliEnvironment());
        p.start(binPath("zudivuvo-cli"), args);
        QVERIFY(p.waitForStarted());
        countLines(p, "Start Transmission", 5, 60000);
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 130);
        config.Reload();
        TBatchTransport stopped;
        QVERIFY(config.GetTask(4646, stopped));
        // Only "task pause" stores a pause: an interrupted run keeps the stored state.
        QCOMPARE(stopped.St, task.St);
        QVERIFY(TaskLockHolder(BatchIndexFolder(), 4646).isEmpty());
        TFileIndex index;
        index.TaskId = 4646;
        index.IndexFolder = BatchIndexFolder();
        index.Init();
        QVERIFY(index.Load());
        const int doneBefore = index.GetAllCount(0) - index.GetUndealFileCount(0);
        QVERIFY(doneBefore > 0 && doneBefore < 120);

        const ProgramRun next = runCli(args, 120000);
        QCOMPARE(next.code, 0);
        // Only what was left went in the second run.
        QVERIFY(next.out.contains(QStringLiteral("%1 files need to be processed").arg(120 - doneBefore)));
        for (int i = 0; i < 120; ++i) {
            const QString path = QStringLiteral("Stop/f%1.bin").arg(i);
            QCOMPARE(server.fileAt(owner, path).value_or("-"), QByteArray(300000, char('A' + i % 26)));
            QCOMPARE(server.versions(owner, path), 1);
        }
    }
};

// "--add-tasks <folder> <first id> <count>": the second process of the shared
// task-file test; every other argument list runs the tests.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("--hold-lock")) {
        QLockFile lock(args.at(2));
        if (!lock.tryLock(0))
            return 1;
        fprintf(stdout, "locked\n");
        fflush(stdout);
        // Held until the test closes our input.
        char buf[64];
        while (fread(buf, 1, sizeof buf, stdin) > 0) {
        }
        return 0;
    }
    if (args.size() == 5 && args.at(1) == QLatin1String("--add-tasks")) {
        TBatchTranConfig config(args.at(2), args.at(2) + "/index");
        const int first = args.at(3).toInt();
        for (int i = 0; i < args.at(4).toInt(); ++i) {
            TBatchTransport t = uploadTask(first + i, "/theirs/", 5);
            QString error;
            if (!UpdateTaskFile(config, [&](TBatchTranConfig &c) { c.AddTask(t); }, &error)) {
                fprintf(stderr, "%s\n", qPrintable(error));
                return 1;
            }
            fprintf(stdout, "added %d\n", first + i);
            fflush(stdout);
        }
        return 0;
    }
    TstBatch tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_batch.moc"
