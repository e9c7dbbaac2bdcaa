// The batch task manager: its decisions, and the window against the reference
// server: stored tasks start after login, pause and resume, delete twice.
#include "batchui/batchdownloadfrm.h"
#include "batchui/batchfiledealmainfrm.h"
#include "batchui/taskaddfrm.h"
#include "core/clientconfigx.h"
#include "core/fileext.h"
#include "core/helpers.h"
#include "files/filemagfrm.h"
#include "net/robottcpclient.h"
#include "platform/prompter.h"
#include "batchlogin.h"
#include "recordingprompter.h"
#include "refserver.h"
#include "testenv.h"
#include "testfiles.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextDocument>
#include <QToolButton>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTreeWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

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
    frm.EnsureUi();
    auto *grid = frm.findChild<QTableWidget *>("sgTaskList");
    const int row = frm.RowOf(id);
    return row < 0 ? -1 : grid->item(row, 0)->data(kBatchStateRole).toInt();
}

double shownScale(TBatchFileDealMainFrm &frm, qint32 id)
{
    frm.EnsureUi();
    auto *grid = frm.findChild<QTableWidget *>("sgTaskList");
    const int row = frm.RowOf(id);
    return row < 0 ? -1 : grid->item(row, 4)->data(kBatchScaleRole).toDouble();
}

QAction *menuEntry(TBatchFileDealMainFrm &frm, const char *name)
{
    return frm.TaskMenu()->findChild<QAction *>(QLatin1String(name));
}

// A configuration of a logged-in user of the server behind settings.
std::unique_ptr<TClientConfigX> makeConfig(const QString &folder, const TBatchSettings &settings)
{
    auto config = std::make_unique<TClientConfigX>(folder + "/rvc.sys");
    config->SetServerHost(settings.Conn.Host);
    config->SetServerPort(settings.Conn.Port);
    config->SetEncryptId(settings.Conn.EncryptId);
    config->SetLanguage(HSL_ENG);
    config->Save();
    return config;
}

