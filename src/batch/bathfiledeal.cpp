#include "batch/bathfiledeal.h"

#include "batch/batchtranconfig.h"
#include "batch/logging.h"
#include "core/clientconfigx.h"
#include "core/folders.h"
#include "core/helpers.h"
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
#include <QStringEncoder>

#include <algorithm>
#include <cmath>
#include <exception>

namespace {

const QString kCrLf = QStringLiteral("\r\n");
constexpr double kOneSecond = 1.0 / 86400;

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
    if (task.TaskCyc * 60 > double(minutesBetween(now, task.RunEndTime)))
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

QString TaskLockFileName(const QString &indexFolder, qint32 taskId)
{
    const QString folder = indexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(indexFolder);
    return folder + QString::number(taskId) + QStringLiteral(".lock");
}

QString TaskLockHolder(const QString &indexFolder, qint32 taskId, THS_Language lang)
{
    QLockFile lock(TaskLockFileName(indexFolder, taskId));
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

void TCustomBathFileDeal::AppendLog(const QString &s)
{
    {
        QMutexLocker lock(&FLock);
        if (IsLog)
            PLogLst << s;
    }
    Q_EMIT showLogInfo(FId, s);
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

void TCustomBathFileDeal::waitEvent()
{
    std::unique_lock lock(FEventLock);
    FEventCond.wait(lock, [this] { return FEvent; });
    FEvent = false;  // auto-reset
}

void TCustomBathFileDeal::waitEventFor(int ms)
{
    std::unique_lock lock(FEventLock);
    FEventCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FEvent; });
    FEvent = false;
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
    FTerminate = true;
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
    QString text;
    {
        QMutexLocker lock(&FLock);
        for (const QString &l : PLogLst)
            text += l + kCrLf;
    }
    const QString folder = FSettings.IndexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(FSettings.IndexFolder);
    QDir().mkpath(folder);
    QStringEncoder enc(QStringEncoder::Utf16LE);
    QByteArray bytes("\xFF\xFE", 2);
    bytes += QByteArray(enc.encode(text));
    QString err;
    if (!WriteFileAtomic(folder + QString::number(FId) + QStringLiteral(".log"), bytes, &err))
        qCWarning(lcBatch).noquote() << err;
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
        QMutexLocker lock(&FLock);
        PIndex = std::move(index);
    }
    if (task.TaskCyc > 0.00001 && upload) {
        // The hours of the period subtracted as days: a generous window before the last run.
        PIndex->MinDT = task.RunEndTime - task.TaskCyc;
        PIndex->MaxDT = NowDateTime();
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
            FServerFileMaxSize = qint64(c->GetMaxFileSize()) * 1024 * 1024;
            QList<quint32> types = c->GetFileType();
            if (types.contains(42))
                types.clear();
            FServerFileType = types;
        } catch (const std::exception &) {
            FLastProcessSt = 2;
        }
        if (task.FF == FF_File) {
            PIndex->AppendFileInfoEx(task.SourceFolderName);
        } else {
            TSearchFiles search;
            search.SetRoots({task.SourceFolderName});
            search.IsIncludeSubFolder = task.IsIncludeSubFolder;
            search.IsCancelled = [this] { return FTerminate.load(); };
            search.OnSaveFiles = [this](const std::vector<TFoundFile> &files) { PIndex->AppendFoundFiles(files); };
            AppendLog(Stamp() + WLS_StartSearch);
            search.Execute();
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
        try {
            auto c = makeClient(600000);
            c->PIsBreak = &FIsBreak;
            c->GetDownloadFiles(BatchTransportToText(task), reply);
        } catch (const std::exception &e) {
            reply.ErrorTxt = QString::fromUtf8(e.what());
        }
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
            AppendLog(reply.ErrorTxt);
            addFailure(reply.ErrorTxt);
            if (reply.ErrorTxt == QLatin1String("System prohibits bulk download"))
                Q_EMIT bulkDownloadRefused(FId);
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
    const QString text = c.GetDesc(code);
    switch (code) {
    case 2: case 5: case 6: case 7: case 9: case 60:
        if (code == 2 && timer.elapsed() < 2000)
            code = 101;
        addFailure(t.Path + QStringLiteral("  ") + (code == 101 ? c.GetDesc(2) : text));
        return Outcome::Stop;
    case 13: case 37:
        AppendLog(text);
        addFailure(t.Path + QStringLiteral("  ") + text);
        return Outcome::Stop;
    case fc::Stored:
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
        return Outcome::Done;
    case fc::Nothing:
    case fc::LocalOpen:
        AppendLog(c.GetLastError());
        addFailure(t.Path + QStringLiteral("  ") + c.GetLastError());
        return Outcome::Failed;
    case 16:
        // The server holds this very content already (a run broken off after the
        // upload, before its state was written).
        AppendLog(t.Path + QStringLiteral("  ") + text);
        return Outcome::Skipped;
    default:
        AppendLog(c.GetLastError());
        addFailure(t.Path + QStringLiteral("  ") + c.GetLastError());
        return Outcome::Listed;
    }
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
    if (code == 2 || code == 5 || code == 7) {
        addFailure(t.Path + QStringLiteral("  ") + c.GetDesc(code));
        return Outcome::Stop;
    }
    if (code == fc::Download)
        return Outcome::Done;
    if (code == fc::ServerOlder) {
        // Keeping a newer local file is the task's own rule, not a failure.
        AppendLog(t.Path + QStringLiteral("  ") + c.GetLastError());
        return Outcome::Skipped;
    }
    AppendLog(c.GetLastError());
    addFailure(t.Path + QStringLiteral("  ") + c.GetLastError());
    return Outcome::Listed;
}

bool TCustomBathFileDeal::TransferStep()
{
    if (!PIndex) {
        closeRun();
        return false;
    }
    TTidyFile t;
    if (!PIndex->GetTidyFile(0, t)) {
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

    if (o == Outcome::Done || o == Outcome::Skipped || o == Outcome::Listed) {
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
    if (task.TaskCyc > 0) {
        task.St = BTS_Waiting;
        if (PIndex) {
            if (upload) {
                PIndex->StateResetOfUpload();
            } else {
                PIndex->GetUndealFileInfo(undealt);
                PIndex->DeleteIndexFile();
            }
        }
    } else {
        if (PIndex) {
            PIndex->GetUndealFileInfo(undealt);
            PIndex->DeleteIndexFile();
        }
        task.St = BTS_Completed;
    }
    QStringList errors;
    QStringList keys;
    {
        QMutexLocker lock(&FLock);
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
        FTaskInfo.RunEndTime = FNow();
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
    AppendLog(WLS_TranComplete);
    if (!errors.isEmpty()) {
        AppendLog(QString());
        AppendLog(QStringLiteral("//----------------------------"));
        AppendLog(WLS_TranErr);
        for (const QString &e : errors)
            AppendLog(e);
    }
    if (!keys.isEmpty()) {
        try {
            auto c = makeClient(3000);
            c->SendFileMsg(task.DestOwnerId, QString());
        } catch (const std::exception &) {
        }
    }
    SaveLog();
    for (int waited = 0; waited < FEndPauseMs && !FTerminate; waited += 100)
        QThread::msleep(100);
    FRunEndAck = false;
    Q_EMIT runEnded(FId);
    while (!FRunEndAck && !FTerminate)
        waitEvent();
}

void TCustomBathFileDeal::release()
{
    QMutexLocker lock(&FLock);
    PLogLst << WLS_TranData + QString::number(FFinishedSize / 1024) + u'K';
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
        const QString holder = TaskLockHolder(indexFolder, FId, FSettings.Conn.Language);
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
        bool allowed = BatchTimeRule(task, previous, FNow());
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
        if (!FInit) {
            FInit = true;
            bool ok = false;
            try {
                ok = InitEx();
            } catch (const std::exception &e) {
                AppendLog(QString::fromUtf8(e.what()));
            }
            if (!ok) {
                // The owner decides, as for a failed file.
                FInit = false;
                setSt(BTS_Error);
                SaveLog();
                Q_EMIT fileFailed(FId, 0);
                PauseEx();
                setSt(BTS_Error);
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
