#include "batch/bathfiledeal.h"

#include "batch/batchtranconfig.h"
#include "batch/logging.h"
#include "core/clientconfigx.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/resultcodes.h"
#include "core/safepath.h"
#include "core/tagtext.h"
#include "core/textfile.h"
#include "net/robottcpclient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kCrLf = QStringLiteral("\r\n");
constexpr double kOneSecond = 1.0 / 86400;

// Why a task's source cannot be read (empty when it can): a folder that cannot be
// listed, a file that cannot be opened, or nothing at all at that path.
QString sourceProblem(const QString &source, bool folder)
{
    const QString path = ToLocalSeparators(source);
    const QString shown = QDir::toNativeSeparators(path);
    const QString what = folder ? QStringLiteral("source folder") : QStringLiteral("source file");
    if (path.isEmpty())
        return QStringLiteral("The task names no %1").arg(what);
    const QByteArray enc = QFile::encodeName(path);
    struct stat st;
    if (::stat(enc.constData(), &st) != 0)
        return QStringLiteral("Cannot open the %1 %2: %3").arg(what, shown, qt_error_string(errno));
    if (folder && !S_ISDIR(st.st_mode))
        return QStringLiteral("The %1 %2 is not a folder").arg(what, shown);
    if (!folder && !S_ISREG(st.st_mode))
        return QStringLiteral("The %1 %2 is not a file").arg(what, shown);
    if (folder) {
        DIR *d = ::opendir(enc.constData());
        if (!d)
            return QStringLiteral("Cannot open the %1 %2: %3").arg(what, shown, qt_error_string(errno));
        ::closedir(d);
    } else if (::access(enc.constData(), R_OK) != 0) {
        return QStringLiteral("Cannot open the %1 %2: %3").arg(what, shown, qt_error_string(errno));
    }
    return QString();
}

