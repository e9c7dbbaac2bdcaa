#include "batchui/batchtaskmanager.h"

#include "batchui/taskaddlogic.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/textfile.h"

#include <QFile>

namespace {

bool isActive(quint8 st)
{
    return st == BTS_Init || st == BTS_Running || st == BTS_Paused || st == BTS_Waiting || st == BTS_Error;
}

} // namespace

TBatchFailDecision BatchFailDecision(int code, int connectionFailures)
{
    if ((code == 2 || code == 101 || code == 127) && connectionFailures < 3)
        return TBatchFailDecision::Restart;
    return TBatchFailDecision::Error;
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

TBatchTaskManager::TBatchTaskManager(const QString &folder, const QString &indexFolder, QObject *parent)
    : QObject(parent)
    , PAllTaskInfo(std::make_unique<TBatchTranConfig>(folder, indexFolder))
{
}

TBatchTaskManager::~TBatchTaskManager()
{
    stopWorkers();
}

void TBatchTaskManager::stopWorkers()
{
    // The tasks are stored as they stand; the workers are told to stop and end
    // unseen, so closing never waits for a server that is slow to answer.
    for (auto &[id, w] : FWorkers) {
        TBatchTransport stored;
        const TBatchTransport ran = w.Thread->TaskInfo();
        if (PAllTaskInfo->GetTask(id, stored)) {
            stored.St = ran.St;
            stored.RunStartTime = ran.RunStartTime;
            stored.RunEndTime = ran.RunEndTime;
            PAllTaskInfo->SetTask(stored);
        }
        w.Thread->StopEx();
    }
    PAllTaskInfo->Save();
    for (auto &[id, w] : FWorkers) {
        FRetiring[id] = w.Thread.get();
        ReleaseWorker(w.Thread.release());
    }
    FWorkers.clear();
}

void TBatchTaskManager::StopAllTasks()
{
    stopWorkers();
    FIsAutoRun = false;
    Q_EMIT tasksChanged();
}

void TBatchTaskManager::save()
{
    QString error;
    if (PAllTaskInfo->Save(&error)) {
        FSaveError.clear();
        return;
    }
    FSaveError = error;
    Q_EMIT saveFailed(error);
}

bool TBatchTaskManager::StartAllTasks()
{
    if (FIsAutoRun)
        return false;
    FIsAutoRun = true;
    const QList<TBatchTransport> tasks = PAllTaskInfo->GetAllTask();
    PAllTaskInfo->Optimize(tasks);
    save();
    for (const TBatchTransport &t : tasks)
        createWorker(t);
    Q_EMIT tasksChanged();
    return true;
}

void TBatchTaskManager::createWorker(const TBatchTransport &task)
{
    if (task.St == BTS_Unknown || task.St == BTS_Deleted || (task.St == BTS_Completed && task.TaskCyc <= 0))
        return;
    if (FWorkers.count(task.Id))
        return;
    // A worker of this task that is stopping still holds the task's lock: the
    // new one comes when it has gone.
    auto old = FRetiring.find(task.Id);
    if (old != FRetiring.end() && old->second && old->second->isRunning()) {
        const qint32 id = task.Id;
        WhenWorkerEnded(old->second, this, [this, id] {
            TBatchTransport stored;
            if (PAllTaskInfo->GetTask(id, stored) && isActive(stored.St)) {
                createWorker(stored);
                Q_EMIT taskChanged(id);
            }
        });
        return;
    }
    FRetiring.erase(task.Id);
    TBatchSettings settings = FSettings;
    if (settings.IndexFolder.isEmpty())
        settings.IndexFolder = PAllTaskInfo->IndexFolder();
    Worker &w = FWorkers[task.Id];
    w.Thread = std::make_unique<TCustomBathFileDeal>(task, settings);
    w.Thread->IsLog = true;
    w.Thread->FEndPauseMs = WorkerEndPauseMs;
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
        refresh(id);
    }, Qt::QueuedConnection);
    connect(t, &TCustomBathFileDeal::taskLocked, this, [this, mine](int id, const QString &holder) {
        if (!mine(id))
            return;
        FWorkers[id].Row.LastLog = TaskRunningElsewhereText(FSettings.Conn.Language, id, holder);
        refresh(id);
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
    connect(t, &TCustomBathFileDeal::startDealFile, this, [this, mine](int id, const QString &) {
        if (!mine(id))
            return;
        FWorkers[id].Row.FileDoneSize = 0;
        refresh(id);
    }, Qt::QueuedConnection);
    connect(t, &TCustomBathFileDeal::stateChanged, this, [this, mine](int id, int) {
        if (mine(id))
            refresh(id);
    }, Qt::QueuedConnection);
    if (task.St == BTS_Init || task.St == BTS_Running || task.St == BTS_Completed || task.St == BTS_Waiting)
        t->StartEx();
    refresh(task.Id);
}

void TBatchTaskManager::retireWorker(qint32 id)
{
    auto it = FWorkers.find(id);
    if (it == FWorkers.end())
        return;
    TCustomBathFileDeal *t = it->second.Thread.release();
    FWorkers.erase(it);
    FRetiring[id] = t;
    ReleaseWorker(t);
}

void TBatchTaskManager::refresh(qint32 id)
{
    auto it = FWorkers.find(id);
    if (it != FWorkers.end()) {
        TBatchTaskRow &row = it->second.Row;
        row.Task = it->second.Thread->TaskInfo();
        row.Progress = it->second.Thread->Progress();
        row.Paused = it->second.Thread->SuspendedEx();
    }
    Q_EMIT taskChanged(id);
}

void TBatchTaskManager::storeRun(qint32 id, quint8 st)
{
    auto it = FWorkers.find(id);
    if (it == FWorkers.end())
        return;
    TBatchTransport ran = it->second.Thread->TaskInfo();
    ran.St = st;
    it->second.Thread->SetTaskInfo(ran);
    // Only what a run changes: the rest of the stored task may have been edited meanwhile.
    TBatchTransport stored;
    if (!PAllTaskInfo->GetTask(id, stored))
        return;
    stored.St = st;
    stored.RunStartTime = ran.RunStartTime;
    stored.RunEndTime = ran.RunEndTime;
    PAllTaskInfo->SetTask(stored);
    save();
}

void TBatchTaskManager::onFileFailed(int id, int code)
{
    TCustomBathFileDeal *t = FWorkers[id].Thread.get();
    if (BatchFailDecision(code, t->Progress().CrashErrorNum) == TBatchFailDecision::Restart) {
        t->StartEx();
    } else {
        t->PauseEx();
        storeRun(id, BTS_Error);
    }
    refresh(id);
}

void TBatchTaskManager::onRunEnded(int id)
{
    TCustomBathFileDeal *t = FWorkers[id].Thread.get();
    if (t->TaskInfo().TaskCyc > 0) {
        storeRun(id, BTS_Running);
        // The worker then waits for its time rule.
        t->RunEndHandled();
        t->StartEx();
        refresh(id);
        return;
    }
    storeRun(id, BTS_Completed);
    retireWorker(id);
    Q_EMIT taskChanged(id);
}

bool TBatchTaskManager::ApplyState(qint32 id, quint8 st)
{
    TBatchTransport task;
    if (id == 0 || !PAllTaskInfo->GetTask(id, task))
        return false;
    task.St = st;
    if (st == BTS_Unknown)
        PAllTaskInfo->DelTask(id);
    else
        PAllTaskInfo->SetTask(task);
    save();
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
    } else if (isActive(st)) {
        createWorker(task);
    }
    refresh(id);
    return true;
}

