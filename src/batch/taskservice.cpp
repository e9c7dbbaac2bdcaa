#include "batch/taskservice.h"
#include "model/folderchanges.h"

#include "batch/logging.h"
#include "core/fileext.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/textfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSet>

#include <vector>

namespace {

bool isActive(quint8 st)
{
    return st == BTS_Init || st == BTS_Running || st == BTS_Paused || st == BTS_Waiting || st == BTS_Error;
}

// Takes into into the fields where after differs from before: what the editor changed.
void mergeChanged(const TBatchTransport &before, const TBatchTransport &after, TBatchTransport &into)
{
#define ZU_TAKE(field)                     \
    if (!(after.field == before.field))    \
        into.field = after.field;
    ZU_TAKE(TranStyle)
    ZU_TAKE(FF)
    ZU_TAKE(DestOwnerId)
    ZU_TAKE(DestFolderId)
    ZU_TAKE(DestFolderName)
    ZU_TAKE(SourceOwnerId)
    ZU_TAKE(SourceFolderId)
    ZU_TAKE(SourceFolderName)
    ZU_TAKE(IsIncludeSubFolder)
    ZU_TAKE(IsGetSummary)
    ZU_TAKE(KeepClientNewFile)
    ZU_TAKE(FilePrtParams)
    ZU_TAKE(FileStartDate)
    ZU_TAKE(FileEndDate)
    ZU_TAKE(MinSize)
    ZU_TAKE(MaxSize)
    ZU_TAKE(Types)
    ZU_TAKE(St)
    ZU_TAKE(TaskStartTime)
    ZU_TAKE(TaskCyc)
    ZU_TAKE(RunStartTime)
    ZU_TAKE(RunEndTime)
    ZU_TAKE(IncludeRootPath)
    ZU_TAKE(SC)
    ZU_TAKE(ExtInfo)
#undef ZU_TAKE
}

} // namespace

// ---- Rules

TBatchFailDecision BatchFailDecision(int code, int connectionFailures)
{
    if ((code == 2 || code == 101 || code == 127) && connectionFailures < 3)
        return TBatchFailDecision::Restart;
    return TBatchFailDecision::Error;
}

TTaskStart TaskStartRule(const TBatchTransport &task)
{
    if (task.St == BTS_Unknown || task.St == BTS_Deleted || (task.St == BTS_Completed && task.TaskCyc <= 0))
        return TTaskStart::None;
    if (task.St == BTS_Init || task.St == BTS_Running || task.St == BTS_Completed || task.St == BTS_Waiting)
        return TTaskStart::Run;
    return TTaskStart::Idle;
}

bool TaskIsUnfinished(const TBatchTransport &task)
{
    return TaskStartRule(task) != TTaskStart::None && task.St != BTS_Paused
           && (task.TranStyle == TS_Upload || task.TranStyle == TS_Download);
}

bool BatchTaskInList(const TBatchTransport &task, int listTag)
{
    const bool upload = task.TranStyle == TS_Upload;
    if ((listTag <= BTL_UploadDustbin) != upload)
        return false;
    switch ((listTag - 1) % 3) {
    case 0: return isActive(task.St);
    case 1: return task.St == BTS_Completed;
    default: return task.St == BTS_Unknown || task.St == BTS_Deleted;
    }
}

TPendingTaskCheck PendingTaskRecord(const QString &text, bool includeRoot, TBatchTransport &task)
{
    NewBatchTransport(task);
    const QString style = GetTagValue(text, QStringLiteral("TranStyle")).trimmed();
    const QString ff = GetTagValue(text, QStringLiteral("FF")).trimmed();
    task.TranStyle = TTranStyle(style.isEmpty() ? 1 : StrToIntDef(style, 1));
    task.FF = quint8(ff.isEmpty() ? 2 : StrToIntDef(ff, 2));
    task.IsIncludeSubFolder = true;
    task.IncludeRootPath = includeRoot;
    const qint32 owner = StrToIntDef(GetTagValue(text, QStringLiteral("OwnerId")).trimmed(), 0);
    const qint64 folder = StrToInt64Def(GetTagValue(text, QStringLiteral("SourceId")).trimmed(), 0);
    const QString name = GetTagValue(text, QStringLiteral("SourceName"));
    if (task.TranStyle == TS_Upload) {
        task.DestOwnerId = owner;
        task.DestFolderId = folder;
        task.DestFolderName = name.isEmpty() ? QStringLiteral("...") : name;
    } else {
        task.SourceOwnerId = owner;
        task.SourceFolderId = folder;
        task.SourceFolderName = name;
    }
    if (owner <= 0 || (task.TranStyle != TS_Upload && task.TranStyle != TS_Download) || (task.FF != FF_File && task.FF != FF_Folder))
        return TPendingTaskCheck::ErrData;
    if (task.TranStyle == TS_Upload && !task.IncludeRootPath && folder == 0)
        return TPendingTaskCheck::SelectFolder;
    return TPendingTaskCheck::Ok;
}