// True when nothing is at path any more (not when it only cannot be reached).
bool isGone(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(ToLocalSeparators(path)).constData(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// Minutes between two date-times, whole and never negative (the time rule's measure).
qint64 minutesBetween(TDateTime a, TDateTime b)
{
    return qint64(std::floor(std::fabs(a - b) * 1440 + 1e-7));
}

} // namespace

TBatchSettings TBatchSettings::FromConfig(const TClientConfigX &config)
{
    TBatchSettings s;
    s.Conn = TServerConn::FromConfig(config);
    s.UserName = config.OwnerName();
    s.OnlyTimeCheck = config.GetValueEx(QStringLiteral("OnlyTimeCheck")) == QLatin1String("1");
    return s;
}

bool BatchTimeRule(TBatchTransport &task, bool previous, TDateTime now)
{
    if (task.TaskCyc <= 0) {
        task.St = BTS_Running;
        return true;
    }
    task.St = BTS_Waiting;
    const double startOfDay = task.TaskStartTime - std::floor(task.TaskStartTime);
    const double nowOfDay = now - std::floor(now);
    if (startOfDay > nowOfDay + 1e-9)
        return false;
    // A period under one minute would divide by zero below.
    const qint64 period = qMax<qint64>(1, std::llround(qMax(task.TaskCyc, kMinTaskCyc) * 60));
    // The period in whole minutes, as the task list shows it: one minute is stored
    // as 0.02 h, and 1.2 minutes would hold every run back to the second minute.
    if (period > minutesBetween(now, task.RunEndTime))
        return false;
    if (!previous) {
        task.St = BTS_Running;
        return true;
    }
    if (minutesBetween(now, task.TaskStartTime) % period >= 4)
        return false;
    task.St = BTS_Running;
    return true;
}

QString UploadSubFolder(const TBatchTransport &task, const QString &path)
{
    if (task.FF != FF_Folder)
        return QString();
    QString base = task.SourceFolderName;
    base.replace(u'/', u'\\');
    if (task.IncludeRootPath) {
        const qsizetype cut = base.left(base.size() - 1).lastIndexOf(u'\\');
        if (cut >= 0)
            base.truncate(cut + 1);
    }
    QString dir = path;
    dir.replace(u'/', u'\\');
    dir.truncate(dir.lastIndexOf(u'\\') + 1);
    const qsizetype a = dir.toLower().indexOf(base.toLower());
    if (base.isEmpty() || a < 0)
        return QString();
    return dir.mid(a + base.size()).left(1024);
}

QString RelativePath(const QString &base, const QString &path)
{
    const qsizetype i = base.isEmpty() ? -1 : path.indexOf(base);
    if (i >= 0)
        return path.mid(i + base.size()).left(1024);
    const qsizetype d = path.indexOf(QLatin1String(":\\"));
    if (d >= 0)
        return path.mid(d + 2).left(1024);
    return path.left(1024);
}

QString LastFolderName(const QString &folder)
{
    if (folder.size() <= 1)
        return folder;
    const QStringView head = QStringView(folder).left(folder.size() - 1);
    const qsizetype cut = qMax(head.lastIndexOf(u'\\'), head.lastIndexOf(u'/'));
    return cut < 0 ? folder : folder.mid(cut + 1);
}

QString FreeExclusionCopyName(const QString &path)
{
    const QFileInfo fi(path);
    const QString ext = fi.suffix().isEmpty() ? QString() : u'.' + fi.suffix();
    for (int n = 0;; ++n) {
        const QString candidate = path + QStringLiteral("_kx") + QString::number(n) + ext;
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

TFileOutcome ClassifyUpload(int code)
{
    switch (code) {
    case rc::UploadOk:
    case rc::EditAudit:             // stored, waiting for review
    case rc::RecoveredFromRecycle:  // stored from the recycle bin
        return TFileOutcome::Done;
    case rc::NoChange:
        return TFileOutcome::SkippedByRule;
    case rc::Unknown:               // nothing sent, or cancelled
    case rc::OpenFileError:         // the local file could not be read (yet)
        return TFileOutcome::RetryInRun;
    case rc::TimedOut:
    case rc::NetworkOrData:
        return TFileOutcome::StopConnection;
    case rc::UserDisabled:
    case rc::OutOfSpace:
    case rc::IllegalUser:
    case rc::Refused:
    case rc::ForcedAudit:
    case rc::NoPrivilege:
    case rc::NoFolderPrivilege:
        return TFileOutcome::StopRefused;
    default:
        // Every other answer (save error, locked file, missing folder, ...) and
        // every code we do not know: not stored.
        return TFileOutcome::FailedListed;
    }
}

TFileOutcome ClassifyDownload(int code)
{
    switch (code) {
    case rc::DownloadOk:
        return TFileOutcome::Done;
    case rc::ServerOlder:           // the task keeps a newer local file
        return TFileOutcome::SkippedByRule;
    case rc::Unknown:
        return TFileOutcome::RetryInRun;
    case rc::TimedOut:
    case rc::NetworkOrData:
        return TFileOutcome::StopConnection;
    case rc::UserDisabled:
    case rc::IllegalUser:
        return TFileOutcome::StopRefused;
    default:
        return TFileOutcome::FailedListed;
    }
}

qint64 ServerMaxFileBytes(qint64 megabytes)
{
    return (megabytes > 0 ? megabytes : 200) * 1024 * 1024;
}

bool IsRunStartLogLine(const QString &line)
{
    return line.endsWith(QLatin1String("Task initialization...")) || line.endsWith(QStringView(u" 任务初始化开始..."));
}

bool AppendTaskLog(const QString &path, const QStringList &lines, QString *error, int maxRuns, qint64 maxBytes)
{
    QByteArray bytes;
    bool fromMiddle = false;
    {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly)) {
            // Only the tail can survive the cap: never read more than that.
            const qint64 keep = 2 * qMax<qint64>(1, maxBytes);
            if (f.size() > keep + 2) {
                f.seek((f.size() - keep) & ~qint64(1));
                fromMiddle = true;
            }
            bytes = f.readAll();
        }
    }
    if (!fromMiddle && bytes.startsWith("\xFF\xFE"))
        bytes.remove(0, 2);
    bytes.truncate(bytes.size() & ~qsizetype(1));
    QString text = QStringDecoder(QStringDecoder::Utf16LE).decode(bytes);
    bytes.clear();
    // A torn last line is cut whole, and so is the cut first line of a tail.
    const qsizetype lastEnd = text.lastIndexOf(kCrLf);
    text.truncate(lastEnd < 0 ? 0 : lastEnd + 2);
    QStringList all = text.isEmpty() ? QStringList() : text.split(kCrLf);
    if (!all.isEmpty())
        all.removeLast();  // the empty text after the final CR LF
    if (fromMiddle && !all.isEmpty())
        all.removeFirst();
    all += lines;
    qsizetype starts = 0;
    qsizetype from = 0;
    for (qsizetype i = all.size() - 1; i >= 0; --i) {
        if (IsRunStartLogLine(all.at(i)) && ++starts == maxRuns) {
            from = i;
            break;
        }
    }
    qint64 size = 2;
    for (qsizetype i = from; i < all.size(); ++i)
        size += (all.at(i).size() + 2) * 2;
    while (size > maxBytes && from < all.size() - 1)
        size -= (all.at(from++).size() + 2) * 2;
    QString out;
    for (qsizetype i = from; i < all.size(); ++i)
        out += all.at(i) + kCrLf;
    QByteArray data("\xFF\xFE", 2);
    data += QStringEncoder(QStringEncoder::Utf16LE).encode(out);
    return WriteFileAtomic(path, data, error);
}

QString TaskLockFileName(const QString &indexFolder, qint32 taskId)
{
    const QString folder = indexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(indexFolder);
    return folder + QString::number(taskId) + QStringLiteral(".lock");
}

QString TaskLockHolder(const QString &indexFolder, qint32 taskId, THS_Language lang)
{
    QLockFile lock(TaskLockFileName(indexFolder, taskId));
    // Only a dead holder's lock is stale: a long run still holds its lock.
    lock.setStaleLockTime(0);
    if (lock.tryLock(0)) {
        lock.unlock();
        return QString();
    }
    const bool cn = lang == HSL_CN;
    qint64 pid = 0;
    QString host;
    QString app;
    if (!lock.getLockInfo(&pid, &host, &app))
        return cn ? QStringLiteral("另一个程序") : QStringLiteral("another program");
    if (app.isEmpty())
        app = cn ? QStringLiteral("一个程序") : QStringLiteral("a program");
    return (cn ? QStringLiteral("%1（主机 %3 上的进程 %2）") : QStringLiteral("%1 (pid %2 on %3)")).arg(app, QString::number(pid), host);
}

bool TaskLockHeldElsewhere(const QString &indexFolder, qint32 taskId, QString *holder)
{
    QLockFile lock(TaskLockFileName(indexFolder, taskId));
    lock.setStaleLockTime(0);
    if (lock.tryLock(0)) {
        lock.unlock();
        return false;
    }
    qint64 pid = 0;
    QString host;
    QString app;
    if (lock.getLockInfo(&pid, &host, &app) && pid == QCoreApplication::applicationPid() && host == QSysInfo::machineHostName())
        return false;
    if (holder)
        *holder = TaskLockHolder(indexFolder, taskId);
    return true;
}

QString TaskRunningElsewhereText(THS_Language lang, qint32 taskId, const QString &holder)
{
    return (lang == HSL_CN ? QStringLiteral("任务 %1 正在以下程序中运行：%2") : QStringLiteral("Task %1 is running in %2"))
        .arg(taskId)
        .arg(holder);
}

// ---- Workers that were let go

namespace {

struct TReleasedWorkers {
    std::mutex Lock;
    QList<TCustomBathFileDeal *> List;
};

TReleasedWorkers &released()
{
    static TReleasedWorkers *r = new TReleasedWorkers;  // never destroyed: the post routine reads it last
    return *r;
}

void graceAtExit()
{
    // Cancelled exchanges end within a fifth of a second; a worker still busy
    // after the grace is left to the end of the process.
    QDeadlineTimer deadline(2000);
    QList<TCustomBathFileDeal *> list;
    {
        std::lock_guard lock(released().Lock);
        list = released().List;
    }
    for (TCustomBathFileDeal *t : list)
        t->wait(deadline);
}

} // namespace

void ReleaseWorker(TCustomBathFileDeal *worker)
{
    if (!worker)
        return;
    worker->disconnect();
    worker->setParent(nullptr);
    worker->StopEx();
    if (!worker->isRunning()) {
        delete worker;
        return;
    }
    static std::once_flag routine;
    std::call_once(routine, [] { qAddPostRoutine(graceAtExit); });
    {
        std::lock_guard lock(released().Lock);
        released().List << worker;
    }
    QObject::connect(worker, &QObject::destroyed, [worker] {
        std::lock_guard lock(released().Lock);
        released().List.removeAll(worker);
    });
    QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    // It may have ended before the connection was made.
    if (worker->isFinished())
        worker->deleteLater();
}

void WhenWorkerEnded(TCustomBathFileDeal *worker, QObject *context, std::function<void()> f)
{
    if (!worker || !worker->isRunning()) {
        f();
        return;
    }
    auto once = std::make_shared<std::function<void()>>(std::move(f));
    auto run = [once] {
        if (*once) {
            auto g = std::move(*once);
            *once = nullptr;
            g();
        }
    };
    QObject::connect(worker, &QThread::finished, context, run, Qt::QueuedConnection);
    if (worker->isFinished())
        QMetaObject::invokeMethod(context, run, Qt::QueuedConnection);
}

// ---- The worker

std::unique_ptr<TRobotTcpClient> TCustomBathFileDeal::makeClient(int readTimeout)
{
    auto c = FSettings.Conn.MakeClient(readTimeout);
    // A stop must not wait for a silent server's answer.
    c->PCancelFrames = &FIsBreak;
    return c;
}

TCustomBathFileDeal::TCustomBathFileDeal(const TBatchTransport &task, const TBatchSettings &settings, QObject *parent)
    : QThread(parent), FSettings(settings), FTaskInfo(task), FId(task.Id)
{
    loadTexts();
}

TCustomBathFileDeal::~TCustomBathFileDeal()
{
    StopEx();
    wait();
    // The thread's last act takes this lock too: its writes are ours now, also
    // for a ThreadSanitizer that cannot see inside QThread::wait.
    std::lock_guard lock(FEventLock);
}

void TCustomBathFileDeal::loadTexts()
{
    const bool cn = FSettings.Conn.Language == HSL_CN;
    auto t = [cn](const char16_t *c, const char16_t *e) { return QString::fromUtf16(cn ? c : e); };
    WLS_TranData = t(u"共完成传输数据", u"Completed data transfer ");
    WLS_StartSearch = t(u"开始搜索目录下文件...", u"Start search files in the directory...");
    WLS_CompleteSearch = t(u"完成目录文件搜索！", u"Complete files search in the directory!");
    WLS_GetList = t(u"从服务器得到文件列表，请等待...", u"Getting list of files from the server, please wait ...");
    WLS_TaskInit = t(u" 任务初始化开始...", u"Task initialization...");
    WLS_InitOver = t(u"任务初始化完成...", u"Task initialization over...");
    WLS_FileSizeErr = t(u" 上传失败，文件大小超出服务器设置的允许上传文件的大小",
                        u"Upload failed, because the file size exceeds the upload file size limit");
    WLS_FileKindErr = t(u" 上传失败，文件类型不在服务器端允许范围内！",
                        u"Upload failed because the file type is not allowed to upload to the server!");
    WLS_TranInfo = t(u" 开始传输文件\"%s\"，大小：%s", u" Start Transmission '%s', size: %s");
    WLS_TranComplete = t(u"完成全部传输任务！", u"All transfer tasks completed!");
    WLS_TranErr = t(u"传输失败的情况：", u"Transmission failures:");
    WLS_SearchNum = t(u"共搜索文件%s个", u"Total files %s");
    WLS_Total = t(u"得到文件%s个，请等待...", u"Get total number of files: %s, please wait...");
    WLS_FinishedCount = t(u"需要处理的文件%s个", u"%s files need to be processed");
}

static QString fillS(QString pattern, const QString &a, const QString &b = QString())
{
    const qsizetype i = pattern.indexOf(QLatin1String("%s"));
    if (i >= 0)
        pattern.replace(i, 2, a);
    const qsizetype j = pattern.indexOf(QLatin1String("%s"), i < 0 ? 0 : i + a.size());
    if (j >= 0)
        pattern.replace(j, 2, b);
    return pattern;
}

QString TCustomBathFileDeal::Stamp() const
{
    return FormatWireDateTime(NowDateTime());
}

namespace {
// Lines a worker holds for its views; older ones are in the log file.
constexpr qsizetype kHeldLogLines = 5000;
// Unsaved lines that make the worker write them out, so none is let go unsaved.
constexpr qint64 kLogSaveEvery = 1000;
}

void TCustomBathFileDeal::AppendLog(const QString &s)
{
    AppendLogLines({s});
}

void TCustomBathFileDeal::AppendLogLines(const QStringList &lines)
{
    qint64 first = 0;
    bool save = false;
    {
        QMutexLocker lock(&FLock);
        first = FLogFirst + PLogLst.size();
        if (IsLog) {
            PLogLst += lines;
            save = FLogFirst + PLogLst.size() - FLogSaved >= kLogSaveEvery;
        }
    }
    if (save)
        SaveLog();
    {
        QMutexLocker lock(&FLock);
        if (PLogLst.size() > kHeldLogLines) {
            // Never let go of a line the file does not hold yet.
            const qsizetype drop = qMin<qsizetype>(PLogLst.size() - kHeldLogLines, qMax<qint64>(0, FLogSaved - FLogFirst));
            PLogLst.erase(PLogLst.begin(), PLogLst.begin() + drop);
            FLogFirst += drop;
        }
    }
    for (const QString &line : lines)
        Q_EMIT showLogInfo(FId, line);
    Q_EMIT logAppended(FId, first, lines);
}

QStringList TCustomBathFileDeal::LogLinesSince(qint64 from, qint64 *first) const
{
    QMutexLocker lock(&FLock);
    const qint64 start = qBound(FLogFirst, from, FLogFirst + PLogLst.size());
    if (first)
        *first = start;
    return PLogLst.mid(qsizetype(start - FLogFirst));
}

void TCustomBathFileDeal::failRun(const QString &why)
{
    AppendLog(why);
    addFailure(why);
    QMutexLocker lock(&FLock);
    if (FRunError.isEmpty())
        FRunError = why;
}

TCustomBathFileDeal::Outcome TCustomBathFileDeal::fromFileOutcome(TFileOutcome o)
{
    switch (o) {
    case TFileOutcome::Done:
        return Outcome::Done;
    case TFileOutcome::SkippedByRule:
        return Outcome::Skipped;
    case TFileOutcome::RetryInRun:
        return Outcome::Failed;
    case TFileOutcome::FailedListed:
        return Outcome::Listed;
    case TFileOutcome::StopConnection:
    case TFileOutcome::StopRefused:
        break;
    }
    return Outcome::Stop;
}

void TCustomBathFileDeal::addFailure(const QString &line)
{
    QMutexLocker lock(&FLock);
    // A file tried again fails with the same line: list it once.
    if (!FErrList.contains(line))
        FErrList << line;
}

void TCustomBathFileDeal::setEvent()
{
    std::lock_guard lock(FEventLock);
    FEvent = true;
    FEventCond.notify_all();
}

// Every wait also ends on a stop, whenever it came: a stop is never lost to an
// event that was reset after it.
void TCustomBathFileDeal::waitEvent()
{
    std::unique_lock lock(FEventLock);
    FEventCond.wait(lock, [this] { return FEvent || FTerminate.load(); });
    FEvent = false;  // auto-reset
}

void TCustomBathFileDeal::waitEventFor(int ms)
{
    std::unique_lock lock(FEventLock);
    FEventCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FEvent || FTerminate.load(); });
    FEvent = false;
}

