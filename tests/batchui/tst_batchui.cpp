// The batch task manager: its decisions, and the window against the reference
// server: stored tasks start after login, pause and resume, delete twice.
#include "batchui/batchfiledealmainfrm.h"
#include "net/robottcpclient.h"
#include "core/helpers.h"
#include "testenv.h"

#include "docserver.h"
#include "seed.h"
#include "store.h"

#include <QAction>
#include <QMenu>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

class Server
{
public:
    Server()
    {
        ServerOptions options;
        options.dataDir = m_dir.path();
        options.port = 0;
        m_server = std::make_unique<DocServer>(options);
        QString error;
        if (!m_server->start(&error))
            qFatal("server start failed: %s", qPrintable(error));
        Store store(m_dir.path());
        if (!seedDemo(store, &error))
            qFatal("seed failed: %s", qPrintable(error));
    }
    TBatchSettings login(const QString &indexFolder, int &ownerId)
    {
        TRobotTcpClient c;
        c.Host = QStringLiteral("127.0.0.1");
        c.Port = m_server->port();
        TLoginReply reply;
        if (c.Login(QStringLiteral("demo"), QStringLiteral("demo"), LoginMacValue(), c.Host, QString::number(c.Port), &reply)
            != st::LoginOk)
            qFatal("login failed");
        TBatchSettings s;
        s.Conn.Host = c.Host;
        s.Conn.Port = c.Port;
        s.Conn.EncryptId = reply.UserId;
        s.Conn.Language = HSL_ENG;
        s.IndexFolder = indexFolder;
        s.ConfigFolder = indexFolder;
        ownerId = reply.UserId2;
        return s;
    }
    bool hasFile(int owner, const QString &folderName, const QString &name)
    {
        Store store(m_dir.path());
        const qint64 folder = store.findFolder(owner, 0, folderName);
        return folder != 0 && store.fileByName(folder, name).has_value();
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<DocServer> m_server;
};

// A task file with one upload task of the folder "Docs" in state st.
struct TaskFolder {
    QTemporaryDir dir;
    QString index() const { return dir.path() + "/index"; }
    TBatchTransport store(qint32 id, int owner, quint8 st)
    {
        writeFile(dir.path() + "/Docs/a.txt", "alpha");
        TBatchTransport t;
        NewBatchTransport(t);
        t.Id = id;
        t.TranStyle = TS_Upload;
        t.FF = FF_Folder;
        t.SourceFolderName = dir.path() + "/Docs/";
        t.DestOwnerId = owner;
        t.DestFolderName = QStringLiteral("...");
        t.IncludeRootPath = true;
        t.TaskCyc = -1;
        t.St = st;
        TBatchTranConfig config(dir.path(), index());
        config.SetTask(t);
        config.Save();
        return t;
    }
    quint8 storedState(qint32 id)
    {
        TBatchTranConfig config(dir.path(), index());
        TBatchTransport t;
        return config.GetTask(id, t) ? t.St : quint8(BTS_Unknown);
    }
    bool stored(qint32 id)
    {
        TBatchTranConfig config(dir.path(), index());
        return config.HasTask(id);
    }
};

int shownState(TBatchFileDealMainFrm &frm, qint32 id)
{
    auto *grid = frm.findChild<QTableWidget *>("sgTaskList");
    const int row = frm.RowOf(id);
    return row < 0 ? -1 : grid->item(row, 0)->data(kBatchStateRole).toInt();
}

double shownScale(TBatchFileDealMainFrm &frm, qint32 id)
{
    auto *grid = frm.findChild<QTableWidget *>("sgTaskList");
    const int row = frm.RowOf(id);
    return row < 0 ? -1 : grid->item(row, 4)->data(kBatchScaleRole).toDouble();
}

QAction *menuEntry(TBatchFileDealMainFrm &frm, const char *name)
{
    return frm.TaskMenu()->findChild<QAction *>(QLatin1String(name));
}

} // namespace

class TstBatchUi : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestHome> m_home;

