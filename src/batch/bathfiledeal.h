#pragma once
// The worker that runs one batch task on a thread of its own: initialise a run
// (scan or fetch the server's list into the index), move one file per step,
// close the run. It reports through queued signals carrying the task id and
// touches neither windows nor the configuration store: it owns a copy of the
// task and a snapshot of the settings it needs.
#include "batch/batchtransport.h"
#include "batch/fileindex.h"
#include "model/serverconn.h"

#include <QLockFile>
#include <QMutex>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class TClientConfigX;
class TRobotTcpClient;

struct TBatchSettings {
    TServerConn Conn;
    QString UserName;
    bool OnlyTimeCheck = false;
    QString IndexFolder;   // empty: the configuration folder + "index/"
    QString ConfigFolder;  // where "rng.dat" lies; empty: the configuration folder
    static TBatchSettings FromConfig(const TClientConfigX &config);
};

// What one file's answer means for the run. Done: moved; SkippedByRule: a rule
// said no or the server holds it already (not tried again); RetryInRun: handed
// out again later in this run; FailedListed: not stored, listed, tried again at
// the next run; StopConnection / StopRefused: the owner decides whether to go on.
enum class TFileOutcome { Done, SkippedByRule, RetryInRun, FailedListed, StopConnection, StopRefused };
// The only places that know what an upload's or a download's result code means;
// a code they do not know is never a success.
TFileOutcome ClassifyUpload(int code);
TFileOutcome ClassifyDownload(int code);
// The server's upload limit in bytes; a limit of 0 or less means the 200 MB default.
qint64 ServerMaxFileBytes(qint64 megabytes);

// How a run ended. Complete: every file listed went; Incomplete: some files or
// folders failed (tried again at the next run); Failed: the files could not be
// listed at all (list request failed, refused or stopped, source missing). A run
// that was stopped does not end: the task keeps the state it had.
enum class TRunEnd { None, Complete, Incomplete, Failed };

struct TBatchProgress {
    int AllCount = 0;
    int FinishedCount = 0;
    qint64 FinishedSize = 0;
    qint64 TotalSize = 0;
    double Rate = 0;
    double Scale = 0;
    quint8 St = BTS_Unknown;
    int CrashErrorNum = 0;
    quint8 LastST = 0;
    int FailedCount = 0;   // failure lines of the current or last run
    bool Initialised = false;
    QString CurrentFile;
    TRunEnd LastRun = TRunEnd::None;   // of the last run that ended
    QString RunError;                  // why that run failed, when it did
    bool LockedElsewhere = false;      // the worker ended: another program runs the task
};

// Decides whether a step may run now, and sets task.St to BTS_Running or BTS_Waiting.
bool BatchTimeRule(TBatchTransport &task, bool previous, TDateTime now);
// Server sub-folder ("a\b\", or empty) of a local file of an upload task.
QString UploadSubFolder(const TBatchTransport &task, const QString &path);
QString RelativePath(const QString &base, const QString &path);
QString LastFolderName(const QString &folder);
// "report.doc" -> "report.doc_kx<n>.doc" with the first n not taken.
QString FreeExclusionCopyName(const QString &path);
// Per-task lock in the index folder: one runner of a task at a time, across processes.
QString TaskLockFileName(const QString &indexFolder, qint32 taskId);
// Who holds the lock of a task ("zudivuvo-cli (pid 123 on host)"), empty when nobody.
QString TaskLockHolder(const QString &indexFolder, qint32 taskId, THS_Language lang = HSL_ENG);
// True when another process (not this one) holds the task's lock; *holder then
// names it. Check before removing a task's index files.
bool TaskLockHeldElsewhere(const QString &indexFolder, qint32 taskId, QString *holder = nullptr);
// The line a worker refused for that lock shows: "Task 5 is running in <holder>".
QString TaskRunningElsewhereText(THS_Language lang, qint32 taskId, const QString &holder);

// Appends lines to a task's log file and keeps its history bounded: the last
// maxRuns runs, at most maxBytes, oldest whole lines cut first. A torn last line
// (a crash while writing) is cut. The file is replaced atomically.
bool AppendTaskLog(const QString &path, const QStringList &lines, QString *error = nullptr, int maxRuns = 20,
                   qint64 maxBytes = 4 * 1024 * 1024);
// The first line of each run in a log, in either language.
bool IsRunStartLogLine(const QString &line);

class TCustomBathFileDeal;
// Tells a worker to stop and lets it end unseen: nobody waits for it, its
// signals are dropped, and it is deleted once its thread has finished. At the
// end of the process the workers still running get a short grace.
void ReleaseWorker(TCustomBathFileDeal *worker);
// Runs f once the worker's thread is over (at once when it is not running);
// nothing when context is gone by then.
void WhenWorkerEnded(TCustomBathFileDeal *worker, QObject *context, std::function<void()> f);

class TCustomBathFileDeal : public QThread
{
    Q_OBJECT
public:
    TCustomBathFileDeal(const TBatchTransport &task, const TBatchSettings &settings, QObject *parent = nullptr);
    // Stops the thread and waits for it: a transfer in progress is cancelled first.
    ~TCustomBathFileDeal() override;

    void StartEx();
    void PauseEx();
    void StopEx();
    bool SuspendedEx() const { return (FRefCount.load() & 1) == 0; }
    // The owner has handled runEnded: the worker may go on.
    void RunEndHandled();