QString TaskTypesText(const QList<qint32> &types)
{
    if (types.isEmpty())
        return QStringLiteral("*.*");
    QStringList parts;
    for (qint32 code : types)
        parts << QStringLiteral("*.") + ExtCodeText(quint32(code));
    return parts.join(u',');
}

QList<qint32> ParseTaskTypes(const QString &text)
{
    const QString t = text.trimmed();
    if (t.isEmpty() || t == QLatin1String("*.*") || t == QLatin1String("*"))
        return {};
    QList<qint32> types;
    for (const QString &piece : t.split(u',', Qt::SkipEmptyParts)) {
        const QString p = piece.trimmed();
        const qsizetype dot = p.indexOf(u'.');
        const quint32 code = FileExtCode(dot >= 0 ? p.mid(dot + 1, 4) : p);
        if (code == 42)
            return {};
        types << qint32(code);
    }
    return types;
}

TTaskCheck CheckTaskEnds(const TBatchTransport &task)
{
    if (task.TranStyle == TS_Upload) {
        if (task.IncludeRootPath || task.DestFolderId != 0)
            return task.DestOwnerId == 0 ? TTaskCheck::SelOwner : TTaskCheck::Ok;
        return TTaskCheck::SelDFolder;
    }
    if (task.TranStyle == TS_Download && task.SourceOwnerId == 0)
        return TTaskCheck::SelSOwner;
    return TTaskCheck::Ok;
}

bool WriteTaskExclusions(const QString &indexFolder, qint32 taskId, const QList<qint64> &keys)
{
    const QString folder = indexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(indexFolder);
    QDir().mkpath(folder);
    const QString name = folder + QString::number(taskId) + QStringLiteral(".ivd");
    QSet<qint64> before;
    {
        QFile old(name);
        if (old.open(QIODevice::ReadOnly))
            for (const QByteArray &line : old.read(16 * 1024 * 1024).split('\n'))
                if (const qint64 k = line.trimmed().toLongLong())
                    before.insert(k);
    }
    bool ok = true;
    if (keys.isEmpty()) {
        ok = !QFile::exists(name) || QFile::remove(name);
    } else {
        QByteArray text;
        for (qint64 k : keys)
            text += QByteArray::number(k) + "\r\n";
        ok = WriteFileAtomic(name, text);
    }
    // A file ticked again is left out no more: the index a periodic task keeps
    // still marks it excluded, so it is made fresh there. Not while another
    // program runs the task: its index is its own.
    for (qint64 k : keys)
        before.remove(k);
    if (ok && !before.isEmpty() && QFile::exists(folder + QString::number(taskId) + QStringLiteral(".std"))
        && TaskLockedElsewhere(folder, taskId).isEmpty()) {
        TFileIndex index;
        index.TaskId = taskId;
        index.IndexFolder = folder;
        index.Init();
        if (index.Load())
            for (qint64 k : std::as_const(before))
                index.UpdateState(k, dl::Fresh);
    }
    return ok;
}

void DeleteTaskIndexFiles(const QString &indexFolder, qint32 taskId)
{
    const QString base = (indexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(indexFolder)) + QString::number(taskId);
    for (const char *ext : {".fln", ".std", ".ivd", ".log", ".run"})
        QFile::remove(base + QLatin1String(ext));
}

QString TaskLockedElsewhere(const QString &indexFolder, qint32 taskId, THS_Language lang)
{
    const QString folder = indexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(indexFolder);
    // No lock file (not even an index folder): nobody runs the task.
    if (!QFileInfo::exists(TaskLockFileName(folder, taskId)) || !TaskLockHeldElsewhere(folder, taskId))
        return QString();
    return TaskLockHolder(folder, taskId, lang);
}

namespace {

QString lastRunFileName(const QString &indexFolder, qint32 taskId)
{
    return (indexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(indexFolder)) + QString::number(taskId)
           + QStringLiteral(".run");
}

} // namespace