void TBatchTaskManager::Delete(qint32 id)
{
    TBatchTransport task;
    if (!PAllTaskInfo->GetTask(id, task))
        return;
    ApplyState(id, task.St == BTS_Deleted ? BTS_Unknown : BTS_Deleted);
}

void TBatchTaskManager::Restart(qint32 id)
{
    if (!PAllTaskInfo->HasTask(id))
        return;
    retireWorker(id);
    // The index files go once no worker of the task writes them any more.
    auto old = FRetiring.find(id);
    WhenWorkerEnded(old == FRetiring.end() ? nullptr : old->second.data(), this, [this, id] {
        FRetiring.erase(id);
        const QString base = IncludeTrailingSlash(PAllTaskInfo->IndexFolder()) + QString::number(id);
        for (const char *ext : {".log", ".ivd", ".fln", ".std"})
            QFile::remove(base + QLatin1String(ext));
        ApplyState(id, BTS_Init);
    });
}

void TBatchTaskManager::AppendTask(TBatchTransport &task, const QList<qint64> *excluded)
{
    if (task.Id <= 0)
        return;
    PAllTaskInfo->AddTask(task);
    save();
    if (excluded)
        WriteTaskExclusions(PAllTaskInfo->IndexFolder(), task.Id, *excluded);
    createWorker(task);
    Q_EMIT tasksChanged();
}

void TBatchTaskManager::ModifyTask(const TBatchTransport &task, const QList<qint64> *excluded)
{
    if (task.Id <= 0 || !PAllTaskInfo->HasTask(task.Id))
        return;
    PAllTaskInfo->SetTask(task);
    save();
    if (excluded)
        WriteTaskExclusions(PAllTaskInfo->IndexFolder(), task.Id, *excluded);
    auto it = FWorkers.find(task.Id);
    if (it != FWorkers.end()) {
        // The worker's own run state stays; the conditions are the new ones.
        TBatchTransport copy = task;
        copy.St = it->second.Thread->TaskInfo().St;
        it->second.Thread->SetTaskInfo(copy);
    }
    refresh(task.Id);
}

bool TBatchTaskManager::IsListedOneOff(qint32 id) const
{
    auto it = FWorkers.find(id);
    return it != FWorkers.end() && it->second.Thread->TaskInfo().TaskCyc <= 0;
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

bool TBatchTaskManager::Row(qint32 id, TBatchTaskRow &row) const
{
    auto it = FWorkers.find(id);
    if (it != FWorkers.end()) {
        row = it->second.Row;
        return true;
    }
    row = TBatchTaskRow();
    return PAllTaskInfo->GetTask(id, row.Task);
}

QList<TBatchTaskRow> TBatchTaskManager::Rows(int listTag) const
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

int TBatchTaskManager::GetUnOverTaskNum() const
{
    int n = 0;
    for (const auto &[id, w] : FWorkers) {
        const quint8 st = w.Row.Task.St;
        if (st == BTS_Init || st == BTS_Running || st == BTS_Waiting)
            ++n;
    }
    return n;
}

QString TBatchTaskManager::LogText(qint32 id) const
{
    auto it = FWorkers.find(id);
    if (it != FWorkers.end()) {
        const QString text = it->second.Thread->GetLogText();
        if (!text.isEmpty())
            return text;
    }
    return ReadTextFile(IncludeTrailingSlash(PAllTaskInfo->IndexFolder()) + QString::number(id) + QStringLiteral(".log"));
}

QString TBatchTaskManager::ErrorText(qint32 id) const
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