    // Initialises a run: false when it could not (the log says why).
    bool InitEx();
    // One file; false when nothing was left and the run was closed.
    bool TransferStep();

    TBatchTransport TaskInfo() const;
    void SetTaskInfo(const TBatchTransport &task);
    TBatchProgress Progress() const;
    QString GetErrorLog() const;
    QString GetLogText() const;
    QString GetLastLogStr() const;
    // The log lines held from number `from` on (numbered from 0 since the worker
    // began; the oldest are let go), and the number of the first one returned.
    QStringList LogLinesSince(qint64 from, qint64 *first = nullptr) const;
    void RemoveFiles(const QList<qint64> &keys);
    // The index of the last InitEx, entry by entry, and its count of files not left out.
    void ListFiles(const std::function<void(const TTidyFile &)> &method) const;
    int IndexCount() const;
    void SaveLog();

    // Set before StartEx.
    bool IsLog = true;
    std::function<TDateTime()> FNow = &NowDateTime;
    int FEndPauseMs = 30000;   // quiet time after a run, before runEnded
    int FPollMs = 200;         // time-rule poll while a periodic task waits
    bool FRunNow = false;      // the first run starts at once, whatever the time rule

Q_SIGNALS:
    void fileFailed(int taskId, int code);
    void runEnded(int taskId);
    void bulkDownloadRefused(int taskId);
    void taskLocked(int taskId, const QString &holder);
    void showLogInfo(int taskId, const QString &line);
    // The same lines, numbered: a view appends them and asks LogLinesSince when
    // firstLine is not the number it expected.
    void logAppended(int taskId, qint64 firstLine, const QStringList &lines);
    void tcpWork(int taskId, qint64 allSize, qint64 complateSize);
    void taskPlan(int taskId, qint64 done, qint64 total);
    void startDealFile(int taskId, const QString &fileName);
    void stateChanged(int taskId, int state);

protected:
    void run() override;

private:
    // A file outcome, or a file that is gone since it was indexed.
    enum class Outcome { Done, Skipped, Listed, Failed, Stop, Vanished };
    static Outcome fromFileOutcome(TFileOutcome o);
    void AppendLog(const QString &s);
    void AppendLogLines(const QStringList &lines);
    void failRun(const QString &why);
    bool waitStopFor(int ms);
    QString Stamp() const;
    void loadTexts();
    void waitEvent();
    void waitEventFor(int ms);
    void setEvent();
    void setSt(quint8 st);
    Outcome uploadOne(TRobotTcpClient &c, TTidyFile &t, int &code);
    Outcome downloadOne(TRobotTcpClient &c, TTidyFile &t, int &code);
    void closeRun();
    void addFailure(const QString &line);
    void onProgress(qint64 all, qint64 done);
    void release();
    std::unique_ptr<TRobotTcpClient> makeClient(int readTimeout = 30000);

    const TBatchSettings FSettings;
    mutable QMutex FLock;          // guards the task copy, the lists and the figures
    TBatchTransport FTaskInfo;
    qint32 FId = 0;
    std::atomic<int> FRefCount{0};
    std::atomic<qint32> FIsBreak{0};
    std::atomic<bool> FTerminate{false};
    std::atomic<bool> FRunEndAck{false};
    // The event on the standard primitives: ThreadSanitizer sees their waits.
    std::mutex FEventLock;
    std::condition_variable FEventCond;
    bool FEvent = false;
    bool FInit = false;            // guarded by FLock

    QString WLS_TranData, WLS_StartSearch, WLS_CompleteSearch, WLS_GetList, WLS_TaskInit, WLS_InitOver,
        WLS_FileSizeErr, WLS_FileKindErr, WLS_TranInfo, WLS_TranComplete, WLS_TranErr, WLS_SearchNum, WLS_Total,
        WLS_FinishedCount;

    qint64 FServerFileMaxSize = 200LL * 1024 * 1024;
    QList<quint32> FServerFileType;
    qint64 FUploadLimitB = 0;
    qint64 FUploadLimitT = 0;
    int FAllCount = 0;
    int FFinishedCount = 0;
    qint64 FFinishedSize = 0;
    qint64 FRunTransferred = 0;
    qint64 FTotalSize = 0;        // of the last run, also once its index is gone
    TDateTime FLastStatDT = 0;
    TDateTime FLastStatDT2 = 0;
    double FRate = 0;
    double FFinishedScale = 0;
    int FCrashErrorNum = 0;
    quint8 FLastST = 0;
    quint8 FLastProcessSt = 0;
    QString FCurrentFile;
    QStringList PLogLst;
    qint64 FLogFirst = 0;          // number of PLogLst's first line
    qint64 FLogSaved = 0;          // lines up to this number are in the log file
    QMutex FLogFileLock;
    TRunEnd FLastRun = TRunEnd::None;
    QString FRunError;             // set when the run's files could not be listed
    bool FNoTransfers = false;     // the run fails before any file is tried
    bool FLockedElsewhere = false;
    // End of the last run that ended, failed ones too: the time rule counts from
    // it, while RunEndTime stays at the last run that could look at the files.
    TDateTime FLastAttemptEnd = 0;
    QStringList FReturnKeyList;
    QStringList FErrList;
    std::unique_ptr<TFileIndex> PIndex;
    std::unique_ptr<QLockFile> FTaskLock;
};