TLastRun ReadLastRun(const QString &indexFolder, qint32 taskId)
{
    TLastRun r;
    QFile f(lastRunFileName(indexFolder, taskId));
    if (!f.open(QIODevice::ReadOnly))
        return r;
    const QString text = QString::fromUtf8(f.read(4096));
    r.Known = text.contains(QStringLiteral("[Files]"));
    r.State = quint8(StrToIntDef(GetTagValue(text, QStringLiteral("State")), 0));
    r.Files = qMax(0, StrToIntDef(GetTagValue(text, QStringLiteral("Files")), 0));
    r.Done = qMax(0, StrToIntDef(GetTagValue(text, QStringLiteral("Done")), 0));
    r.Failed = qMax(0, StrToIntDef(GetTagValue(text, QStringLiteral("Failed")), 0));
    return r;
}

bool WriteLastRun(const QString &indexFolder, qint32 taskId, const TRunResult &r)
{
    const QString text = QStringLiteral("[State]%1[/State][Files]%2[/Files][Done]%3[/Done][Failed]%4[/Failed]\r\n")
                             .arg(r.State).arg(r.Files).arg(r.Done).arg(r.Failed);
    QDir().mkpath(QFileInfo(lastRunFileName(indexFolder, taskId)).absolutePath());
    return WriteFileAtomic(lastRunFileName(indexFolder, taskId), text.toUtf8());
}

// ---- The service

TTaskService::TTaskService(const QString &folder, const QString &indexFolder, QObject *parent)
    : QObject(parent)
    , PAllTaskInfo(std::make_unique<TBatchTranConfig>(folder, indexFolder))
{
    FReloadTimer.setSingleShot(true);
    FReloadTimer.setInterval(250);
    connect(&FReloadTimer, &QTimer::timeout, this, &TTaskService::onStoreChanged);
    connect(&FWatcher, &QFileSystemWatcher::directoryChanged, this, [this] { FReloadTimer.start(); });
    connect(&FWatcher, &QFileSystemWatcher::fileChanged, this, [this] { FReloadTimer.start(); });
    FLockPoll.setInterval(1000);
    connect(&FLockPoll, &QTimer::timeout, this, &TTaskService::pollLocks);
}

TTaskService::~TTaskService()
{
    stopWorkers();
}

void TTaskService::watch()
{
    const QFileInfo file(PAllTaskInfo->ConfigFileName());
    if (!FWatcher.directories().contains(file.absolutePath()))
        FWatcher.addPath(file.absolutePath());
    // An atomic save replaces the file: it is watched again each time.
    if (file.exists() && !FWatcher.files().contains(file.absoluteFilePath()))
        FWatcher.addPath(file.absoluteFilePath());
}

void TTaskService::Reload()
{
    onStoreChanged();
}

void TTaskService::onStoreChanged()
{
    watch();
    // The folder also holds other files: only a save of btr.sys is read again.
    if (!PAllTaskInfo->ChangedOnDisk())
        return;
    const QString before = PAllTaskInfo->AllInfo();
    PAllTaskInfo->Reload();
    if (PAllTaskInfo->AllInfo() == before)
        return;
    if (!FIsAutoRun) {
        Q_EMIT tasksChanged();
        return;
    }
    // Another program changed the tasks: the workers follow what is stored now.
    std::vector<qint32> ids;
    for (const auto &[id, w] : FWorkers)
        if (!w.RunNow)
            ids.push_back(id);
    for (qint32 id : ids) {
        TBatchTransport stored;
        if (!PAllTaskInfo->GetTask(id, stored) || TaskStartRule(stored) == TTaskStart::None) {
            retireWorker(id);
            continue;
        }
        TCustomBathFileDeal *t = FWorkers[id].Thread.get();
        TBatchTransport copy = t->TaskInfo();
        if (stored.St == BTS_Paused && !t->SuspendedEx()) {
            t->PauseEx();
            copy.St = BTS_Paused;
            t->SetTaskInfo(copy);
        } else if (TaskStartRule(stored) == TTaskStart::Run && t->SuspendedEx()) {
            t->StartEx();
        }
        refresh(id);
    }
    for (const TBatchTransport &t : PAllTaskInfo->GetAllTask()) {
        const TTaskStart rule = TaskStartRule(t);
        if (rule != TTaskStart::None && !FWorkers.count(t.Id) && !FWaitingForLock.contains(t.Id))
            createWorker(t, rule == TTaskStart::Run);
    }
    Q_EMIT tasksChanged();
}

void TTaskService::stopWorkers()
{
    // Nothing is stored here: each change was stored when it was made, and a
    // run cut short goes on from its index next time. The workers are told to
    // stop and end unseen, so closing never waits for a slow server.
    for (auto &[id, w] : FWorkers) {
        FRetiring[id] = w.Thread.get();
        ReleaseWorker(w.Thread.release());
    }
    FWorkers.clear();
    FWaitingForLock.clear();
    FLockPoll.stop();
}