TBatchTransport folderUpload(const QString &source, qint32 owner, qint64 folder)
{
    TBatchTransport t;
    NewBatchTransport(t);
    t.TranStyle = TS_Upload;
    t.FF = FF_Folder;
    t.SourceFolderName = source;
    t.DestOwnerId = owner;
    t.DestFolderId = folder;
    t.DestFolderName = QStringLiteral("Docs");
    return t;
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
        RefServer server(RefServer::Setup::serverTimeouts());
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), folder.index(), &owner);
        folder.store(41, owner, BTS_Init);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.Manager().WorkerEndPauseMs = 0;
        frm.resize(900, 500);
        frm.show();
        frm.UMRobotStartAll(settings);
        QVERIFY(frm.RowOf(41) >= 0);
        // The worker shows the state as its run closes; the row is final once the run has ended.
        QTRY_VERIFY_WITH_TIMEOUT(shownState(frm, 41) == int(BTS_Completed) && !frm.Manager().HasWorker(41), 30000);
        QCOMPARE(shownScale(frm, 41), 1.0);
        QVERIFY(server.fileKey(owner, "Docs", "a.txt") != 0);
        QCOMPARE(folder.storedState(41), quint8(BTS_Completed));
        QCOMPARE(frm.GetUnOverTaskNum(), 0);
        // A second 1240 does not start the tasks again.
        frm.UMRobotStartAll(settings);
        QVERIFY(!frm.Manager().HasWorker(41));
    }

    void taskPageIsBuiltWhenFirstShown()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), folder.index(), &owner);
        folder.store(47, owner, BTS_Paused);
        QWidget stack;
        auto *frm = new TBatchFileDealMainFrm(&stack, HSL_ENG, folder.dir.path(), folder.index());
        frm->hide();
        stack.show();
        frm->UMRobotStartAll(settings);
        // The tasks run, but a page nobody opened holds no widgets.
        QVERIFY(frm->Manager().HasWorker(47));
        QVERIFY(!frm->findChild<QTableWidget *>("sgTaskList"));
        frm->show();
        auto *grid = frm->findChild<QTableWidget *>("sgTaskList");
        QVERIFY(grid);
        QVERIFY(grid->isVisible());
        // Shown as a start of all tasks shows it: the active uploads, the first one selected.
        QCOMPARE(frm->RowOf(47), 0);
        QCOMPARE(frm->SelectedTask(), 47);
    }

    void pausedTaskWaitsThenResumesFromTheMenu()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), folder.index(), &owner);
        folder.store(42, owner, BTS_Paused);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.Manager().WorkerEndPauseMs = 0;
        frm.UMRobotStartAll(settings);
        QVERIFY(frm.Manager().HasWorker(42));
        QCOMPARE(shownState(frm, 42), int(BTS_Paused));
        frm.SelectTask(42);
        QVERIFY(menuEntry(frm, "pm_Start")->isEnabled());
        QVERIFY(!menuEntry(frm, "pm_Pause")->isEnabled());
        QCOMPARE(server.fileKey(owner, "Docs", "a.txt"), qint64(0));

        menuEntry(frm, "pm_Start")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(folder.storedState(42), quint8(BTS_Completed), 30000);
        QVERIFY(server.fileKey(owner, "Docs", "a.txt") != 0);
    }

    void pauseStopsARunningTaskAndIsStored()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), folder.index(), &owner);
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

    // Restart on a finished one-off task: its index and exclusions go, and it runs again over every file.
    void restartRunsACompletedTaskAgainFromScratch()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), folder.index(), &owner);
        folder.store(45, owner, BTS_Completed);
        writeFile(folder.index() + "/45.ivd", "1\r\n");
        writeFile(folder.index() + "/45.fln", "stale");
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.Manager().WorkerEndPauseMs = 0;
        frm.UMRobotStartAll(settings);
        QVERIFY(!frm.Manager().HasWorker(45));
        frm.SelectList(BTL_UploadDone);
        frm.SelectTask(45);
        QVERIFY(menuEntry(frm, "pm_Restart")->isEnabled());
        menuEntry(frm, "pm_Restart")->trigger();
        QVERIFY(!QFileInfo::exists(folder.index() + "/45.ivd"));
        QTRY_VERIFY_WITH_TIMEOUT(server.fileKey(owner, "Docs", "a.txt") != 0, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(folder.storedState(45), quint8(BTS_Completed), 30000);
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
    // The log of a task is shown again with each progress report; a reader in
    // the middle of it keeps his place, one at its end follows the new lines.
    void logReaderKeepsThePlace_data()
    {
        QTest::addColumn<bool>("atEnd");
        QTest::addRow("reading in the middle") << false;
        QTest::addRow("reading the last lines") << true;
    }
    void logReaderKeepsThePlace()
    {
        QFETCH(bool, atEnd);
        TaskFolder folder;
        folder.store(46, 5, BTS_Completed);
        QByteArray log;
        for (int i = 0; i < 400; ++i)
            log += "line " + QByteArray::number(i) + "\r\n";
        writeFile(folder.index() + "/46.log", log);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.resize(900, 500);
        frm.show();
        frm.SelectList(BTL_UploadDone);
        frm.SelectTask(46);
        auto *memo = frm.findChild<QPlainTextEdit *>("moLog");
        frm.findChild<QTabWidget *>("PageControl1")->setCurrentWidget(memo);
        QVERIFY(memo->toPlainText().startsWith("line 0"));
        QScrollBar *bar = memo->verticalScrollBar();
        QVERIFY(bar->maximum() > 100);
        const int place = atEnd ? bar->maximum() : bar->maximum() / 2;
        bar->setValue(place);

        writeFile(folder.index() + "/46.log", log + "line 400\r\nline 401\r\n");
        Q_EMIT frm.Manager().taskChanged(46);
        QVERIFY(memo->toPlainText().contains("line 401"));
        if (atEnd) {
            QVERIFY(bar->value() > place);
            QCOMPARE(bar->value(), bar->maximum());
        } else {
            QCOMPARE(bar->value(), place);
        }
        // Nothing new: the text is left as it is.
        bar->setValue(place - 3);
        Q_EMIT frm.Manager().taskChanged(46);
        QCOMPARE(bar->value(), place - 3);
    }

    void collectTask_data()
    {
        QTest::addColumn<bool>("sizeOn");
        QTest::addColumn<QString>("minSize");
        QTest::addColumn<QString>("maxSize");
        QTest::addColumn<QString>("types");
        QTest::addColumn<QString>("cyc");
        QTest::addColumn<int>("check");
        QTest::addColumn<qint64>("minBytes");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<int>("typeCount");
        QTest::addColumn<double>("taskCyc");
        const int ok = int(TTaskCheck::Ok), errSize = int(TTaskCheck::ErrSize);
        QTest::addRow("size 0 to 100 KB") << true << "0" << "100" << "*.*" << "" << ok << 0LL << 102400LL << 0 << -1.0;
        QTest::addRow("size 100 to 50 KB") << true << "100" << "50" << "*.*" << "" << errSize << 0LL << 0LL << 0 << -1.0;
        QTest::addRow("size not a number") << true << "1x" << "50" << "*.*" << "" << errSize << 0LL << 0LL << 0 << -1.0;
        QTest::addRow("size beyond 64 bits") << true << "0" << "99999999999999999" << "*.*" << "" << errSize << 0LL << 0LL
                                            << 0 << -1.0;
        QTest::addRow("two types") << false << "" << "" << " *.doc,*.xls " << "" << ok << 0LL << 0LL << 2 << -1.0;
        QTest::addRow("a star among the types is every type") << false << "" << "" << "*.doc,*" << "" << ok << 0LL << 0LL
                                                              << 0 << -1.0;
        QTest::addRow("half-hour period") << false << "" << "" << "*.*" << "0.5" << ok << 0LL << 0LL << 0 << 0.5;
        QTest::addRow("unreadable period") << false << "" << "" << "*.*" << "abc" << ok << 0LL << 0LL << 0 << 1.0;
    }
    void collectTask()
    {
        QFETCH(bool, sizeOn);
        QFETCH(QString, minSize);
        QFETCH(QString, maxSize);
        QFETCH(QString, types);
        QFETCH(QString, cyc);
        QFETCH(int, check);
        QTemporaryDir dir;
        const TTaskAddTexts texts(HSL_ENG);
        TTaskAddContext ctx;
        TBatchTransport task = folderUpload(dir.path(), 5, 7);
        TTaskForm form = TaskToForm(task, ctx, texts);
        form.SizeOn = sizeOn;
        form.MinSize = minSize;
        form.MaxSize = maxSize;
        form.Types = types;
        form.Scheduled = !cyc.isEmpty();
        form.Cyc = cyc;
        QCOMPARE(int(CollectTask(form, task, ctx, texts, [] { return false; })), check);
        if (check != int(TTaskCheck::Ok))
            return;
        QTEST(task.MinSize, "minBytes");
        QTEST(task.MaxSize, "maxBytes");
        QTEST(int(task.Types.size()), "typeCount");
        QTEST(task.TaskCyc, "taskCyc");
        if (task.Types.size() == 2)
            QCOMPARE(task.Types, (QList<qint32>{qint32(FileExtCode("doc")), qint32(FileExtCode("xls"))}));
        QVERIFY(task.SourceFolderName.endsWith(u'/'));
    }

    void downloadTargetIsCreatedOnlyWhenTheUserAgrees()
    {
        QTemporaryDir dir;
        const TTaskAddTexts texts(HSL_ENG);
        TTaskAddContext ctx;
        TBatchTransport task;
        NewBatchTransport(task);
        task.TranStyle = TS_Download;
        task.FF = FF_Folder;
        task.SourceOwnerId = 3;
        task.SourceFolderName = QStringLiteral("\\Docs\\Sub\\");
        task.DestFolderName = dir.path() + "/fetched";
        TTaskForm form = TaskToForm(task, ctx, texts);
        QCOMPARE(int(CollectTask(form, task, ctx, texts, [] { return false; })), int(TTaskCheck::Refused));
        QVERIFY(!QFileInfo::exists(dir.path() + "/fetched"));
        QCOMPARE(int(CollectTask(form, task, ctx, texts, [] { return true; })), int(TTaskCheck::Ok));
        QVERIFY(QFileInfo(dir.path() + "/fetched").isDir());
        QCOMPARE(task.SourceFolderName, QStringLiteral("Sub\\"));
        QCOMPARE(task.DestFolderName, dir.path() + "/fetched/");
    }

    void versionRemark_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("extInfo");
        QTest::addRow("left at the hint") << TTaskAddTexts(HSL_ENG).WLS_VersionRemark << "";
        QTest::addRow("blank") << "  " << "";
        QTest::addRow("a remark") << " second draft " << "[Opr]Remark[/Opr][Remark]second draft[/Remark]";
    }
    void versionRemark()
    {
        QFETCH(QString, typed);
        QTemporaryDir dir;
        const TTaskAddTexts texts(HSL_ENG);
        TTaskAddContext ctx;
        ctx.VersionRemark = true;
        TBatchTransport task = folderUpload(dir.path(), 5, 7);
        task.ExtInfo = QStringLiteral("[Opr]Remark[/Opr][Remark]old[/Remark]");
        TTaskForm form = TaskToForm(task, ctx, texts);
        QCOMPARE(form.Remark, QStringLiteral("old"));
        form.Remark = typed;
        QCOMPARE(int(CollectTask(form, task, ctx, texts, [] { return false; })), int(TTaskCheck::Ok));
        QTEST(task.ExtInfo, "extInfo");
    }

    void taskEnds_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("owner");
        QTest::addColumn<qint64>("folder");
        QTest::addColumn<bool>("includeRoot");
        QTest::addColumn<int>("check");
        QTest::addRow("upload to an owner's top level") << int(TS_Upload) << 5 << 0LL << false << int(TTaskCheck::SelDFolder);
        QTest::addRow("upload as a sub-folder of the top level") << int(TS_Upload) << 5 << 0LL << true << int(TTaskCheck::Ok);
        QTest::addRow("upload without an owner") << int(TS_Upload) << 0 << 9LL << false << int(TTaskCheck::SelOwner);
        QTest::addRow("download without an owner") << int(TS_Download) << 0 << 9LL << false << int(TTaskCheck::SelSOwner);
        QTest::addRow("download of an owner's folder") << int(TS_Download) << 5 << 9LL << false << int(TTaskCheck::Ok);
    }
    void taskEnds()
    {
        QFETCH(int, style);
        QFETCH(int, owner);
        QFETCH(qint64, folder);
        QFETCH(bool, includeRoot);
        TBatchTransport t;
        t.TranStyle = TTranStyle(style);
        t.DestOwnerId = t.SourceOwnerId = owner;
        t.DestFolderId = t.SourceFolderId = folder;
        t.IncludeRootPath = includeRoot;
        QTEST(int(CheckTaskEnds(t)), "check");
    }

    void pendingTaskText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("includeRoot");
        QTest::addColumn<int>("check");
        QTest::addColumn<QString>("destName");
        const QString topLevel = "[TranStyle]1[/TranStyle][FF]2[/FF][OwnerId]5[/OwnerId][SourceId]0[/SourceId]";
        QTest::addRow("top level without the root folder") << topLevel << false << int(TPendingTaskCheck::SelectFolder) << "...";
        QTest::addRow("top level as a sub-folder") << topLevel << true << int(TPendingTaskCheck::Ok) << "...";
        QTest::addRow("no owner") << "[TranStyle]1[/TranStyle][FF]2[/FF][SourceId]4[/SourceId]" << true
                                  << int(TPendingTaskCheck::ErrData) << "...";
        QTest::addRow("download of a folder") << "[TranStyle]2[/TranStyle][FF]2[/FF][OwnerId]5[/OwnerId][SourceId]4[/SourceId]"
                                                 "[SourceName]Plans[/SourceName]"
                                              << false << int(TPendingTaskCheck::Ok) << "";
    }
    void pendingTaskText()
    {
        QFETCH(QString, text);
        QFETCH(bool, includeRoot);
        TBatchTransport t;
        QTEST(int(PendingTaskRecord(text, includeRoot, t)), "check");
        QTEST(t.DestFolderName, "destName");
        if (t.TranStyle == TS_Download) {
            QCOMPARE(t.SourceOwnerId, 5);
            QCOMPARE(t.SourceFolderId, 4);
            QCOMPARE(t.SourceFolderName, QStringLiteral("Plans"));
        }
    }

    // The editor's controls, the scratch index with one file left out, the
    // manager and the worker, against the server.
    void editorBuildsAnUploadTaskThatRunsWithoutTheExcludedFile()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), folder.index(), &owner);
        auto config = makeConfig(folder.dir.path(), settings);
        writeFile(folder.dir.path() + "/Docs/keep.txt", "keep");
        writeFile(folder.dir.path() + "/Docs/skip.txt", "skip");
        RecordingPrompter prompter;
        TPrompter::SetInstance(&prompter);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.Manager().WorkerEndPauseMs = 0;
        frm.SetConfig(config.get());
        frm.UMRobotStartAll(settings);
        int listed = -1;
        frm.FRunEditor = [&](TTaskAddFrm &editor) {
            editor.Pickers.PickLocalFolder = [&](QWidget *, const QString &, const QString &, QString &path) {
                path = folder.dir.path() + "/Docs";
                return true;
            };
            editor.Pickers.SelectFiles = [&](QWidget *, const TTaskScratchIndex &index, const QString &, QList<qint64> &out) {
                listed = int(index.Files().size());
                for (const TTidyFile &f : index.Files())
                    if (f.Path.endsWith("skip.txt"))
                        out << f.PathHash;
                return true;
            };
            editor.show();
            QTest::mouseClick(editor.BitBtn2, Qt::LeftButton);
            QCOMPARE(editor.edtSourceFolderName->text(), folder.dir.path() + "/Docs");
            editor.cbkIncludeRoot->setChecked(true);
            QTest::mouseClick(editor.bbtSelectItems, Qt::LeftButton);
            QVERIFY(editor.plG->isVisible());
            QTRY_VERIFY_WITH_TIMEOUT(!editor.IsLoading(), 30000);
            QVERIFY(!editor.plG->isVisible());
            QTest::mouseClick(editor.BitBtn4, Qt::LeftButton);
        };
        TBatchTransport t;
        NewBatchTransport(t);
        t.Id = 61;
        t.TranStyle = TS_Upload;
        t.FF = FF_Folder;
        t.DestOwnerId = owner;
        t.DestFolderName = QStringLiteral("...");
        frm.AppendTask(t);
        TPrompter::SetInstance(nullptr);
        QCOMPARE(prompter.shown, QStringList());
        QCOMPARE(listed, 2);
        TBatchTransport stored;
        QVERIFY(frm.Manager().Task(61, stored));
        QTRY_COMPARE_WITH_TIMEOUT(folder.storedState(61), quint8(BTS_Completed), 30000);
        QVERIFY(server.fileKey(owner, "Docs", "keep.txt") != 0);
        QCOMPARE(server.fileKey(owner, "Docs", "skip.txt"), qint64(0));
        // The scratch index went with the editor.
        QTRY_COMPARE(QDir(folder.index()).entryList({"edit-*"}, QDir::Dirs).size(), 0);
    }

    void cancellingTheEditorKeepsTheTaskIndexAndExclusions()
    {
        TaskFolder folder;
        TBatchTransport t = folder.store(62, 5, BTS_Paused);
        writeFile(folder.index() + "/62.fln", "index");
        writeFile(folder.index() + "/62.ivd", "12345\r\n");
        TBatchSettings settings;
        settings.Conn.Host = QStringLiteral("127.0.0.1");
        settings.Conn.Port = 1;
        settings.Conn.EncryptId = QStringLiteral("x");
        auto config = makeConfig(folder.dir.path(), settings);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.SetConfig(config.get());
        frm.SelectList(BTL_UploadActive);
        frm.SelectTask(62);
        bool scratchHadExclusions = false;
        frm.FRunEditor = [&](TTaskAddFrm &editor) {
            editor.Pickers.SelectFiles = [&](QWidget *, const TTaskScratchIndex &index, const QString &, QList<qint64> &) {
                scratchHadExclusions = std::any_of(index.Files().cbegin(), index.Files().cend(),
                                                   [](const TTidyFile &f) { return f.Dealed == dl::Excluded; });
                return false;
            };
            editor.show();
            QTest::mouseClick(editor.bbtSelectItems, Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!editor.IsLoading(), 30000);
            QTest::mouseClick(editor.BitBtn5, Qt::LeftButton);
        };
        menuEntry(frm, "pm_ResetTaskInfo")->trigger();
        QVERIFY(!scratchHadExclusions);   // the key names no file of the folder
        QVERIFY(QFileInfo(folder.index() + "/62.ivd").size() > 0);
        QVERIFY(QFileInfo::exists(folder.index() + "/62.fln"));
        QCOMPARE(folder.storedState(62), quint8(BTS_Paused));
        QTRY_COMPARE(QDir(folder.index()).entryList({"edit-*"}, QDir::Dirs).size(), 0);
    }

    // A task command that comes while the editor is open (its loop runs) brings
    // that editor forward instead of opening a second one over it.
    void commandWhileTheEditorIsOpenRaisesIt_data()
    {
        QTest::addColumn<int>("entry");
        QTest::addRow("bulk task from the file manager") << 0;
        QTest::addRow("task from a web page") << 1;
        QTest::addRow("modify settings") << 2;
    }
    void commandWhileTheEditorIsOpenRaisesIt()
    {
        QFETCH(int, entry);
        TaskFolder folder;
        const TBatchTransport stored = folder.store(67, 5, BTS_Paused);
        TBatchSettings settings;
        settings.Conn.Host = QStringLiteral("127.0.0.1");
        settings.Conn.Port = 1;
        settings.Conn.EncryptId = QStringLiteral("x");
        auto config = makeConfig(folder.dir.path(), settings);
        RecordingPrompter prompter;
        TPrompter::SetInstance(&prompter);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.SetConfig(config.get());
        frm.SelectList(BTL_UploadActive);
        frm.SelectTask(67);
        frm.show();
        int opened = 0;
        bool raised = false;
        frm.FRunEditor = [&](TTaskAddFrm &editor) {
            if (++opened > 1)
                return;   // a second editor: counted, then gone
            editor.show();
            frm.activateWindow();
            QTRY_COMPARE(QApplication::activeWindow(), &frm);
            switch (entry) {
            case 0: frm.AppendTask(folderUpload(folder.dir.path() + "/Docs/", 5, 9)); break;
            case 1:
                frm.FPendingTask = QStringLiteral("[TranStyle]2[/TranStyle][FF]2[/FF][OwnerId]5[/OwnerId][SourceId]4[/SourceId]"
                                                  "[SourceName]Plans[/SourceName]");
                frm.AppendTask();
                break;
            default: menuEntry(frm, "pm_ResetTaskInfo")->trigger(); break;
            }
            QTRY_VERIFY(QApplication::activeWindow() == &editor);
            raised = editor.isVisible();
            QTest::mouseClick(editor.BitBtn5, Qt::LeftButton);
        };
        frm.AppendTask(stored);
        QCOMPARE(opened, 1);
        QVERIFY(raised);
        // Once it is closed, the next command opens an editor again.
        frm.FRunEditor = [&](TTaskAddFrm &) { ++opened; };
        menuEntry(frm, "pm_ResetTaskInfo")->trigger();
        TPrompter::SetInstance(nullptr);
        QCOMPARE(opened, 2);
        QCOMPARE(prompter.shown, QStringList());
        QCOMPARE(folder.storedState(67), quint8(BTS_Paused));
    }

    void modifiedSettingsReachTheStoreAndTheWorker()
    {
        TaskFolder folder;
        folder.store(65, 5, BTS_Paused);
        TBatchSettings settings;
        settings.Conn.Host = QStringLiteral("127.0.0.1");
        settings.Conn.Port = 1;
        settings.Conn.EncryptId = QStringLiteral("x");
        auto config = makeConfig(folder.dir.path(), settings);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.SetConfig(config.get());
        frm.UMRobotStartAll(settings);
        QVERIFY(frm.Manager().HasWorker(65));
        frm.SelectTask(65);
        frm.FRunEditor = [&](TTaskAddFrm &editor) {
            QCOMPARE(editor.edtSourceFolderName->text(), folder.dir.path() + "/Docs/");
            editor.rbTime2->setChecked(true);
            editor.cbxCyc->setCurrentText(QStringLiteral("6"));
            QTest::mouseClick(editor.BitBtn4, Qt::LeftButton);
        };
        menuEntry(frm, "pm_ResetTaskInfo")->trigger();
        TBatchTranConfig stored(folder.dir.path(), folder.index());
        TBatchTransport t;
        QVERIFY(stored.GetTask(65, t));
        QCOMPARE(t.TaskCyc, 6.0);
        TBatchTaskRow row;
        QVERIFY(frm.Manager().Row(65, row));
        QVERIFY(row.HasWorker);
        QCOMPARE(row.Task.TaskCyc, 6.0);
        QCOMPARE(int(row.Task.St), int(BTS_Paused));
    }

    // A worker waiting for a server that never answers holds neither a stop nor the close.
    void stopAndCloseDoNotWaitForASilentServer()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        TaskFolder folder;
        TBatchTransport t;
        NewBatchTransport(t);
        t.Id = 63;
        t.TranStyle = TS_Download;
        t.FF = FF_Folder;
        t.SourceOwnerId = 5;
        t.SourceFolderName = QStringLiteral("Docs\\");
        t.DestFolderName = folder.dir.path() + "/down/";
        t.TaskCyc = -1;
        t.St = BTS_Init;
        {
            TBatchTranConfig config(folder.dir.path(), folder.index());
            config.SetTask(t);
            t.Id = 64;
            config.SetTask(t);
            config.Save();
        }
        TBatchSettings settings;
        settings.Conn.Host = QStringLiteral("127.0.0.1");
        settings.Conn.Port = silent.serverPort();
        settings.Conn.EncryptId = QStringLiteral("x");
        settings.IndexFolder = folder.index();
        auto manager = std::make_unique<TBatchTaskManager>(folder.dir.path(), folder.index());
        manager->SetSettings(settings);
        manager->StartAllTasks();
        // Both workers wait for the list of their folder.
        QList<QTcpSocket *> held;
        auto accepted = [&] {
            while (silent.hasPendingConnections())
                held << silent.nextPendingConnection();
            return int(held.size());
        };
        QTRY_COMPARE(accepted(), 2);

        // Far below the read time-out either way; sanitizer builds run several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        const qint64 limit = 3000;