bool TCustomBathFileDeal::waitStopFor(int ms)
{
    std::unique_lock lock(FEventLock);
    return FEventCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FTerminate.load(); });
}

void TCustomBathFileDeal::setSt(quint8 st)
{
    bool changed = false;
    {
        QMutexLocker lock(&FLock);
        changed = FTaskInfo.St != st;
        FTaskInfo.St = st;
    }
    if (changed)
        Q_EMIT stateChanged(FId, st);
}

void TCustomBathFileDeal::StartEx()
{
    FLastStatDT = FLastStatDT2 = NowDateTime();
    setSt(BTS_Running);
    int v = FRefCount.load();
    while ((v & 1) == 0 && !FRefCount.compare_exchange_weak(v, v + 1)) {
    }
    setEvent();
    if (!isRunning() && !isFinished())
        start();
}

void TCustomBathFileDeal::PauseEx()
{
    setSt(BTS_Paused);
    int v = FRefCount.load();
    while ((v & 1) == 1 && !FRefCount.compare_exchange_weak(v, v - 1)) {
    }
    setEvent();
}

void TCustomBathFileDeal::StopEx()
{
    FIsBreak = 1;
    {
        // Set under the event's lock: a waiter checks it there.
        std::lock_guard lock(FEventLock);
        FTerminate = true;
    }
    setEvent();
}