void TTaskService::StopAllTasks()
{
    stopWorkers();
    FIsAutoRun = false;
    Q_EMIT tasksChanged();
}

bool TTaskService::update(const std::function<void(TBatchTranConfig &)> &change)
{
    QString error;
    if (UpdateTaskFile(*PAllTaskInfo, change, &error)) {
        FSaveError.clear();
        return true;
    }
    FSaveError = error;
    FError = error;
    Q_EMIT saveFailed(error);
    return false;
}

bool TTaskService::StartAllTasks()
{
    if (FIsAutoRun)
        return false;
    FIsAutoRun = true;
    watch();
    QList<TBatchTransport> tasks;
    update([&tasks](TBatchTranConfig &c) {
        tasks = c.GetAllTask();
        c.Optimize(tasks);
    });
    if (!FSaveError.isEmpty())
        tasks = PAllTaskInfo->GetAllTask();
    for (const TBatchTransport &t : tasks) {
        const TTaskStart rule = TaskStartRule(t);
        if (rule != TTaskStart::None)
            createWorker(t, rule == TTaskStart::Run);
    }
    Q_EMIT tasksChanged();
    return true;
}

QList<qint32> TTaskService::UnfinishedTasks()
{
    PAllTaskInfo->Reload();
    QList<qint32> ids;
    for (const TBatchTransport &t : PAllTaskInfo->GetAllTask())
        if (TaskIsUnfinished(t))
            ids << t.Id;
    return ids;
}

void TTaskService::RunNow(const QList<qint32> &ids, bool keepPeriodic)
{
    PAllTaskInfo->Reload();
    for (qint32 id : ids) {
        TBatchTransport task;
        if (!PAllTaskInfo->GetTask(id, task) || FWorkers.count(id))
            continue;
        createWorker(task, true, true, keepPeriodic);
    }
}

void TTaskService::Interrupt()
{
    FInterrupted = true;
    for (auto &[id, w] : FWorkers)
        w.Thread->StopEx();
    if (FWorkers.empty())
        QMetaObject::invokeMethod(this, &TTaskService::allEnded, Qt::QueuedConnection);
}

int TTaskService::UnfinishedCount() const
{
    int n = 0;
    for (const auto &[id, w] : FWorkers)
        n += w.RunNow && !w.Finished ? 1 : 0;
    return n;
}

void TTaskService::createWorker(const TBatchTransport &task, bool start, bool runNow, bool keepPeriodic)
{
    if (FWorkers.count(task.Id))
        return;
    // A worker of this task that is stopping still holds the task's lock: the
    // new one comes when it has gone.
    auto old = FRetiring.find(task.Id);
    if (old != FRetiring.end() && old->second && old->second->isRunning()) {
        const qint32 id = task.Id;
        WhenWorkerEnded(old->second, this, [this, id, runNow, keepPeriodic] {
            TBatchTransport stored;
            if (!PAllTaskInfo->GetTask(id, stored))
                return;
            const TTaskStart rule = TaskStartRule(stored);
            if (runNow || rule != TTaskStart::None) {
                createWorker(stored, runNow || rule == TTaskStart::Run, runNow, keepPeriodic);
                Q_EMIT taskChanged(id);
            }
        });
        return;
    }
    FRetiring.erase(task.Id);
    FWaitingForLock.remove(task.Id);
    TBatchSettings settings = FSettings;
    if (settings.IndexFolder.isEmpty())
        settings.IndexFolder = PAllTaskInfo->IndexFolder();
    Worker &w = FWorkers[task.Id];
    w.Thread = std::make_unique<TCustomBathFileDeal>(task, settings);
    w.Thread->IsLog = true;
    w.Thread->FEndPauseMs = runNow ? 0 : WorkerEndPauseMs;
    w.Thread->FRunNow = runNow;
    w.RunNow = runNow;
    w.KeepPeriodic = keepPeriodic;
    w.Row.Task = task;
    w.Row.HasWorker = true;
    TCustomBathFileDeal *t = w.Thread.get();
    // Signals of a worker that was replaced meanwhile are dropped.
    auto mine = [this, t](int id) {
        auto it = FWorkers.find(id);
        return it != FWorkers.end() && it->second.Thread.get() == t;
    };
    connect(t, &TCustomBathFileDeal::fileFailed, this, [this, mine](int id, int code) {
        if (mine(id))
            onFileFailed(id, code);
    }, Qt::QueuedConnection);
    connect(t, &TCustomBathFileDeal::runEnded, this, [this, mine](int id) {
        if (mine(id))
            onRunEnded(id);
    }, Qt::QueuedConnection);
    connect(t, &TCustomBathFileDeal::bulkDownloadRefused, this, [this, mine](int id) {
        if (mine(id))
            Q_EMIT bulkDownloadRefused(id);
    }, Qt::QueuedConnection);
    connect(t, &TCustomBathFileDeal::showLogInfo, this, [this, mine](int id, const QString &line) {
        if (!mine(id))
            return;
        FWorkers[id].Row.LastLog = line;
        Q_EMIT logLine(id, line);
        refresh(id);
    }, Qt::QueuedConnection);
    connect(t, &TCustomBathFileDeal::taskLocked, this, [this, mine](int id, const QString &holder) {
        if (mine(id))
            onLocked(id, holder);
    }, Qt::QueuedConnection);
    connect(t, &TCustomBathFileDeal::tcpWork, this, [this, mine](int id, qint64 all, qint64 done) {
        if (!mine(id))
            return;
        FWorkers[id].Row.FileAllSize = all;
        FWorkers[id].Row.FileDoneSize = done;
        refresh(id);
    }, Qt::QueuedConnection);
    connect(t, &TCustomBathFileDeal::taskPlan, this, [this, mine](int id, qint64, qint64) {
        if (mine(id))
            refresh(id);
    }, Qt::QueuedConnection);
    connect(t, &TCustomBathFileDeal::startDealFile, this, [this, mine](int id, const QString &path) {
        if (!mine(id))
            return;
        FWorkers[id].Row.FileDoneSize = 0;
        Q_EMIT fileStarted(id, path);
        refresh(id);
    }, Qt::QueuedConnection);
    connect(t, &TCustomBathFileDeal::stateChanged, this, [this, mine](int id, int) {
        if (mine(id))
            refresh(id);
    }, Qt::QueuedConnection);
    connect(t, &QThread::finished, this, [this, t, id = task.Id] { onWorkerFinished(id, t); }, Qt::QueuedConnection);
    if (start)
        t->StartEx();
    refresh(task.Id);
}

