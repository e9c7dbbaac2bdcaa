#pragma once
// The task manager's logic without a window: owns the task store and one worker
// per active task, applies the user's state changes, decides what happens after
// a failed file or a finished run, and stores every change at once. Workers
// report through queued signals; the manager keeps its own copy of each task's
// figures, so a view never reads a worker while it changes them.
#include "batch/bathfiledeal.h"
#include "batch/batchtranconfig.h"

#include <QObject>
#include <QPointer>

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
// have been counted; anything else stops the task with BTS_Error.
TBatchFailDecision BatchFailDecision(int code, int connectionFailures);

// The lists of the task tree, by their tags.
enum TBatchTaskList { BTL_UploadActive = 1, BTL_UploadDone, BTL_UploadDustbin, BTL_DownloadActive, BTL_DownloadDone, BTL_DownloadDustbin };
bool BatchTaskInList(const TBatchTransport &task, int listTag);

// A web page's task request ("[TranStyle]", "[FF]", "[OwnerId]", "[SourceId]",
// "[SourceName]") made into a record for the editor.
enum class TPendingTaskCheck { Ok, ErrData, SelectFolder };
TPendingTaskCheck PendingTaskRecord(const QString &text, bool includeRoot, TBatchTransport &task);

class TBatchTaskManager : public QObject
{
    Q_OBJECT
public:
    // folder/indexFolder as for TBatchTranConfig (empty: the user's own).
    explicit TBatchTaskManager(const QString &folder = {}, const QString &indexFolder = {}, QObject *parent = nullptr);
    // Stores every worker's state and stops the workers.
    ~TBatchTaskManager() override;

    // The snapshot the workers get; set before StartAllTasks.
    void SetSettings(const TBatchSettings &settings) { FSettings = settings; }
    // Quiet time of a worker after its run (tests shorten it).
    int WorkerEndPauseMs = 30000;

    // Loads, cleans and starts the stored tasks, the first time only; false when
    // they had been started already.
    bool StartAllTasks();
    bool IsAutoRun() const { return FIsAutoRun; }
    // The session ended: every task is stored as it stands and its worker let go,
    // so nothing runs under a user who logged out; the next login starts them again.
    void StopAllTasks();

    // Applies a state to a task: stores it and starts, pauses or stops its worker.
    bool ApplyState(qint32 id, quint8 st);
    void Start(qint32 id) { ApplyState(id, BTS_Running); }
    void Pause(qint32 id) { ApplyState(id, BTS_Paused); }
    // First to the dustbin, from there out of the task file.
    void Delete(qint32 id);
    // Runs the task again from scratch: its index files and exclusions go.
    void Restart(qint32 id);
    // A new task is stored (a taken Id is moved to a free one, written back) and
    // started; with exclusions, they replace the task's own.
    void AppendTask(TBatchTransport &task, const QList<qint64> *excluded = nullptr);
    // A changed task is stored and its worker, if any, runs with it from its next step.
    void ModifyTask(const TBatchTransport &task, const QList<qint64> *excluded = nullptr);
    // Message 1239: a listed worker of a task that runs once.
    bool IsListedOneOff(qint32 id) const;

    QList<TBatchTaskRow> Rows(int listTag) const;
    bool Row(qint32 id, TBatchTaskRow &row) const;
    bool HasWorker(qint32 id) const { return FWorkers.count(id) > 0; }
    int GetUnOverTaskNum() const;
    // The log of a task: its worker's, or the log file of its last run.
    QString LogText(qint32 id) const;
    QString ErrorText(qint32 id) const;
    QString LastSaveError() const { return FSaveError; }
    TBatchTranConfig &Store() { return *PAllTaskInfo; }

Q_SIGNALS:
    // A task's row changed (figures, state or existence).
    void taskChanged(int id);
    // Tasks were added or removed as a whole.
    void tasksChanged();
    void bulkDownloadRefused(int id);
    void saveFailed(const QString &error);

private:
    struct Worker {
        std::unique_ptr<TCustomBathFileDeal> Thread;
        TBatchTaskRow Row;
    };
    void createWorker(const TBatchTransport &task);
    void stopWorkers();
    void retireWorker(qint32 id);
    void storeRun(qint32 id, quint8 st);
    void save();
    void refresh(qint32 id);
    void onFileFailed(int id, int code);
    void onRunEnded(int id);

    std::unique_ptr<TBatchTranConfig> PAllTaskInfo;
    TBatchSettings FSettings;
    std::map<qint32, Worker> FWorkers;
    // Workers let go that may still be ending; a task's next worker waits for its last one.
    std::map<qint32, QPointer<TCustomBathFileDeal>> FRetiring;
    bool FIsAutoRun = false;
    QString FSaveError;
};