void TCustomBathFileDeal::RunEndHandled()
{
    FRunEndAck = true;
    setEvent();
}

TBatchTransport TCustomBathFileDeal::TaskInfo() const
{
    QMutexLocker lock(&FLock);
    return FTaskInfo;
}

void TCustomBathFileDeal::SetTaskInfo(const TBatchTransport &task)
{
    QMutexLocker lock(&FLock);
    FTaskInfo = task;
}

TBatchProgress TCustomBathFileDeal::Progress() const
{
    QMutexLocker lock(&FLock);
    TBatchProgress p;
    p.AllCount = FAllCount;
    p.FinishedCount = FFinishedCount;
    p.FinishedSize = FFinishedSize;
    p.TotalSize = PIndex ? PIndex->TotalFileSize() : FTotalSize;
    p.Rate = FRate;
    p.Scale = FFinishedScale;
    p.St = FTaskInfo.St;
    p.CrashErrorNum = FCrashErrorNum;
    p.LastST = FLastST;
    p.FailedCount = int(FErrList.size());
    p.Initialised = FInit;
    p.CurrentFile = FCurrentFile;
    p.LastRun = FLastRun;
    p.RunError = FRunError;
    p.LockedElsewhere = FLockedElsewhere;
    return p;
}

QString TCustomBathFileDeal::GetErrorLog() const
{
    QMutexLocker lock(&FLock);
    return FErrList.isEmpty() ? QString() : FErrList.join(kCrLf) + kCrLf;
}

QString TCustomBathFileDeal::GetLogText() const
{
    QMutexLocker lock(&FLock);
    return PLogLst.join(kCrLf);
}

QString TCustomBathFileDeal::GetLastLogStr() const
{
    QMutexLocker lock(&FLock);
    return PLogLst.isEmpty() ? QString() : PLogLst.last();
}

void TCustomBathFileDeal::RemoveFiles(const QList<qint64> &keys)
{
    QMutexLocker lock(&FLock);
    if (PIndex)
        PIndex->RemoveFiles(keys);
}

void TCustomBathFileDeal::ListFiles(const std::function<void(const TTidyFile &)> &method) const
{
    QMutexLocker lock(&FLock);
    if (PIndex)
        PIndex->ListFiles(method);
}

int TCustomBathFileDeal::IndexCount() const
{
    QMutexLocker lock(&FLock);
    return PIndex ? PIndex->GetAllCount(0) : 0;
}

void TCustomBathFileDeal::SaveLog()
{
    // One writer at a time, and each line written once: the file keeps the history.
    QMutexLocker fileLock(&FLogFileLock);
    QStringList lines;
    qint64 upTo = 0;
    {
        QMutexLocker lock(&FLock);
        upTo = FLogFirst + PLogLst.size();
        lines = PLogLst.mid(qsizetype(qMax<qint64>(0, FLogSaved - FLogFirst)));
    }
    if (lines.isEmpty())
        return;
    const QString folder = FSettings.IndexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(FSettings.IndexFolder);
    QDir().mkpath(folder);
    QString err;
    if (!AppendTaskLog(folder + QString::number(FId) + QStringLiteral(".log"), lines, &err))
        qCWarning(lcBatch).noquote() << err;
    QMutexLocker lock(&FLock);
    FLogSaved = upTo;
}

void TCustomBathFileDeal::onProgress(qint64 all, qint64 done)
{
    if (FTerminate)
        return;
    const TDateTime now = NowDateTime();
    {
        QMutexLocker lock(&FLock);
        if (now - FLastStatDT < 0.5 * kOneSecond)
            return;
        const double secs = qMax(0.001, (now - FLastStatDT2) * 86400);
        FRate = double(FFinishedSize + done) / (secs * 1024);
        const qint64 total = PIndex ? PIndex->TotalFileSize() : 0;
        FFinishedScale = double(FFinishedSize + done) / double(total + 1) + 0.001;
        FLastStatDT = now;
    }
    Q_EMIT tcpWork(FId, all, done);
}