void TTaskService::retireWorker(qint32 id)
{
    auto it = FWorkers.find(id);
    if (it == FWorkers.end())
        return;
    TCustomBathFileDeal *t = it->second.Thread.release();
    FWorkers.erase(it);
    FRetiring[id] = t;
    ReleaseWorker(t);
}

void TTaskService::onWorkerFinished(int id, TCustomBathFileDeal *t)
{
    auto it = FWorkers.find(id);
    if (it == FWorkers.end() || it->second.Thread.get() != t)
        return;
    // A run cut short (or never started) that nobody reported yet.
    if (it->second.RunNow && !it->second.Finished && !FInterrupted) {
        TRunResult r = resultOf(id, it->second.Row.Task.St);
        finishRun(id, r);
    }
    FWorkers.erase(it);
    refresh(id);
    if (FWorkers.empty() && !FIsAutoRun)
        Q_EMIT allEnded();
}

void TTaskService::refresh(qint32 id)
{
    auto it = FWorkers.find(id);
    if (it != FWorkers.end()) {
        TBatchTaskRow &row = it->second.Row;
        row.Task = it->second.Thread->TaskInfo();
        row.Progress = it->second.Thread->Progress();
        row.Paused = it->second.Thread->SuspendedEx();
        // The bar is read from the same figures as the counts, so the two agree
        // and a run that ended shows a full bar (the worker's own scale is only
        // updated while a large file is moving).
        TBatchProgress &p = row.Progress;
        const qint64 done = p.FinishedSize + (p.CurrentFile.isEmpty() ? 0 : row.FileDoneSize);
        if (p.AllCount > 0 && p.FinishedCount >= p.AllCount)
            p.Scale = 1.0;
        else if (p.TotalSize > 0)
            p.Scale = qBound(0.0, double(done) / double(p.TotalSize), 1.0);
        else
            p.Scale = p.AllCount > 0 ? double(p.FinishedCount) / double(p.AllCount) : 0.0;
    }
    Q_EMIT taskChanged(id);
}

void TTaskService::storeRun(qint32 id, quint8 st)
{
    auto it = FWorkers.find(id);
    if (it == FWorkers.end())
        return;
    TBatchTransport ran = it->second.Thread->TaskInfo();
    ran.St = st;
    it->second.Thread->SetTaskInfo(ran);
    WriteLastRun(PAllTaskInfo->IndexFolder(), id, resultOf(id, st));
    // Only what a run changes: the rest of the stored task may have been edited meanwhile.
    update([&](TBatchTranConfig &c) {
        TBatchTransport stored;
        if (!c.GetTask(id, stored))
            return;
        // A task sent to the dustbin meanwhile stays there.
        if (stored.St == BTS_Deleted)
            st = stored.St;
        stored.St = st;
        stored.RunStartTime = ran.RunStartTime;
        stored.RunEndTime = ran.RunEndTime;
        c.SetTask(stored);
    });
}

