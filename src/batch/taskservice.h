#pragma once
// The rules of batch tasks that the task manager window and zudivuvo-cli both
// follow, in one place without widgets: which stored tasks get a worker and
// start, what a failed file means, what a run's end stores, and how a task's
// files are written and removed. btr.sys is shared with other processes: every
// save re-reads it under its lock and writes only what this process changed,
// and a change made elsewhere is picked up and applied to the workers here.
#include "batch/bathfiledeal.h"
#include "batch/batchtranconfig.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QPointer>
#include <QHash>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

// What a view shows of one task: the stored task and, while it has a worker,
// the worker's last reported figures.
struct TBatchTaskRow {
    TBatchTransport Task;
    bool HasWorker = false;
    bool Paused = false;   // the worker is suspended
    TBatchProgress Progress;
    qint64 FileAllSize = 0;   // the current file
    qint64 FileDoneSize = 0;
    QString LastLog;
};

enum class TBatchFailDecision { Restart, Error };
// After a failed file: a lost connection is tried again while fewer than three
// have been counted; anything else (a refusal, an invalid session, a run that
// could not start) stops the task with BTS_Error.
TBatchFailDecision BatchFailDecision(int code, int connectionFailures);

// Whether a stored task gets a worker, and whether that worker starts at once.
enum class TTaskStart { None, Idle, Run };
TTaskStart TaskStartRule(const TBatchTransport &task);
// Work is left that a run should do: the task is neither finished once and for
// all, nor paused by the user, nor in the dustbin.
bool TaskIsUnfinished(const TBatchTransport &task);

// The lists of the task tree, by their tags.
enum TBatchTaskList { BTL_UploadActive = 1, BTL_UploadDone, BTL_UploadDustbin, BTL_DownloadActive, BTL_DownloadDone, BTL_DownloadDustbin };
bool BatchTaskInList(const TBatchTransport &task, int listTag);

// A web page's task request ("[TranStyle]", "[FF]", "[OwnerId]", "[SourceId]",
// "[SourceName]") made into a record for the editor.
enum class TPendingTaskCheck { Ok, ErrData, SelectFolder };
TPendingTaskCheck PendingTaskRecord(const QString &text, bool includeRoot, TBatchTransport &task);

QString TaskTypesText(const QList<qint32> &types);
// "*.*", "*" or empty: every type; a "*" among the pieces also means every type.
QList<qint32> ParseTaskTypes(const QString &text);

enum class TTaskCheck { Ok, Refused, NewFolderErr, SelSvrFolder, NoFile, NoFolder, ErrTime, ErrSize, SelOwner, SelDFolder, SelSOwner };
// The last checks of a save, on a collected task.
TTaskCheck CheckTaskEnds(const TBatchTransport &task);

// Writes the keys as a task's exclusions (its ".ivd" file), read at its next run.
bool WriteTaskExclusions(const QString &indexFolder, qint32 taskId, const QList<qint64> &keys);
// Removes a task's ".fln", ".std", ".ivd" and ".log" files.
void DeleteTaskIndexFiles(const QString &indexFolder, qint32 taskId);
// Who holds the task's lock in another process ("" when nobody does, or only this process).
QString TaskLockedElsewhere(const QString &indexFolder, qint32 taskId, THS_Language lang = HSL_ENG);

// What one run of a task came to.
struct TRunResult {
    quint8 State = BTS_Unknown;   // as stored
    int Files = 0;
    int Done = 0;
    int Failed = 0;              // failure lines of the run
    QString FirstFailure;
    QString LockedBy;            // the run did not start: another program runs the task
};

// What the last run of a task came to, kept beside its index ("<Id>.run"), so
// a reader learns it without opening the index a runner may be writing.
struct TLastRun {
    bool Known = false;
    quint8 State = BTS_Unknown;
    int Files = 0;
    int Done = 0;
    int Failed = 0;
};
TLastRun ReadLastRun(const QString &indexFolder, qint32 taskId);
bool WriteLastRun(const QString &indexFolder, qint32 taskId, const TRunResult &r);

class TTaskService : public QObject
{
    Q_OBJECT
public:
    // folder/indexFolder as for TBatchTranConfig (empty: the user's own).
    explicit TTaskService(const QString &folder = {}, const QString &indexFolder = {}, QObject *parent = nullptr);
    // Stores what the runs changed and lets the workers go.
    ~TTaskService() override;

    // The snapshot the workers get; set before the tasks start.
    void SetSettings(const TBatchSettings &settings) { FSettings = settings; }
    // Quiet time of a worker after its run (tests and the terminal shorten it).
    int WorkerEndPauseMs = 30000;

    // Loads, cleans and starts the stored tasks, the first time only; false when
    // they had been started already. From then on changes of btr.sys made by
    // other programs reach the workers.
    bool StartAllTasks();
    bool IsAutoRun() const { return FIsAutoRun; }
    // The session ended: every worker is let go, so nothing runs under a user
    // who logged out; the next login starts them again.
    void StopAllTasks();