bool TCustomBathFileDeal::InitEx()
{
    TBatchTransport task;
    {
        QMutexLocker lock(&FLock);
        FErrList.clear();
        FReturnKeyList.clear();
        FRunTransferred = 0;
        FRunError.clear();
        FNoTransfers = false;
        FTaskInfo.RunStartTime = FNow();
        task = FTaskInfo;
    }
    AppendLog(Stamp() + WLS_TaskInit);
    const bool upload = task.TranStyle == TS_Upload;
    const bool download = task.TranStyle == TS_Download;

    if (!PIndex) {
        auto index = std::make_unique<TFileIndex>();
        index->TaskId = task.Id;
        index->IndexFolder = FSettings.IndexFolder;
        index->MinFileSize = task.MinSize;
        index->MaxFileSize = task.MaxSize;
        index->MinDT = task.FileStartDate;
        index->MaxDT = task.FileEndDate;
        index->SetFileTypes(task.Types);
        index->Init();
        QString err;
        if (!index->Load(&err)) {
            AppendLog(Stamp() + err);
            addFailure(err);
            return false;
        }
        // Hand-out counts are per run: what failed in a run before is tried afresh.
        index->StateResetOfUpload();
        QMutexLocker lock(&FLock);
        PIndex = std::move(index);
    }
    if (task.TaskCyc > 0.00001 && upload) {
        // The hours of the period subtracted as days: a generous window before the last
        // run, within the user's own date filter when there is one.
        TDateTime from = task.RunEndTime - task.TaskCyc;
        TDateTime to = NowDateTime();
        if (task.FileEndDate > task.FileStartDate) {
            from = qMax(from, task.FileStartDate);
            to = qMin(to, task.FileEndDate);
        }
        PIndex->MinDT = from;
        PIndex->MaxDT = to;
        PIndex->EmptyDateWindow = !(from < to);
    }

    if (upload) {
        try {
            auto c = makeClient();
            qint64 limits[2] = {0, 0};
            c->GetUploadLimit(limits);
            if (limits[1] == 0) {
                const QString folder = FSettings.ConfigFolder.isEmpty() ? GetConfigFolder() : IncludeTrailingSlash(FSettings.ConfigFolder);
                const QString rng = ReadTextFile(folder + QStringLiteral("rng.dat"));
                limits[0] = StrToInt64Def(GetTagValue(rng, QStringLiteral("UploadLimitB")), 0);
                limits[1] = StrToInt64Def(GetTagValue(rng, QStringLiteral("UploadLimitT")), 0);
            }
            FUploadLimitB = limits[0];
            FUploadLimitT = limits[1];
        } catch (const std::exception &) {
            FUploadLimitB = FUploadLimitT = 0;
        }
        try {
            auto c = makeClient();
            FServerFileMaxSize = ServerMaxFileBytes(c->GetMaxFileSize());
            QList<quint32> types = c->GetFileType();
            if (types.contains(42))
                types.clear();
            FServerFileType = types;
        } catch (const std::exception &) {
            FLastProcessSt = 2;
        }
        // A source that is not there (an unmounted share) fails the run: it is not
        // a run with nothing to do, and the files indexed before are not "gone".
        const QString missing = sourceProblem(task.SourceFolderName, task.FF == FF_Folder);
        if (!missing.isEmpty()) {
            failRun(missing);
            FNoTransfers = true;
        } else if (task.FF == FF_File) {
            PIndex->AppendFileInfoEx(task.SourceFolderName);
        } else {
            TSearchFiles search;
            search.SetRoots({task.SourceFolderName});
            search.IsIncludeSubFolder = task.IsIncludeSubFolder;
            search.IsCancelled = [this] { return FTerminate.load(); };
            search.OnSaveFiles = [this](const std::vector<TFoundFile> &files) { PIndex->AppendFoundFiles(files); };
            AppendLog(Stamp() + WLS_StartSearch);
            search.Execute();
            for (const QString &folder : search.UnreadableFolders()) {
                AppendLog(folder);
                addFailure(folder);
            }
            AppendLog(fillS(WLS_SearchNum, QString::number(search.AllFileNum())));
            AppendLog(Stamp() + WLS_CompleteSearch);
        }
    } else if (download && task.FF == FF_File) {
        TTidyFile t;
        t.PathHash = task.SourceFolderId;
        t.Path = task.SourceFolderName;
        t.Size = -1;
        PIndex->AppendFileInfoEx(t);
    } else if (download) {
        AppendLog(WLS_GetList);
        TDownloadFilesReply reply;
        QString listError;
        try {
            auto c = makeClient(600000);
            c->PIsBreak = &FIsBreak;
            const quint8 status = c->GetDownloadFiles(BatchTransportToText(task), reply);
            if (status != st::Ok && reply.ErrorTxt.isEmpty()) {
                listError = c->GetLastError();
                if (listError.isEmpty())
                    listError = c->GetDesc(status);
                if (listError.isEmpty())
                    listError = QStringLiteral("The server refused the list of files (code %1)").arg(status);
            }
        } catch (const std::exception &e) {
            listError = QString::fromUtf8(e.what());
        }
        if (FTerminate)
            return true;  // stopped: the run does not end, the task keeps its state
        const QStringList lines = reply.FileTxt.split(kCrLf, Qt::SkipEmptyParts);
        for (const QString &line : lines) {
            const TTagIndex tags(line);
            QString err;
            const auto dt = ParseWireDateTime(tags.Value(u"Dt"), &err);
            if (!dt) {
                // One bad line costs that file, not the whole list.
                AppendLog(err);
                addFailure(tags.Value(u"P") + QStringLiteral("  ") + err);
                continue;
            }
            TTidyFile t;
            t.PathHash = StrToInt64Def(tags.Value(u"K"), 0);
            t.FolderId = StrToIntDef(tags.Value(u"Fd"), 0);
            t.ModifyDT = *dt;
            t.Size = StrToInt64Def(tags.Value(u"Sz"), 0);
            t.Path = tags.Value(u"P").replace(u'/', u'\\');
            const QString d = tags.Value(u"D");
            t.DeletedOfServer = d.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || StrToIntDef(d, 0) != 0;
            if (t.PathHash != 0)
                PIndex->AppendFileInfoEx(t);
        }
        const QString root = task.IncludeRootPath ? LastFolderName(task.SourceFolderName) : QString();
        for (QString line : reply.FolderInfo.split(kCrLf, Qt::SkipEmptyParts)) {
            line.replace(u'/', u'\\');
            QString err;
            const QString rel = root + RelativePath(task.SourceFolderName, line);
            if (rel.isEmpty() || rel == QLatin1String("\\"))
                continue;
            if (const auto local = SafeJoin(task.DestFolderName, rel, &err))
                QDir().mkpath(*local);
            else
                addFailure(line + QStringLiteral("  ") + err);
        }
        if (!reply.ErrorTxt.isEmpty()) {
            failRun(reply.ErrorTxt);
            if (reply.ErrorTxt == QLatin1String("System prohibits bulk download"))
                Q_EMIT bulkDownloadRefused(FId);
        } else if (!listError.isEmpty()) {
            failRun(listError);
        }
        AppendLog(fillS(WLS_Total, QString::number(lines.size())));
    } else {
        return true;
    }

    PIndex->RemoveInvalidKey();
    {
        QMutexLocker lock(&FLock);
        FFinishedSize = PIndex->FinishedSize();
        FTotalSize = PIndex->TotalFileSize();
        if (!FTerminate)
            FIsBreak = 0;
        FAllCount = PIndex->GetAllCount(0);
        FFinishedCount = FAllCount - PIndex->GetUndealFileCount(0);
    }
    AppendLog(fillS(WLS_FinishedCount, QString::number(FAllCount - FFinishedCount)));
    AppendLog(Stamp() + WLS_InitOver);
    return true;
}