TRunResult TTaskService::resultOf(qint32 id, quint8 st) const
{
    TRunResult r;
    r.State = st;
    auto it = FWorkers.find(id);
    if (it == FWorkers.end())
        return r;
    const TBatchProgress p = it->second.Thread->Progress();
    r.Files = p.AllCount;
    r.Done = p.FinishedCount;
    const QStringList errors = it->second.Thread->GetErrorLog().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    r.Failed = int(errors.size());
    r.FirstFailure = errors.value(0);
    if (r.FirstFailure.isEmpty() && st == BTS_Error)
        r.FirstFailure = it->second.Thread->GetLastLogStr();
    return r;
}

void TTaskService::finishRun(qint32 id, const TRunResult &r)
{
    auto it = FWorkers.find(id);
    if (it != FWorkers.end())
        it->second.Finished = true;
    Q_EMIT runFinished(id, r);
}

void TTaskService::onFileFailed(int id, int code)
{
    if (FInterrupted)
        return;
    Worker &w = FWorkers[id];
    TCustomBathFileDeal *t = w.Thread.get();
    if (BatchFailDecision(code, t->Progress().CrashErrorNum) == TBatchFailDecision::Restart) {
        t->StartEx();
        refresh(id);
        return;
    }
    t->PauseEx();
    storeRun(id, BTS_Error);
    if (w.RunNow) {
        TRunResult r = resultOf(id, BTS_Error);
        if (r.Failed == 0)
            r.Failed = code == 0 ? 0 : 1;
        finishRun(id, r);
        t->StopEx();
    }
    refresh(id);
}

void TTaskService::onRunEnded(int id)
{
    Worker &w = FWorkers[id];
    TCustomBathFileDeal *t = w.Thread.get();
    const TBatchTransport ran = t->TaskInfo();
    // A run with failed files or folders is not done: it is tried again at the next run.
    const TBatchProgress p = t->Progress();
    const bool failed = p.LastRun == TRunEnd::Incomplete || p.LastRun == TRunEnd::Failed
                        || (p.LastRun == TRunEnd::None && p.FailedCount > 0);
    // An open list of the target folder shows what the run stored.
    if (ran.TranStyle == TS_Upload && ran.DestFolderId > 0)
        TFolderChanges::Notify(ran.DestOwnerId, ran.DestFolderId);
    if (ran.TaskCyc > 0) {
        storeRun(id, BTS_Running);
        if (w.RunNow) {
            finishRun(id, resultOf(id, failed ? BTS_Error : BTS_Running));
            if (!w.KeepPeriodic) {
                t->StopEx();
                return;
            }
            w.Finished = false;
        }
        // The worker then waits for its time rule.
        t->RunEndHandled();
        t->StartEx();
        refresh(id);
        return;
    }
    const quint8 st = failed ? BTS_Error : BTS_Completed;
    storeRun(id, st);
    if (w.RunNow) {
        finishRun(id, resultOf(id, st));
        t->StopEx();
        return;
    }
    retireWorker(id);
    Q_EMIT taskChanged(id);
}

void TTaskService::onLocked(int id, const QString &holder)
{
    Worker &w = FWorkers[id];
    if (w.RunNow) {
        TRunResult r;
        r.State = w.Row.Task.St;
        r.LockedBy = holder;
        finishRun(id, r);
        return;
    }
    // Another program runs the task: it starts here once that program lets go.
    FWaitingForLock.insert(id, TaskRunningElsewhereText(FSettings.Conn.Language, id, holder));
    retireWorker(id);
    FLockPoll.start();
    Q_EMIT taskLocked(id, holder);
    Q_EMIT taskChanged(id);
}

void TTaskService::pollLocks()
{
    const QList<qint32> ids = FWaitingForLock.keys();
    for (qint32 id : ids) {
        if (QFileInfo::exists(TaskLockFileName(PAllTaskInfo->IndexFolder(), id))
            && !TaskLockHolder(PAllTaskInfo->IndexFolder(), id).isEmpty())
            continue;
        FWaitingForLock.remove(id);
        PAllTaskInfo->Reload();
        TBatchTransport stored;
        if (PAllTaskInfo->GetTask(id, stored)) {
            const TTaskStart rule = TaskStartRule(stored);
            if (rule != TTaskStart::None && FIsAutoRun)
                createWorker(stored, rule == TTaskStart::Run);
        }
        Q_EMIT taskChanged(id);
    }
    if (FWaitingForLock.isEmpty())
        FLockPoll.stop();
}