    // Runs the tasks now, whatever their time rule (the terminal's "task run"):
    // runFinished follows for each. With keepPeriodic a periodic task then waits
    // for its next period instead of ending.
    void RunNow(const QList<qint32> &ids, bool keepPeriodic = false);
    // The tasks a run of everything takes.
    QList<qint32> UnfinishedTasks();
    // Stops every worker and stores nothing: an interrupted run goes on from
    // its index next time. allEnded follows once every worker has let go.
    void Interrupt();
    int UnfinishedCount() const;

    // Applies a state to a task: stores it and starts, pauses or stops its
    // worker. False (with LastError()) when it could not be stored or the task
    // is held by another program.
    bool ApplyState(qint32 id, quint8 st);
    bool Start(qint32 id) { return ApplyState(id, BTS_Running); }
    bool Pause(qint32 id) { return ApplyState(id, BTS_Paused); }
    // First to the dustbin, from there out of the task file.
    bool Delete(qint32 id);
    // Out of the task file with its index files at once (the terminal's "task delete").
    bool Remove(qint32 id);
    // Runs the task again from scratch: its index files and exclusions go.
    bool Restart(qint32 id);
    // A new task is stored (a taken Id is moved to a free one, written back) and,
    // while the tasks run here, started; with exclusions, they replace the task's own.
    bool AppendTask(TBatchTransport &task, const QList<qint64> *excluded = nullptr);
    // The editor changed before into after: only the fields it changed are
    // stored, over what the file holds now; a worker runs with them from its next step.
    bool ModifyTask(const TBatchTransport &before, const TBatchTransport &after, const QList<qint64> *excluded = nullptr);
    // Message 1239: a listed worker of a task that runs once.
    bool IsListedOneOff(qint32 id) const;

    QList<TBatchTaskRow> Rows(int listTag) const;
    bool Row(qint32 id, TBatchTaskRow &row) const;
    bool Task(qint32 id, TBatchTransport &task) const;
    QList<TBatchTransport> Tasks() const { return PAllTaskInfo->GetAllTask(); }
    bool HasWorker(qint32 id) const { return FWorkers.count(id) > 0; }
    int GetUnOverTaskNum() const;
    // The log of a task: its worker's, or the log file of its last run.
    QString LogText(qint32 id) const;
    QString ErrorText(qint32 id) const;
    QString LastSaveError() const { return FSaveError; }
    QString LastError() const { return FError; }
    QString IndexFolder() const { return PAllTaskInfo->IndexFolder(); }
    QString ConfigFileName() const { return PAllTaskInfo->ConfigFileName(); }
    QString LoadError() const { return PAllTaskInfo->LoadError(); }
    // Reads btr.sys again now (the watcher does it on its own within a moment).
    void Reload();

Q_SIGNALS:
    // A task's row changed (figures, state or existence).
    void taskChanged(int id);
    // Tasks were added or removed as a whole.
    void tasksChanged();
    void bulkDownloadRefused(int id);
    void saveFailed(const QString &error);
    // A line of a worker's log, as it comes.
    void logLine(int id, const QString &line);
    void fileStarted(int id, const QString &path);
    void taskLocked(int id, const QString &holder);
    // A run started with RunNow ended (or could not start).
    void runFinished(int id, const TRunResult &result);
    void allEnded();

private:
    struct Worker {
        std::unique_ptr<TCustomBathFileDeal> Thread;
        TBatchTaskRow Row;
        bool RunNow = false;       // started by RunNow: reports runFinished
        bool KeepPeriodic = false;
        bool Finished = false;     // its run's result was reported
    };
    void createWorker(const TBatchTransport &task, bool start, bool runNow = false, bool keepPeriodic = false);
    void stopWorkers();
    void retireWorker(qint32 id);
    bool update(const std::function<void(TBatchTranConfig &)> &change);
    void storeRun(qint32 id, quint8 st);
    void refresh(qint32 id);
    void onFileFailed(int id, int code);
    void onRunEnded(int id);
    void onLocked(int id, const QString &holder);
    void onWorkerFinished(int id, TCustomBathFileDeal *t);
    void finishRun(qint32 id, const TRunResult &r);
    TRunResult resultOf(qint32 id, quint8 st) const;
    void watch();
    void onStoreChanged();
    void pollLocks();

    std::unique_ptr<TBatchTranConfig> PAllTaskInfo;
    TBatchSettings FSettings;
    std::map<qint32, Worker> FWorkers;
    // Workers let go that may still be ending; a task's next worker waits for its last one.
    std::map<qint32, QPointer<TCustomBathFileDeal>> FRetiring;
    // Tasks whose worker found them held by another program, with the line that
    // says so: they start when it lets go.
    QHash<qint32, QString> FWaitingForLock;
    QFileSystemWatcher FWatcher;
    QTimer FReloadTimer;
    QTimer FLockPoll;
    bool FIsAutoRun = false;
    bool FInterrupted = false;
    QString FSaveError;
    QString FError;
};