TCustomBathFileDeal::Outcome TCustomBathFileDeal::uploadOne(TRobotTcpClient &c, TTidyFile &t, int &code)
{
    const TBatchTransport task = TaskInfo();
    t.FilePrt = task.FilePrtParams;
    t.SC = task.SC;
    code = fc::Stored;
    if (t.Size > FServerFileMaxSize) {
        AppendLog(t.Path + WLS_FileSizeErr + QStringLiteral("(") + QString::number(FServerFileMaxSize / 1024 / 1024)
                  + QStringLiteral(" M)!"));
        return Outcome::Skipped;
    }
    if (!FServerFileType.isEmpty() && !FServerFileType.contains(t.Kind)) {
        AppendLog(t.Path + WLS_FileKindErr);
        return Outcome::Skipped;
    }
    if (isGone(t.Path)) {
        // Deleted since it was indexed: said once, and the task forgets it.
        AppendLog(QDir::toNativeSeparators(t.Path) + QStringLiteral("  no longer exists; it is left out of the task"));
        return Outcome::Vanished;
    }
    {
        // A file that cannot be read is a failure, never a file sent.
        QFile probe(t.Path);
        if (!probe.open(QIODevice::ReadOnly)) {
            code = fc::LocalOpen;
            const QString err = QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(t.Path), probe.errorString());
            AppendLog(err);
            addFailure(t.Path + QStringLiteral("  ") + err);
            return Outcome::Failed;
        }
    }
    const QString sub = UploadSubFolder(task, t.Path);
    QElapsedTimer timer;
    timer.start();
    qint64 key = 0;
    code = c.UploadFile(task.DestOwnerId, sub, key, t, task.DestFolderId);
    if (FIsBreak)
        return Outcome::Failed;
    if (code == rc::TimedOut && timer.elapsed() < 2000)
        code = rc::NetworkOrData;
    const TFileOutcome outcome = ClassifyUpload(code);
    // The server's own text for its code; the client's for what it found itself.
    QString text = code == rc::NetworkOrData ? c.GetDesc(rc::TimedOut) : c.GetDesc(code);
    if (text.isEmpty() || outcome == TFileOutcome::RetryInRun)
        text = c.GetLastError();
    if (text.isEmpty())
        text = QStringLiteral("The server answered %1").arg(code);
    switch (outcome) {
    case TFileOutcome::Done:
        if (code != rc::UploadOk)
            AppendLog(t.Path + QStringLiteral("  ") + text);
        if (!task.ExtInfo.isEmpty()) {
            try {
                makeClient()->UpdateFileExtInfo(key, task.ExtInfo);
            } catch (const std::exception &) {
            }
        }
        {
            QMutexLocker lock(&FLock);
            FReturnKeyList << QString::number(key);
        }
        break;
    case TFileOutcome::SkippedByRule:
        // The server holds this very content already (a run broken off after the
        // upload, before its state was written).
        AppendLog(t.Path + QStringLiteral("  ") + text);
        break;
    case TFileOutcome::StopConnection:
    case TFileOutcome::StopRefused:
    case TFileOutcome::RetryInRun:
        // The step logs the client's own error text.
        addFailure(t.Path + QStringLiteral("  ") + text);
        break;
    case TFileOutcome::FailedListed:
        AppendLog(t.Path + QStringLiteral("  ") + text);
        addFailure(t.Path + QStringLiteral("  ") + text);
        break;
    }
    return fromFileOutcome(outcome);
}