bool TTaskService::ApplyState(qint32 id, quint8 st)
{
    FError.clear();
    if (id == 0)
        return false;
    if (st == BTS_Unknown) {
        // The index files go with the task: not while another program runs it.
        const QString holder = TaskLockedElsewhere(PAllTaskInfo->IndexFolder(), id, FSettings.Conn.Language);
        if (!holder.isEmpty()) {
            FError = TaskRunningElsewhereText(FSettings.Conn.Language, id, holder);
            return false;
        }
    }
    bool found = false;
    TBatchTransport task;
    if (!update([&](TBatchTranConfig &c) {
            found = c.GetTask(id, task);
            if (!found)
                return;
            task.St = st;
            if (st == BTS_Unknown) {
                c.DelTask(id);
                QFile::remove(lastRunFileName(c.IndexFolder(), id));
            } else
                c.SetTask(task);
        }))
        return false;
    if (!found) {
        FError = QStringLiteral("No task %1 in %2").arg(id).arg(QDir::toNativeSeparators(PAllTaskInfo->ConfigFileName()));
        return false;
    }
    auto it = FWorkers.find(id);
    if (it != FWorkers.end()) {
        TCustomBathFileDeal *t = it->second.Thread.get();
        if (st == BTS_Unknown || st == BTS_Completed || st == BTS_Deleted) {
            retireWorker(id);
        } else if (st == BTS_Init || st == BTS_Running || st == BTS_Waiting) {
            t->StartEx();
        } else if (st == BTS_Paused || st == BTS_Error) {
            t->PauseEx();
            TBatchTransport copy = t->TaskInfo();
            copy.St = st;
            t->SetTaskInfo(copy);
        }
    } else if (isActive(st) && FIsAutoRun && !FWaitingForLock.contains(id)) {
        createWorker(task, TaskStartRule(task) == TTaskStart::Run);
    }
    if (st == BTS_Unknown || st == BTS_Deleted)
        FWaitingForLock.remove(id);
    refresh(id);
    return true;
}

bool TTaskService::Delete(qint32 id)
{
    PAllTaskInfo->Reload();
    TBatchTransport task;
    if (!PAllTaskInfo->GetTask(id, task))
        return false;
    return ApplyState(id, task.St == BTS_Deleted ? BTS_Unknown : BTS_Deleted);
}

bool TTaskService::Remove(qint32 id)
{
    return ApplyState(id, BTS_Unknown);
}

bool TTaskService::Restart(qint32 id)
{
    FError.clear();
    PAllTaskInfo->Reload();
    if (!PAllTaskInfo->HasTask(id))
        return false;
    const QString holder = TaskLockedElsewhere(PAllTaskInfo->IndexFolder(), id, FSettings.Conn.Language);
    if (!holder.isEmpty()) {
        FError = TaskRunningElsewhereText(FSettings.Conn.Language, id, holder);
        return false;
    }
    retireWorker(id);
    // The index files go once no worker of the task writes them any more.
    auto old = FRetiring.find(id);
    WhenWorkerEnded(old == FRetiring.end() ? nullptr : old->second.data(), this, [this, id] {
        FRetiring.erase(id);
        // Another program may have taken the task meanwhile: its index stays.
        if (!TaskLockedElsewhere(PAllTaskInfo->IndexFolder(), id).isEmpty())
            return;
        DeleteTaskIndexFiles(PAllTaskInfo->IndexFolder(), id);
        ApplyState(id, BTS_Init);
    });
    return true;
}

bool TTaskService::AppendTask(TBatchTransport &task, const QList<qint64> *excluded)
{
    if (task.Id <= 0)
        return false;
    if (!update([&task](TBatchTranConfig &c) { c.AddTask(task); }))
        return false;
    if (excluded)
        WriteTaskExclusions(PAllTaskInfo->IndexFolder(), task.Id, *excluded);
    if (FIsAutoRun) {
        const TTaskStart rule = TaskStartRule(task);
        if (rule != TTaskStart::None)
            createWorker(task, rule == TTaskStart::Run);
    }
    Q_EMIT tasksChanged();
    return true;
}