#else
        const qint64 limit = 1000;
#endif
        QElapsedTimer timer;
        timer.start();
        manager->Delete(63);
        QVERIFY2(timer.elapsed() < limit, qPrintable(QString::number(timer.elapsed())));
        QTRY_VERIFY_WITH_TIMEOUT(TaskLockHolder(folder.index(), 63).isEmpty(), 3000);

        timer.restart();
        manager.reset();
        QVERIFY2(timer.elapsed() < limit, qPrintable(QString::number(timer.elapsed())));
        QTRY_VERIFY_WITH_TIMEOUT(TaskLockHolder(folder.index(), 64).isEmpty(), 3000);
        QCOMPARE(folder.storedState(63), quint8(BTS_Deleted));
    }

    // Log-out stops every worker and keeps the task as it stands; the next
    // login's start runs it again under the new session, not the old one.
    void logOutStopsTheTasksAndTheNextLoginRunsThemAgain()
    {
        QTcpServer first, second;
        QVERIFY(first.listen(QHostAddress::LocalHost));
        QVERIFY(second.listen(QHostAddress::LocalHost));
        TaskFolder folder;
        TBatchTransport t;
        NewBatchTransport(t);
        t.Id = 65;
        t.TranStyle = TS_Download;
        t.FF = FF_Folder;
        t.SourceOwnerId = 5;
        t.SourceFolderName = QStringLiteral("Docs\\");
        t.DestFolderName = folder.dir.path() + "/down/";
        t.TaskCyc = -1;
        t.St = BTS_Init;
        {
            TBatchTranConfig config(folder.dir.path(), folder.index());
            config.SetTask(t);
            config.Save();
        }
        auto settingsOf = [&](const QTcpServer &server, const char *id) {
            TBatchSettings s;
            s.Conn.Host = QStringLiteral("127.0.0.1");
            s.Conn.Port = server.serverPort();
            s.Conn.EncryptId = QString::fromLatin1(id);
            s.IndexFolder = folder.index();
            return s;
        };
        TBatchTaskManager manager(folder.dir.path(), folder.index());
        manager.SetSettings(settingsOf(first, "ann"));
        QVERIFY(manager.StartAllTasks());
        QList<QTcpSocket *> held;
        QTRY_VERIFY(first.hasPendingConnections());
        held << first.nextPendingConnection();

        manager.StopAllTasks();
        QVERIFY(!manager.HasWorker(65));
        QVERIFY(!manager.IsAutoRun());
        QCOMPARE(manager.GetUnOverTaskNum(), 0);
        // Nothing is written at log-out: the task is stored as it was, unfinished.
        QCOMPARE(folder.storedState(65), quint8(BTS_Init));
        QTRY_VERIFY_WITH_TIMEOUT(TaskLockHolder(folder.index(), 65).isEmpty(), 3000);

        manager.SetSettings(settingsOf(second, "bo"));
        QVERIFY(manager.StartAllTasks());
        QTRY_VERIFY(second.hasPendingConnections());
        QVERIFY(!first.hasPendingConnections());
        QVERIFY(manager.HasWorker(65));
        manager.StopAllTasks();
        QTRY_VERIFY_WITH_TIMEOUT(TaskLockHolder(folder.index(), 65).isEmpty(), 3000);
    }

    // A task another program runs is shown so in the window's language, naming that program.
    void taskRunningElsewhereIsSaidInTheInterfaceLanguage_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("expected");
        QTest::addRow("English") << int(HSL_ENG) << "Task 66 is running in %1 (pid %2 on %3)";
        QTest::addRow("Chinese") << int(HSL_CN) << "任务 66 正在以下程序中运行：%1（主机 %3 上的进程 %2）";
    }
    void taskRunningElsewhereIsSaidInTheInterfaceLanguage()
    {
        QFETCH(int, language);
        QFETCH(QString, expected);
        TaskFolder folder;
        folder.store(66, 5, BTS_Init);
        QDir().mkpath(folder.index());
        QLockFile held(TaskLockFileName(folder.index(), 66));
        QVERIFY(held.tryLock(0));
        qint64 pid = 0;
        QString host, app;
        QVERIFY(held.getLockInfo(&pid, &host, &app));
        TBatchSettings settings;
        settings.Conn.Host = QStringLiteral("127.0.0.1");
        settings.Conn.Port = 1;
        settings.Conn.EncryptId = QStringLiteral("x");
        settings.Conn.Language = THS_Language(language);
        settings.IndexFolder = folder.index();
        TBatchTaskManager manager(folder.dir.path(), folder.index());
        manager.SetSettings(settings);
        QVERIFY(manager.StartAllTasks());
        TBatchTaskRow row;
        QTRY_VERIFY(manager.Row(66, row) && !row.LastLog.isEmpty());
        QCOMPARE(row.LastLog, expected.arg(app, QString::number(pid), host));
        QVERIFY2(manager.LogText(66).contains(row.LastLog), qPrintable(manager.LogText(66)));
    }

    // Another program (the terminal) adds, pauses and deletes tasks while the
    // window runs: the window shows each change within seconds and its own
    // saves keep them.
    void changesByAnotherProgramReachTheRunningWindow()
    {
        TaskFolder folder;
        folder.store(71, 5, BTS_Paused);
        TBatchSettings settings;
        settings.Conn.Host = QStringLiteral("127.0.0.1");
        settings.Conn.Port = 1;
        settings.Conn.EncryptId = QStringLiteral("x");
        settings.IndexFolder = folder.index();
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.UMRobotStartAll(settings);
        QVERIFY(frm.RowOf(71) >= 0);
        {
            TBatchTranConfig other(folder.dir.path(), folder.index());
            TBatchTransport t;
            QVERIFY(other.GetTask(71, t));
            t.Id = 72;
            t.St = BTS_Paused;
            other.AddTask(t);
            QVERIFY(other.Save());
        }
        QTRY_VERIFY_WITH_TIMEOUT(frm.RowOf(72) >= 0, 5000);
        QVERIFY(frm.Manager().HasWorker(72));
        {
            TBatchTranConfig other(folder.dir.path(), folder.index());
            other.DelTask(71);
            QVERIFY(other.Save());
        }
        QTRY_VERIFY_WITH_TIMEOUT(frm.RowOf(71) < 0, 5000);
        QVERIFY(!frm.Manager().HasWorker(71));
        // The window's own save (a pause) keeps what the other program stored.
        frm.Manager().Pause(72);
        QVERIFY(!folder.stored(71));
        QCOMPARE(folder.storedState(72), quint8(BTS_Paused));
    }

    // "Modify settings" stores what the editor changed, over what the file holds
    // by then: a state or run time stored meanwhile stays.
    void modifiedSettingsKeepWhatOthersStoredMeanwhile()
    {
        TaskFolder folder;
        folder.store(73, 5, BTS_Paused);
        auto settings = TBatchSettings();
        settings.Conn.Host = QStringLiteral("127.0.0.1");
        settings.Conn.Port = 1;
        settings.Conn.EncryptId = QStringLiteral("x");
        auto config = makeConfig(folder.dir.path(), settings);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.SetConfig(config.get());
        frm.SelectList(BTL_UploadActive);
        frm.SelectTask(73);
        const TDateTime ranAt = QDateTimeToDateTime(QDateTime(QDate(2026, 12, 10), QTime(22, 15, 0)));
        frm.FRunEditor = [&](TTaskAddFrm &editor) {
            // While the editor is open, another program stores a run of the task.
            TBatchTranConfig other(folder.dir.path(), folder.index());
            TBatchTransport t;
            QVERIFY(other.GetTask(73, t));
            t.St = BTS_Error;
            t.RunEndTime = ranAt;
            other.SetTask(t);
            QVERIFY(other.Save());
            editor.rbTime2->setChecked(true);
            editor.cbxCyc->setCurrentText(QStringLiteral("6"));
            QTest::mouseClick(editor.BitBtn4, Qt::LeftButton);
        };
        menuEntry(frm, "pm_ResetTaskInfo")->trigger();
        TBatchTranConfig stored(folder.dir.path(), folder.index());
        TBatchTransport t;
        QVERIFY(stored.GetTask(73, t));
        QCOMPARE(t.TaskCyc, 6.0);
        QCOMPARE(int(t.St), int(BTS_Error));
        QCOMPARE(t.RunEndTime, ranAt);
    }

    // The manager makes new tasks itself: "New task" opens the editor on a bulk
    // upload, and the task it saves is stored and listed.
    void newTaskActionOpensTheEditor()
    {
        TaskFolder folder;
        TBatchSettings settings;
        settings.Conn.Host = QStringLiteral("127.0.0.1");
        settings.Conn.Port = 1;
        settings.Conn.EncryptId = QStringLiteral("x");
        auto config = makeConfig(folder.dir.path(), settings);
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.SetConfig(config.get());
        QVERIFY(menuEntry(frm, "pm_NewTask"));
        auto *button = frm.findChild<QToolButton *>("sbNewTask");
        QVERIFY(button);
        QCOMPARE(button->text(), QStringLiteral("New task"));
        bool opened = false;
        frm.FRunEditor = [&](TTaskAddFrm &editor) {
            opened = true;
            QCOMPARE(editor.lbStyle->text(), QStringLiteral("Bulk upload"));
        };
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(opened);
    }

    // The Log tab takes each new line of a running task as it comes, instead of
    // setting the whole log again (which loses the selection and costs a full layout).
    void logTabAppendsTheNewLines()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), folder.index(), &owner);
        TBatchTransport t = folder.store(74, owner, BTS_Paused);
        for (int i = 0; i < 20; ++i)
            writeFile(folder.dir.path() + QStringLiteral("/Docs/f%1.txt").arg(i), QByteArray::number(i));
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.Manager().WorkerEndPauseMs = 0;
        frm.resize(900, 500);
        frm.show();
        frm.UMRobotStartAll(settings);
        frm.SelectTask(74);
        auto *memo = frm.findChild<QPlainTextEdit *>("moLog");
        frm.findChild<QTabWidget *>("PageControl1")->setCurrentWidget(memo);
        int removed = 0;
        connect(memo->document(), &QTextDocument::contentsChange, this, [&](int, int charsRemoved, int) { removed += charsRemoved; });
        menuEntry(frm, "pm_Start")->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(folder.storedState(74), quint8(BTS_Completed), 30000);
        QTRY_VERIFY(memo->toPlainText().contains("f19.txt"));
        QCOMPARE(removed, 0);
        QVERIFY(memo->toPlainText().contains(QStringLiteral("All transfer tasks completed!")));
    }

    // The row, the counts and the details tell one story: after a periodic run
    // the bar is full and the counts are the run's; after Pause and Start the
    // state shown in the row and in the details is the same.
    void periodicRunEndsWithOneStory()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), folder.index(), &owner);
        TBatchTransport t = folder.store(75, owner, BTS_Waiting);
        writeFile(folder.dir.path() + "/Docs/b.txt", "beta");
        // Daily, its slot began a minute ago: the run goes now and then waits a day.
        const TDateTime now = NowDateTime();
        t.TaskCyc = 24;
        t.TaskStartTime = now - std::floor(now) - 1.0 / 1440;
        t.RunStartTime = 0;
        {
            TBatchTranConfig config(folder.dir.path(), folder.index());
            config.SetTask(t);
            QVERIFY(config.Save());
        }
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.Manager().WorkerEndPauseMs = 0;
        frm.resize(900, 500);
        frm.show();
        frm.UMRobotStartAll(settings);
        frm.SelectTask(75);
        QTRY_VERIFY_WITH_TIMEOUT(server.fileKey(owner, "Docs", "b.txt") != 0, 30000);
        auto storedRunEnd = [&] {
            TBatchTranConfig config(folder.dir.path(), folder.index());
            TBatchTransport s;
            return config.GetTask(75, s) ? s.RunEndTime : 0.0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(storedRunEnd() > 0, 30000);
        QTRY_COMPARE(shownScale(frm, 75), 1.0);
        auto *grid = frm.findChild<QTableWidget *>("sgTaskList");
        QTRY_COMPARE(grid->item(frm.RowOf(75), 3)->text(), QStringLiteral(" total 2, Completed 2"));
        QCOMPARE(frm.findChild<QLabel *>("lbNumInfo")->text(), QStringLiteral("2/2"));

        auto *state = frm.findChild<QLabel *>("lbSt");
        menuEntry(frm, "pm_Pause")->trigger();
        QTRY_COMPARE(shownState(frm, 75), int(BTS_Paused));
        QCOMPARE(state->text(), TaskStateText(BTS_Paused, HSL_ENG));
        QCOMPARE(folder.storedState(75), quint8(BTS_Paused));
        menuEntry(frm, "pm_Start")->trigger();
        QTRY_VERIFY(shownState(frm, 75) != int(BTS_Paused));
        QTRY_COMPARE(state->text(), TaskStateText(shownState(frm, 75), HSL_ENG));
        QCOMPARE(grid->item(frm.RowOf(75), 3)->text(), QStringLiteral(" total 2, Completed 2"));
        QCOMPARE(shownScale(frm, 75), 1.0);
    }

    // The "Transfer conditions" page names the file types the task takes.
    void conditionsShowTheFileTypes()
    {
        TaskFolder folder;
        TBatchTransport t = folder.store(76, 5, BTS_Completed);
        t.Types = ParseTaskTypes(QStringLiteral("*.doc,*.xls"));
        {
            TBatchTranConfig config(folder.dir.path(), folder.index());
            config.SetTask(t);
            QVERIFY(config.Save());
        }
        TBatchFileDealMainFrm frm(nullptr, HSL_ENG, folder.dir.path(), folder.index());
        frm.SelectList(BTL_UploadDone);
        frm.SelectTask(76);
        const QString shown = frm.findChild<QPlainTextEdit *>("moTaskInfo")->toPlainText();
        QVERIFY2(shown.contains("*.doc") && shown.contains("*.xls"), qPrintable(shown));
    }

    // The bulk download opens a single file only when it cannot run as a program.
    void bulkDownloadOpensOnlySafeFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("openedItself");
        QTest::addRow("text") << "notes.txt" << QByteArray("plain notes\n") << true;
        QTest::addRow("shell script") << "run.sh" << QByteArray("#!/bin/sh\necho hi\n") << false;
        QTest::addRow("desktop entry") << "app.desktop" << QByteArray("[Desktop Entry]\nType=Application\nExec=sh\n") << false;
        QTest::addRow("java archive") << "tool.jar" << QByteArray("PK\x03\x04 not really a jar") << false;
    }
    void bulkDownloadOpensOnlySafeFiles()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, body);
        QFETCH(bool, openedItself);
        RefServer server(RefServer::Setup::serverTimeouts());
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), folder.index(), &owner);
        auto config = makeConfig(folder.dir.path(), settings);
        const QString local = folder.dir.path() + "/up/" + name;
        writeFile(local, body);
        TTidyFile file;
        file.Path = local;
        QVERIFY(LocalFileStat(file.Path, file.Size, file.ModifyDT));
        file.NameHash = qint32(NameHash32(file.Path));
        file.Kind = FileExtCode(QFileInfo(local).suffix());
        qint64 key = 0;
        {
            auto c = settings.Conn.MakeClient(30000);
            QCOMPARE(int(c->UploadFile(owner, QString(), key, file, server.folderId(owner, "Personal"))), 3);
        }
        QVERIFY(key > 0);
        TBatchDownloadFrm frm(*config, HSL_ENG);
        QStringList opened;
        frm.FOpen = [&](const QString &path) {
            opened << path;
            return true;
        };
        QVERIFY(frm.Init({key}, {name}));
        const QString target = folder.dir.path() + "/down";
        QDir().mkpath(target);
        frm.Edit1->setText(target);
        frm.show();
        QTest::mouseClick(frm.btConfirm, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!frm.Controller().IsBusy(), 30000);
        QCOMPARE(frm.Controller().Downloaded(), 1);
        QCOMPARE(opened.size(), 1);
        QCOMPARE(QFileInfo(opened.first()).isFile(), openedItself);
    }

    void bulkDownloadLists_data()
    {
        QTest::addColumn<QList<qint64>>("keys");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("local");
        QTest::addRow("path names keep their last part") << QList<qint64>{7, 8} << QStringList{"/Docs/a.txt", "b.txt"}
                                                         << QStringList{"a.txt", "b.txt"};
        QTest::addRow("one name from two folders") << QList<qint64>{7, 8, 9} << QStringList{"/A/plan.docx", "/B/plan.docx", "/C/Plan.docx"}
                                                   << QStringList{"plan.docx", "plan (2).docx", "Plan (3).docx"};
        QTest::addRow("a renamed copy's name is taken too") << QList<qint64>{7, 8, 9} << QStringList{"x (2).txt", "/A/x.txt", "/B/x.txt"}
                                                            << QStringList{"x (2).txt", "x.txt", "x (3).txt"};
        QTest::addRow("names without an extension") << QList<qint64>{7, 8, 9} << QStringList{"/A/README", "/B/README", "/C/.profile"}
                                                    << QStringList{"README", "README (2)", ".profile"};
        QTest::addRow("more names than keys") << QList<qint64>{7} << QStringList{"a.txt", "b.txt"} << QStringList{};
        QTest::addRow("a key that is no key") << QList<qint64>{7, 0} << QStringList{"a.txt", "b.txt"} << QStringList{};
        QTest::addRow("a name that climbs") << QList<qint64>{7} << QStringList{"/Docs/.."} << QStringList{};
        QTest::addRow("a backslash path") << QList<qint64>{7} << QStringList{"..\\..\\evil.txt"} << QStringList{};
        QTest::addRow("an empty list") << QList<qint64>{} << QStringList{} << QStringList{};
        QTest::addRow("too many files") << QList<qint64>(TBulkDownload::kMaxFiles + 1, 7)
                                        << QStringList(TBulkDownload::kMaxFiles + 1, "a.txt") << QStringList{};
    }
    void bulkDownloadLists()
    {
        QFETCH(QList<qint64>, keys);
        QFETCH(QStringList, names);
        QFETCH(QStringList, local);
        TBulkDownload d(TServerConn(), HSL_ENG);
        QCOMPARE(d.Init(keys, names), !local.isEmpty());
        QStringList got;
        for (const TBulkDownloadItem &i : d.Items())
            got << i.Name;
        QCOMPARE(got, local);
    }

    void bulkDownloadFetchesTheFilesAndKeepsANewerLocalCopy()
    {
        RefServer server(RefServer::Setup::serverTimeouts());
        TaskFolder folder;
        int owner = 0;
        const TBatchSettings settings = batchLogin(server.port(), folder.index(), &owner);
        auto config = makeConfig(folder.dir.path(), settings);
        const qint64 todo = server.fileKey(owner, "Personal", "Todo.txt");
        QVERIFY(todo > 0);
        const QString target = folder.dir.path() + "/down";
        writeFile(target + "/Newer.txt", "mine");
        QFile newer(target + "/Newer.txt");
        QVERIFY(newer.open(QIODevice::ReadWrite));
        QVERIFY(newer.setFileTime(QDateTime::currentDateTime().addDays(2), QFileDevice::FileModificationTime));
        newer.close();

        TBatchDownloadFrm frm(*config, HSL_ENG);
        QStringList opened;
        frm.FOpen = [&](const QString &path) {
            opened << path;
            return true;
        };
        QVERIFY(frm.Init({todo, todo}, {"/Personal/Todo.txt", "Newer.txt"}));
        QCOMPARE(frm.cbOpenFile->text(), QStringLiteral("Open the path"));
        frm.Edit1->setText(target + "//");
        frm.show();
        QTest::mouseClick(frm.btConfirm, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!frm.Controller().IsBusy(), 30000);
        QCOMPARE(frm.Controller().Downloaded(), 1);
        QVERIFY(QFileInfo(target + "/Todo.txt").size() > 0);
        QFile kept(target + "/Newer.txt");
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("mine"));
        // One file arrived: it is opened itself; the kept one is reported in the list.
        QCOMPARE(opened, QStringList{target + "/Todo.txt"});
        QVERIFY(!frm.lvFiles->topLevelItem(1)->text(1).isEmpty());
        QCOMPARE(frm.lvFiles->topLevelItem(0)->text(1), QStringLiteral("Successfully downloaded"));
        QVERIFY(frm.isVisible());
    }

    void fileManagerHandsBulkTasksOver()
    {
        RecordingPrompter prompter;
        TPrompter::SetInstance(&prompter);
        TFileMagFrm files(nullptr, HSL_ENG);
        QList<TBatchTransport> handed;
        files.BulkUpload();
        QCOMPARE(prompter.shown.size(), 0);   // nobody listens: nothing to say
        files.FOnBatchFileDeal = [&](const TBatchTransport &t) { handed << t; };
        files.FGroupId = 5;
        files.FFolderId = 0;
        files.BulkUpload();
        QCOMPARE(prompter.shown.size(), 1);
        QVERIFY(handed.isEmpty());
        files.BulkDownload();
        files.FFolderId = 9;
        files.BulkUpload();
        TPrompter::SetInstance(nullptr);
        QCOMPARE(handed.size(), 2);
        QCOMPARE(int(handed[0].TranStyle), int(TS_Download));
        QCOMPARE(handed[0].SourceOwnerId, 5);
        QCOMPARE(handed[0].SourceFolderId, 0);
        QCOMPARE(int(handed[1].TranStyle), int(TS_Upload));
        QCOMPARE(int(handed[1].FF), int(FF_Folder));
        QCOMPARE(handed[1].DestOwnerId, 5);
        QCOMPARE(handed[1].DestFolderId, 9);
    }
};

QTEST_MAIN(TstBatchUi)
#include "tst_batchui.moc"