TCustomBathFileDeal::Outcome TCustomBathFileDeal::downloadOne(TRobotTcpClient &c, TTidyFile &t, int &code)
{
    const TBatchTransport task = TaskInfo();
    code = fc::Download;
    const bool single = task.FF == FF_File;
    QString rel;
    if (single) {
        rel = t.Path.mid(qMax(t.Path.lastIndexOf(u'/'), t.Path.lastIndexOf(u'\\')) + 1);
    } else {
        rel = (task.IncludeRootPath ? LastFolderName(task.SourceFolderName) : QString())
              + RelativePath(task.SourceFolderName, t.Path);
    }
    QString err;
    const auto local = SafeJoin(task.DestFolderName, rel, &err);
    if (!local) {
        code = fc::LocalWrite;
        AppendLog(t.Path + QStringLiteral("  ") + err);
        addFailure(t.Path + QStringLiteral("  ") + err);
        return Outcome::Listed;
    }
    qint64 size = 0;
    TDateTime localDT = 0;
    const bool exists = LocalFileStat(*local, size, localDT);
    if (t.DeletedOfServer) {
        if (exists && localDT - t.ModifyDT < kOneSecond) {
            // Never over an earlier copy: each deletion keeps its own.
            const QString copy = FreeExclusionCopyName(*local);
            if (!QFile::rename(*local, copy)) {
                addFailure(t.Path + QStringLiteral("  Cannot rename ") + QDir::toNativeSeparators(*local));
                return Outcome::Listed;
            }
            AppendLog(QStringLiteral("This file has been deleted of server"));
        }
        return Outcome::Done;
    }
    if (FSettings.OnlyTimeCheck && exists && qAbs(localDT - t.ModifyDT) < kOneSecond)
        return Outcome::Skipped;
    TDateTime serverDT = 0;
    if (task.KeepClientNewFile)
        code = c.DownloadFile2(*local, serverDT, t.PathHash);
    else
        code = c.DownloadFile(*local, QStringLiteral("[IsReplace]True[/IsReplace]"), serverDT, t.PathHash);
    if (FIsBreak)
        return Outcome::Failed;
    const TFileOutcome outcome = ClassifyDownload(code);
    QString text = c.GetLastError();
    if (text.isEmpty())
        text = c.GetDesc(code);
    if (text.isEmpty())
        text = QStringLiteral("The server answered %1").arg(code);
    switch (outcome) {
    case TFileOutcome::Done:
        break;
    case TFileOutcome::SkippedByRule:
        // Keeping a newer local file is the task's own rule, not a failure.
        AppendLog(t.Path + QStringLiteral("  ") + text);
        break;
    case TFileOutcome::StopConnection:
    case TFileOutcome::StopRefused:
        addFailure(t.Path + QStringLiteral("  ") + c.GetDesc(code));
        break;
    case TFileOutcome::RetryInRun:
    case TFileOutcome::FailedListed:
        AppendLog(t.Path + QStringLiteral("  ") + text);
        addFailure(t.Path + QStringLiteral("  ") + text);
        break;
    }
    return fromFileOutcome(outcome);
}

bool TCustomBathFileDeal::TransferStep()
{
    // A stopped run does not end: it goes on at the next start.
    if (FTerminate)
        return false;
    TTidyFile t;
    if (!PIndex || FNoTransfers || !PIndex->GetTidyFile(0, t)) {
        closeRun();
        return false;
    }
    const TBatchTransport task = TaskInfo();
    auto c = makeClient(30000);
    c->PIsBreak = &FIsBreak;
    c->FDoTransmit = [this](TRobotTcpClient *, qint64 all, qint64 done) { onProgress(all, done); };
    c->FDoWorkEx = [this](TRobotTcpClient *) {
        // A pause stops a transfer in mid-file.
        while (SuspendedEx() && !FTerminate)
            waitEvent();
    };
    {
        QMutexLocker lock(&FLock);
        FCurrentFile = t.Path;
    }
    AppendLog(Stamp() + fillS(WLS_TranInfo, t.Path, QString::number(t.Size / 1024 + 1) + u'K'));
    Q_EMIT startDealFile(FId, t.Path);

    int code = 0;
    Outcome o = Outcome::Stop;
    if (task.TranStyle == TS_Upload)
        o = uploadOne(*c, t, code);
    else if (task.TranStyle == TS_Download)
        o = downloadOne(*c, t, code);

    if (o == Outcome::Vanished) {
        PIndex->ForgetFile(t.PathHash);
        QMutexLocker lock(&FLock);
        --FAllCount;
        return true;
    }
    if (o == Outcome::Listed) {
        // Not tried again in this run; listed, and tried again at the next one.
        if (!FIsBreak)
            PIndex->UpdateState(t.PathHash, dl::MaxTries);
        return true;
    }
    if (o == Outcome::Done || o == Outcome::Skipped) {
        if (!FIsBreak) {
            PIndex->UpdateState(t.PathHash, dl::Done);
            qint64 done = 0;
            qint64 all = 0;
            {
                QMutexLocker lock(&FLock);
                ++FFinishedCount;
                if (o == Outcome::Done)
                    ++FRunTransferred;
                FFinishedSize += qMax<qint64>(0, t.Size);
                done = FFinishedCount;
                all = FAllCount;
            }
            Q_EMIT taskPlan(FId, done, all);
        }
        return true;
    }
    if (FIsBreak)
        return true;
    const QString err = c->GetLastError();
    if (!err.isEmpty())
        AppendLog(err);
    if (o == Outcome::Stop) {
        int crashes = 0;
        {
            QMutexLocker lock(&FLock);
            crashes = FCrashErrorNum;
            FLastST = quint8(code);
            if (code == 2 || code == 101)
                ++FCrashErrorNum;
        }
        if (crashes == 0)
            SaveLog();
        c.reset();
        // Wait for the owner's answer to this failure, not for an earlier StartEx.
        {
            std::lock_guard lock(FEventLock);
            FEvent = false;
        }
        Q_EMIT fileFailed(FId, code);
        waitEvent();
    }
    return true;
}