bool TTaskService::ModifyTask(const TBatchTransport &before, const TBatchTransport &after, const QList<qint64> *excluded)
{
    const qint32 id = before.Id;
    if (id <= 0)
        return false;
    TBatchTransport merged;
    bool found = false;
    if (!update([&](TBatchTranConfig &c) {
            found = c.GetTask(id, merged);
            if (!found)
                return;
            mergeChanged(before, after, merged);
            merged.Id = id;
            c.SetTask(merged);
        }))
        return false;
    if (!found)
        return false;
    auto it = FWorkers.find(id);
    if (excluded && it != FWorkers.end()) {
        // The worker holds the index the exclusions change: it goes, the
        // exclusions are written once it has let go, and a new one starts from them.
        const QList<qint64> keys = *excluded;
        retireWorker(id);
        auto old = FRetiring.find(id);
        WhenWorkerEnded(old == FRetiring.end() ? nullptr : old->second.data(), this, [this, id, keys] {
            FRetiring.erase(id);
            WriteTaskExclusions(PAllTaskInfo->IndexFolder(), id, keys);
            TBatchTransport stored;
            if (FIsAutoRun && !FWorkers.count(id) && PAllTaskInfo->GetTask(id, stored)) {
                const TTaskStart rule = TaskStartRule(stored);
                if (rule != TTaskStart::None)
                    createWorker(stored, rule == TTaskStart::Run);
            }
            Q_EMIT taskChanged(id);
        });
        refresh(id);
        return true;
    }
    if (excluded)
        WriteTaskExclusions(PAllTaskInfo->IndexFolder(), id, *excluded);
    if (it != FWorkers.end()) {
        // The worker's own run state and times stay; the conditions are the new ones.
        const TBatchTransport ran = it->second.Thread->TaskInfo();
        TBatchTransport copy = merged;
        copy.St = ran.St;
        copy.RunStartTime = ran.RunStartTime;
        copy.RunEndTime = ran.RunEndTime;
        it->second.Thread->SetTaskInfo(copy);
    }
    refresh(id);
    return true;
}

bool TTaskService::IsListedOneOff(qint32 id) const
{
    auto it = FWorkers.find(id);
    return it != FWorkers.end() && it->second.Thread->TaskInfo().TaskCyc <= 0;
}

bool TTaskService::Task(qint32 id, TBatchTransport &task) const
{
    return PAllTaskInfo->GetTask(id, task);
}

bool TTaskService::Row(qint32 id, TBatchTaskRow &row) const
{
    auto it = FWorkers.find(id);
    if (it != FWorkers.end()) {
        row = it->second.Row;
        return true;
    }
    row = TBatchTaskRow();
    row.LastLog = FWaitingForLock.value(id);
    return PAllTaskInfo->GetTask(id, row.Task);
}

QList<TBatchTaskRow> TTaskService::Rows(int listTag) const
{
    QList<TBatchTaskRow> rows;
    for (const TBatchTransport &t : PAllTaskInfo->GetAllTask()) {
        TBatchTaskRow row;
        if (!Row(t.Id, row))
            continue;
        // The stored state decides the list: a worker's passing states do not move rows.
        TBatchTransport listed = row.Task;
        listed.St = t.St;
        if (BatchTaskInList(listed, listTag))
            rows << row;
    }
    return rows;
}

int TTaskService::GetUnOverTaskNum() const
{
    int n = 0;
    for (const auto &[id, w] : FWorkers) {
        const quint8 st = w.Row.Task.St;
        if (st == BTS_Init || st == BTS_Running || st == BTS_Waiting)
            ++n;
    }
    return n;
}

QString TTaskService::LogText(qint32 id) const
{
    auto it = FWorkers.find(id);
    if (it != FWorkers.end()) {
        const QString text = it->second.Thread->GetLogText();
        if (!text.isEmpty())
            return text;
    }
    QString text = ReadTextFile(IncludeTrailingSlash(PAllTaskInfo->IndexFolder()) + QString::number(id) + QStringLiteral(".log"));
    // The task waits for another program: the log says for which.
    const QString waiting = FWaitingForLock.value(id);
    if (!waiting.isEmpty())
        text += (text.isEmpty() || text.endsWith(u'\n') ? QString() : QStringLiteral("\r\n")) + waiting;
    return text;
}

QString TTaskService::ErrorText(qint32 id) const
{
    auto it = FWorkers.find(id);
    if (it != FWorkers.end()) {
        const QString text = it->second.Thread->GetErrorLog();
        if (!text.isEmpty() || !it->second.Thread->GetLogText().isEmpty())
            return text;
    }
    const QString log = LogText(id);
    const qsizetype at = log.indexOf(QStringLiteral("//----------------------------"));
    return at < 0 ? QString() : log.mid(at);
}