private Q_SLOTS:
    void initTestCase() { m_home = std::make_unique<TestHome>(); }

    void failDecision_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("failures");
        QTest::addColumn<bool>("restart");
        QTest::addRow("lost connection, first") << 2 << 1 << true;
        QTest::addRow("no connection, second") << 101 << 2 << true;
        QTest::addRow("timeout") << 127 << 0 << true;
        QTest::addRow("third connection failure") << 2 << 3 << false;
        QTest::addRow("beyond three") << 101 << 7 << false;
        QTest::addRow("refused by the server") << 5 << 0 << false;
        QTest::addRow("run could not start") << 0 << 0 << false;
    }
    void failDecision()
    {
        QFETCH(int, code);
        QFETCH(int, failures);
        QFETCH(bool, restart);
        QCOMPARE(BatchFailDecision(code, failures) == TBatchFailDecision::Restart, restart);
    }

    void storedUploadRunsAfterLoginAndShowsDone()
    {
        Server server;
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = server.login(folder.index(), owner);
        folder.store(41, owner, BTS_Init);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.Manager().WorkerEndPauseMs = 0;
        frm.resize(900, 500);
        frm.show();
        frm.UMRobotStartAll(settings);
        QVERIFY(frm.RowOf(41) >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(shownState(frm, 41), int(BTS_Completed), 30000);
        QCOMPARE(shownScale(frm, 41), 1.0);
        QVERIFY(server.hasFile(owner, "Docs", "a.txt"));
        QCOMPARE(folder.storedState(41), quint8(BTS_Completed));
        QCOMPARE(frm.GetUnOverTaskNum(), 0);
        // A second 1240 does not start the tasks again.
        frm.UMRobotStartAll(settings);
        QVERIFY(!frm.Manager().HasWorker(41));
    }

    void pausedTaskWaitsThenResumesFromTheMenu()
    {
        Server server;
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = server.login(folder.index(), owner);
        folder.store(42, owner, BTS_Paused);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.Manager().WorkerEndPauseMs = 0;
        frm.UMRobotStartAll(settings);
        QVERIFY(frm.Manager().HasWorker(42));
        QCOMPARE(shownState(frm, 42), int(BTS_Paused));
        frm.SelectTask(42);
        QVERIFY(menuEntry(frm, "pm_Start")->isEnabled());
        QVERIFY(!menuEntry(frm, "pm_Pause")->isEnabled());
        QVERIFY(!server.hasFile(owner, "Docs", "a.txt"));

        menuEntry(frm, "pm_Start")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(folder.storedState(42), quint8(BTS_Completed), 30000);
        QVERIFY(server.hasFile(owner, "Docs", "a.txt"));
    }

    void pauseStopsARunningTaskAndIsStored()
    {
        Server server;
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = server.login(folder.index(), owner);
        TBatchTransport t = folder.store(43, owner, BTS_Running);
        // Periodic, due only at the end of the day: the worker waits for its time rule.
        t.TaskCyc = 24;
        t.TaskStartTime = 0.99999;
        {
            TBatchTranConfig config(folder.dir.path(), folder.index());
            config.SetTask(t);
            config.Save();
        }
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.UMRobotStartAll(settings);
        frm.SelectTask(43);
        QVERIFY(menuEntry(frm, "pm_Pause")->isEnabled());
        menuEntry(frm, "pm_Pause")->trigger();
        QCOMPARE(folder.storedState(43), quint8(BTS_Paused));
        QTRY_COMPARE(shownState(frm, 43), int(BTS_Paused));
        QVERIFY(menuEntry(frm, "pm_Start")->isEnabled());
        QVERIFY(!menuEntry(frm, "pm_Pause")->isEnabled());
        QCOMPARE(frm.GetUnOverTaskNum(), 0);
    }

    void deleteGoesToTheDustbinThenOut()
    {
        TaskFolder folder;
        folder.store(44, 5, BTS_Completed);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.SelectList(BTL_UploadDone);
        frm.SelectTask(44);
        frm.actDel();
        QCOMPARE(frm.RowOf(44), -1);
        QCOMPARE(folder.storedState(44), quint8(BTS_Deleted));
        frm.SelectList(BTL_UploadDustbin);
        QVERIFY(frm.RowOf(44) >= 0);
        frm.SelectTask(44);
        frm.actDel();
        QVERIFY(!folder.stored(44));
    }
};

QTEST_MAIN(TstBatchUi)
#include "tst_batchui.moc"