void TCustomBathFileDeal::closeRun()
{
    TBatchTransport task = TaskInfo();
    const bool upload = task.TranStyle == TS_Upload;
    if (upload && FCrashErrorNum < 3 && task.FF == FF_Folder && task.IsIncludeSubFolder && !task.SourceFolderName.isEmpty()) {
        QStringList subs;
        for (const QString &folder : TSearchFiles::SubFolders(task.SourceFolderName)) {
            const QString s = UploadSubFolder(task, folder);
            if (!s.isEmpty())
                subs << s;
        }
        // With the root's own name the root itself is a level too, even when empty.
        if (task.IncludeRootPath) {
            const QString s = UploadSubFolder(task, IncludeTrailingSlash(ToLocalSeparators(task.SourceFolderName)) + u'x');
            if (!s.isEmpty())
                subs.prepend(s);
        }
        if (!subs.isEmpty()) {
            try {
                auto c = makeClient(16000);
                QString reply;
                c->ApiPostText(rq::SubFolderId,
                               QStringLiteral("[EncryptCode]") + FSettings.Conn.EncryptId + QStringLiteral("[/EncryptCode][OwnerId]")
                                   + QString::number(task.DestOwnerId) + QStringLiteral("[/OwnerId][FolderId]")
                                   + QString::number(task.DestFolderId) + QStringLiteral("[/FolderId][Folder]")
                                   + subs.join(kCrLf) + QStringLiteral("[/Folder]"),
                               reply);
            } catch (const std::exception &) {
            }
        }
    }
    const qint64 total = qMax<qint64>(1, PIndex ? PIndex->TotalFileSize() : 0);
    Q_EMIT tcpWork(FId, total, total);
    Q_EMIT taskPlan(FId, FAllCount, FAllCount);

    QStringList undealt;
    if (PIndex && !(upload && task.TaskCyc > 0))
        PIndex->GetUndealFileInfo(undealt);
    TRunEnd end = TRunEnd::Complete;
    {
        QMutexLocker lock(&FLock);
        if (!FRunError.isEmpty())
            end = TRunEnd::Failed;
        else if (!FErrList.isEmpty() || !undealt.isEmpty())
            end = TRunEnd::Incomplete;
    }
    // An upload keeps its index while it has work left: the next run sends only
    // what did not go. A download fetches a new list every run.
    const bool keepIndex = upload && (task.TaskCyc > 0 || end != TRunEnd::Complete);
    if (PIndex) {
        if (keepIndex) {
            PIndex->StateResetOfUpload();
            PIndex->FlushForgotten();
        } else {
            PIndex->DeleteIndexFile();
        }
    }
    // A one-off task is done only when its run was.
    task.St = task.TaskCyc > 0 || end != TRunEnd::Complete ? BTS_Waiting : BTS_Completed;
    QStringList errors;
    QStringList keys;
    {
        QMutexLocker lock(&FLock);
        FLastRun = end;
        if (PIndex)
            FTotalSize = PIndex->TotalFileSize();
        if (!(task.TaskCyc > 0 && upload))
            PIndex.reset();
        for (const QString &path : undealt) {
            const QString prefix = path + QStringLiteral("  ");
            if (!std::any_of(FErrList.cbegin(), FErrList.cend(), [&](const QString &e) { return e.startsWith(prefix); }))
                FErrList << path;
        }
        FTaskInfo.St = task.St;
        // A run that could not list its files does not move the next periodic
        // window on: what changed meanwhile is taken once the source is back.
        FLastAttemptEnd = FNow();
        if (end != TRunEnd::Failed)
            FTaskInfo.RunEndTime = FLastAttemptEnd;
        FInit = false;
        // A run that moved files shows the connection is back.
        if (FRunTransferred > 0)
            FCrashErrorNum = 0;
        errors = FErrList;
        keys = FReturnKeyList;
        FReturnKeyList.clear();
        FCurrentFile.clear();
    }
    Q_EMIT stateChanged(FId, task.St);
    QStringList closing;
    if (end != TRunEnd::Failed)
        closing << WLS_TranComplete;
    if (!errors.isEmpty())
        closing << QString() << QStringLiteral("//----------------------------") << WLS_TranErr << errors;
    AppendLogLines(closing);
    if (!keys.isEmpty()) {
        try {
            auto c = makeClient(3000);
            c->SendFileMsg(task.DestOwnerId, QString());
        } catch (const std::exception &) {
        }
    }
    SaveLog();
    waitStopFor(FEndPauseMs);
    FRunEndAck = false;
    Q_EMIT runEnded(FId);
    while (!FRunEndAck && !FTerminate)
        waitEvent();
}

void TCustomBathFileDeal::release()
{
    qint64 size = 0;
    {
        QMutexLocker lock(&FLock);
        size = FFinishedSize;
    }
    AppendLog(WLS_TranData + QString::number(size / 1024) + u'K');
    QMutexLocker lock(&FLock);
    if (PIndex && FTaskInfo.St == BTS_Completed)
        PIndex->DeleteIndexFile();
    PIndex.reset();
    FTaskLock.reset();
}

void TCustomBathFileDeal::run()
{
    const QString indexFolder = FSettings.IndexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(FSettings.IndexFolder);
    QDir().mkpath(indexFolder);
    auto lockFile = std::make_unique<QLockFile>(TaskLockFileName(indexFolder, FId));
    lockFile->setStaleLockTime(0);
    if (!lockFile->tryLock(0)) {
        // Not a failure of the task: its owner retires this worker and starts the
        // task again once the other runner let go.
        const QString holder = TaskLockHolder(indexFolder, FId, FSettings.Conn.Language);
        {
            QMutexLocker lock(&FLock);
            FLockedElsewhere = true;
        }
        AppendLog(TaskRunningElsewhereText(FSettings.Conn.Language, FId, holder));
        Q_EMIT taskLocked(FId, holder);
        std::lock_guard lock(FEventLock);
        return;
    }
    FTaskLock = std::move(lockFile);

    bool previous = false;
    while (!FTerminate) {
        if (SuspendedEx()) {
            waitEvent();
            continue;
        }
        TBatchTransport task = TaskInfo();
        const quint8 before = task.St;
        TDateTime lastAttempt = 0;
        {
            QMutexLocker lock(&FLock);
            lastAttempt = FLastAttemptEnd;
        }
        // A failed run waits its period like any other before it is tried again.
        const TDateTime runEnd = task.RunEndTime;
        task.RunEndTime = qMax(task.RunEndTime, lastAttempt);
        bool allowed = BatchTimeRule(task, previous, FNow());
        task.RunEndTime = runEnd;
        if (FRunNow && !allowed) {
            task.St = BTS_Running;
            allowed = true;
        }
        if (task.St != before)
            setSt(task.St);
        if (!allowed) {
            waitEventFor(FPollMs);
            continue;
        }
        bool init = false;
        {
            QMutexLocker lock(&FLock);
            init = FInit;
            FInit = true;
        }
        if (!init) {
            bool ok = false;
            try {
                ok = InitEx();
            } catch (const std::exception &e) {
                AppendLog(QString::fromUtf8(e.what()));
            }
            if (!ok) {
                // The owner decides, as for a failed file; paused first, so that
                // its answer is not undone.
                {
                    QMutexLocker lock(&FLock);
                    FInit = false;
                }
                PauseEx();
                setSt(BTS_Error);
                SaveLog();
                Q_EMIT fileFailed(FId, 0);
                continue;
            }
        }
        previous = TransferStep();
        if (!previous)
            FRunNow = false;
        // A task that runs once ends with its run.
        if (!previous && TaskInfo().TaskCyc <= 0)
            break;
    }
    release();
    std::lock_guard lock(FEventLock);
}
