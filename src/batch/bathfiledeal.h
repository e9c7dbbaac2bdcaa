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
// The line a worker refused for that lock shows: "Task 5 is running in <holder>".
QString TaskRunningElsewhereText(THS_Language lang, qint32 taskId, const QString &holder);

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
    void tcpWork(int taskId, qint64 allSize, qint64 complateSize);
    void taskPlan(int taskId, qint64 done, qint64 total);
    void startDealFile(int taskId, const QString &fileName);
    void stateChanged(int taskId, int state);

protected:
    void run() override;

private:
    // Done: moved; Skipped: a rule said no; Listed: counted done with a failure line;
    // Failed: tried again later in the run; Stop: the owner decides.
    enum class Outcome { Done, Skipped, Listed, Failed, Stop };
    void AppendLog(const QString &s);
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
    bool FInit = false;

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
    QStringList FReturnKeyList;
    QStringList FErrList;
    std::unique_ptr<TFileIndex> PIndex;
    std::unique_ptr<QLockFile> FTaskLock;
};
