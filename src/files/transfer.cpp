#include "files/transfer.h"
#include "model/folderchanges.h"

#include "core/helpers.h"
#include "core/safepath.h"
#include "core/tagtext.h"
#include "files/asyncrun.h"
#include "platform/prompter.h"
#include "files/logging.h"
#include "model/fileoperator.h"
#include "net/neterror.h"
#include "net/robottcpclient.h"

#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>

namespace {
constexpr qint64 kMB = 1048576;
constexpr int kUploadReadTimeout = 120000;
constexpr int kDownloadReadTimeout = 30000;
constexpr qsizetype kMaxSubFolderName = 1024;
// Files named in the summary of a list; the rest are counted.
constexpr qsizetype kMaxNamedFailures = 10;

QString forwardSlashes(const QString &p)
{
    return QDir::fromNativeSeparators(QString(p).replace(u'\\', u'/'));
}
} // namespace

QString CheckUploadFile(const TTidyFile &file, qint64 maxSize, const QList<quint32> &types, const TUploadTexts &texts)
{
    if (file.Size > maxSize)
        return texts.WLS_ErrSize + QStringLiteral("(") + QString::number(maxSize / kMB) + QStringLiteral(" M)!");
    if (!types.isEmpty() && !types.contains(file.Kind))
        return texts.WLS_ErrKind;
    return {};
}

TTidyFile DescribeLocalFile(const QString &path)
{
    TTidyFile f;
    TFileOperator op;
    f.Path = path;
    f.PathHash = qint64(PathHash64(path));
    f.NameHash = qint32(NameHash32(path));
    op.GetFileSizeAndModifyTime(path, f.Size, f.ModifyDT);
    f.Kind = op.GetFileExtType2(path);
    f.Dealed = 0;
    return f;
}

QString UploadSubFolderName(const QString &filePath, const QString &sourceFolder)
{
    const QString file = forwardSlashes(filePath);
    const QString source = forwardSlashes(sourceFolder);
    if (source.isEmpty())
        return {};
    const QString folder = file.left(file.lastIndexOf(u'/') + 1);
    const qsizetype at = folder.indexOf(source, 0, Qt::CaseInsensitive);
    if (at < 0)
        return {};
    QString rest = folder.mid(at + source.size());
    while (rest.startsWith(u'/'))
        rest.remove(0, 1);
    if (rest.isEmpty())
        return {};
    rest = rest.left(kMaxSubFolderName);
    if (!rest.endsWith(u'/'))
        rest += u'/';
    return rest.replace(u'/', u'\\');
}

QString UploadDisplayName(const QString &filePath, const QString &sourceFolder)
{
    const QString file = forwardSlashes(filePath);
    QString source = forwardSlashes(sourceFolder);
    if (!source.isEmpty() && file.size() > source.size()
        && QStringView(file).left(source.size()).compare(source, Qt::CaseInsensitive) == 0) {
        QString rest = file.mid(source.size());
        while (rest.startsWith(u'/'))
            rest.remove(0, 1);
        return QStringLiteral("../") + rest;
    }
    return filePath;
}

TProgressView ProgressStep(int currentMaximum, qint64 allSize, qint64 done)
{
    TProgressView v;
    const qint64 cap = std::numeric_limits<int>::max();
    v.Maximum = currentMaximum == 0 ? int(qMin(cap, allSize / 1024 + 2)) : currentMaximum;
    v.Position = int(qMin<qint64>(v.Maximum, done / 1024 + 1));
    v.Label = QString::number(done / 1024 + 1) + u'/' + QString::number(allSize / 1024 + 1) + u'K';
    return v;
}

QString NormaliseDownloadFolder(const QString &typed)
{
    QString p = forwardSlashes(typed.trimmed());
    while (p.contains(QStringLiteral("//")))
        p.replace(QStringLiteral("//"), QStringLiteral("/"));
    if (!p.endsWith(u'/'))
        p += u'/';
    return p;
}

// ---- TTransferJob

TTransferJob::TTransferJob(const TServerConn &conn)
    : Conn(conn)
{
}

TTransferJob::~TTransferJob() = default;

TRobotTcpClient &TTransferJob::Client(int readTimeout)
{
    if (!m_tcp) {
        m_tcp = Conn.MakeClient(readTimeout);
        m_tcp->PIsBreak = &IsBreak;
        m_tcp->FIsPostMessage = true;
        m_tcp->FDoTransmit = [this](TRobotTcpClient *, qint64 all, qint64 done) {
            Notify([all, done](TTransferBase *owner) { Q_EMIT owner->progress(all, done); });
        };
    }
    return *m_tcp;
}

void TTransferJob::Notify(const std::function<void(TTransferBase *)> &f)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_owner)
        f(m_owner);
}

void TTransferJob::Detach()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_owner = nullptr;
    IsBreak = 1;
}

// ---- TTransferBase

TTransferBase::TTransferBase(const TServerConn &conn, THS_Language lang, QObject *parent)
    : QObject(parent)
    , m_conn(conn)
    , m_lang(lang)
    , m_job(std::make_shared<TTransferJob>(conn))
{
    m_job->m_owner = this;
}

TTransferBase::~TTransferBase()
{
    // After this no signal of ours is emitted; the worker stops after its block.
    m_job->Detach();
}

void TTransferBase::Run(std::function<void(TTransferJob &)> work, std::function<void()> done)
{
    m_busy = true;
    Q_EMIT busyChanged(true);
    std::shared_ptr<TTransferJob> job = m_job;
    RunOnPool(TransferPool(), this, [job, work] { work(*job); }, [this, done] {
        m_busy = false;
        done();
        if (!m_busy)
            Q_EMIT busyChanged(false);
    });
}

// ---- TUploadController

TUploadController::TUploadController(const TServerConn &conn, QObject *parent)
    : TTransferBase(conn, conn.Language, parent)
    , m_texts(conn.Language)
{
}

void TUploadController::Init(qint32 groupId, qint64 folderId, TFileListModel *listItems)
{
    FGroupId = groupId;
    FFolderId = folderId;
    FListItems = listItems;
}

TUploadController::Outcome TUploadController::uploadOne(TTransferJob &job, std::shared_ptr<Limits> limits,
                                                        const TUploadTexts &texts, qint32 groupId, qint64 folderId,
                                                        const QString &path, const QString &subFolder)
{
    Outcome out;
    TRobotTcpClient &client = job.Client(kUploadReadTimeout);
    if (!limits->Asked) {
        limits->Asked = true;
        limits->MaxSize = qint64(client.GetMaxFileSize()) * kMB;
        try {
            limits->Types = client.GetFileType();
            if (limits->Types.contains(42u))
                limits->Types.clear();
        } catch (const std::exception &) {
            limits->Types.clear();   // unknown limits: the server still decides
        }
    }
    out.File = DescribeLocalFile(path);
    out.Refusal = CheckUploadFile(out.File, limits->MaxSize, limits->Types, texts);
    if (!out.Refusal.isEmpty())
        return out;
    client.Disconnect();   // the file channel starts on a fresh connection
    out.Status = client.UploadFile(groupId, subFolder, out.NewKey, out.File, folderId);
    out.Error = client.GetLastError();
    return out;
}

void TUploadController::runUpload(const QString &path, const QString &subFolder,
                                  std::function<void(const Outcome &)> done)
{
    auto outcome = std::make_shared<Outcome>();
    // The limits are touched by one worker at a time: a controller runs one file at a time.
    std::shared_ptr<Limits> limits = m_limits;
    const TUploadTexts texts = m_texts;
    const qint32 group = FGroupId;
    const qint64 folder = FFolderId;
    Run([outcome, limits, texts, group, folder, path, subFolder](TTransferJob &job) {
        *outcome = uploadOne(job, limits, texts, group, folder, path, subFolder);
    }, [this, outcome, limits, done, group, folder] {
        FServerFileMaxSize = limits->MaxSize;
        FServerFileType = limits->Types;
        // The folder's list shows the file (or the sub-folder it went into).
        if (outcome->Refusal.isEmpty() && outcome->Status == 3)
            TFolderChanges::Notify(group, folder);
        done(*outcome);
    });
}

bool TUploadController::ask(const QString &text)
{
    return TPrompter::Instance().Ask(FPromptParent(), m_texts.WLS_Hint, text);
}

bool TUploadController::UploadSingle(const QString &path)
{
    if (IsBusy())
        return false;
    if (path.trimmed().isEmpty() || !QFileInfo(path).isFile()) {
        TPrompter::Instance().Error(FPromptParent(), m_texts.WLS_Hint, m_texts.WLS_ChkPath);
        return false;
    }
    if (!FIsClose)
        ResetBreak();   // a cancelled file may be sent again (the server resumes it)
    Q_EMIT inputsEnabled(false);
    Q_EMIT fileStarted();
    runUpload(path, QString(), [this](const Outcome &o) {
        bool stored = false;
        if (FIsClose) {
            // closing: nothing more to show
        } else if (!o.Refusal.isEmpty()) {
            TPrompter::Instance().Error(FPromptParent(), m_texts.WLS_Hint, o.Refusal);
        } else if (o.Status == 3) {
            stored = true;
            ++m_uploaded;
            Q_EMIT fileStored();
            const QString caption = QFileInfo(o.File.Path).fileName();
            if (FListItems && !FListItems->HasCaption(caption)) {
                TFileRow row;
                row.Caption = caption;
                row.Icon = FileIconClass(caption);
                row.SizeText = SizeKBText(o.File.Size);
                row.DateText = FormatWireDateTime(o.File.ModifyDT);
                row.Key = o.NewKey;
                FListItems->AddRow(row);
            }
            TPrompter::Instance().Info(FPromptParent(), m_texts.WLS_Hint, m_texts.WLS_UploadOK);
        } else if (o.Status == 16) {
            TPrompter::Instance().Error(FPromptParent(), m_texts.WLS_Hint, m_texts.WLS_SameFile);
        } else {
            TPrompter::Instance().Error(FPromptParent(), m_texts.WLS_Hint, o.Error);
        }
        if (!stored)
            ++m_failed;
        // A refusal leaves the window usable for another file.
        Q_EMIT inputsEnabled(true);
        Q_EMIT singleFinished(stored);
    });
    return true;
}

void TUploadController::UploadList(const QString &sourceFolder, const QStringList &files)
{
    if (files.isEmpty() || IsBusy())
        return;
    m_queue = files;
    m_source = sourceFolder;
    m_uploaded = m_failed = 0;
    m_failedNames.clear();
    if (!FIsClose)
        ResetBreak();
    Q_EMIT inputsEnabled(false);
    nextOfList();
}

void TUploadController::nextOfList()
{
    if (FIsClose) {
        finishList(false);
        return;
    }
    if (m_queue.isEmpty()) {
        finishList(true);
        return;
    }
    const QString path = m_queue.takeFirst();
    const QString sub = UploadSubFolderName(path, m_source);
    Q_EMIT currentName(UploadDisplayName(path, m_source));
    Q_EMIT fileStarted();
    runUpload(path, sub, [this, path](const Outcome &o) {
        if (o.Refusal.isEmpty() && o.Status == 3) {
            ++m_uploaded;
            Q_EMIT fileStored();
            nextOfList();
            return;
        }
        ++m_failed;
        if (m_failedNames.size() < kMaxNamedFailures)
            m_failedNames << UploadDisplayName(path, m_source);
        if (FIsClose) {
            finishList(false);
            return;
        }
        const QString why = !o.Refusal.isEmpty() ? o.Refusal : o.Status == 16 ? m_texts.WLS_SameFile : o.Error;
        if (!ask(why + QStringLiteral("\r\n") + m_texts.WLS_IsContinue)) {
            finishList(false);
            return;
        }
        nextOfList();
    });
}

void TUploadController::finishList(bool complete)
{
    // Files never started count as not uploaded: take them before the queue goes.
    const int notUploaded = m_failed + int(m_queue.size());
    for (qsizetype i = 0; i < m_queue.size() && m_failedNames.size() < kMaxNamedFailures; ++i)
        m_failedNames << UploadDisplayName(m_queue.at(i), m_source);
    m_queue.clear();
    Q_EMIT inputsEnabled(true);
    if (!FIsClose) {
        // Success is claimed only when every file of the list arrived.
        if (complete && notUploaded == 0)
            TPrompter::Instance().Info(FPromptParent(), m_texts.WLS_Hint, m_texts.WLS_UploadOK);
        else
            TPrompter::Instance().Info(FPromptParent(), m_texts.WLS_Hint, notUploadedText(notUploaded));
    }
    Q_EMIT listFinished(complete && notUploaded == 0);
}

QString TUploadController::notUploadedText(int notUploaded) const
{
    if (m_failedNames.isEmpty())
        return LangText(m_lang, "已上传 %1 个文件，%2 个文件未上传。", "%1 file(s) uploaded, %2 file(s) not uploaded.")
            .arg(m_uploaded)
            .arg(notUploaded);
    // The user must know which files to send again.
    QString text = LangText(m_lang, "已上传 %1 个文件，以下 %2 个文件未上传：",
                            "%1 file(s) uploaded; these %2 file(s) were not uploaded:")
                       .arg(m_uploaded)
                       .arg(notUploaded);
    for (const QString &name : m_failedNames)
        text += u'\n' + name;
    if (notUploaded > m_failedNames.size())
        text += u'\n' + LangText(m_lang, "…… 另有 %1 个", "... and %1 more").arg(notUploaded - m_failedNames.size());
    return text;
}

void TUploadController::RequestClose()
{
    FIsClose = true;
    Cancel();
}

// ---- TDownloadController

TDownloadController::TDownloadController(const TServerConn &conn, QObject *parent)
    : TTransferBase(conn, conn.Language, parent)
    , m_texts(conn.Language)
{
    // The list's sizes are whole kilobytes and may be stale: the bytes of finished
    // files count as they really were, and the total never falls behind them.
    // A file that failed half way counts only the bytes that arrived.
    connect(this, &TTransferBase::progress, this, [this](qint64 all, qint64 done) {
        m_fileDone = done;
        Q_EMIT overallProgress(m_runBefore + done, m_runTotal > 0 ? qMax(m_runTotal, m_runBefore + all) : 0);
    });
    connect(this, &TTransferBase::fileStarted, this, [this] {
        m_runBefore += m_fileDone;
        m_fileDone = 0;
    });
}

void TDownloadController::Init(const TSelectedInfos &files, const QString &fileRoot)
{
    FSelectedInfo.clear();
    for (const TSelectedInfo &f : files)
        if (!f.IsFolder)
            FSelectedInfo.append(f);
    FFileRoot = NormaliseDownloadFolder(fileRoot);
    if (FSelectedInfo.isEmpty()) {
        Q_EMIT pathProposed(FFileRoot);
        return;
    }
    const qint64 key = FSelectedInfo.first().FileKey;
    const QString root = FFileRoot;
    const TServerConn conn = m_conn;
    // Its own client and no busy state: the user may start before the proposal arrives.
    RunAsync(this, [conn, key, root] {
        QString proposal;
        try {
            const QString serverPath = forwardSlashes(
                GetTagValue(conn.MakeClient(kDownloadReadTimeout)->GetServerPath(key, false), QStringLiteral("PathStr")));
            // The server's folder path names a local folder: it must stay below the work root.
            if (!serverPath.isEmpty())
                if (const auto joined = SafeJoin(root, serverPath))
                    proposal = NormaliseDownloadFolder(*joined);
        } catch (const std::exception &) {
        }
        return proposal;
    }, [this](const QString &proposal) { Q_EMIT pathProposed(proposal.isEmpty() ? FFileRoot : proposal); });
}

bool TDownloadController::Start(const QString &typedPath)
{
    if (IsBusy())
        return false;
    const QString typed = typedPath.trimmed();
    TPrompter &prompter = TPrompter::Instance();
    if (typed.isEmpty()) {
        prompter.Error(FPromptParent(), m_texts.WLS_Hint, m_texts.WLS_SelPath);
        return false;
    }
    const QString folder = NormaliseDownloadFolder(typed);
    if (!QFileInfo(folder).isDir()) {
        if (!prompter.Ask(FPromptParent(), m_texts.WLS_Hint, m_texts.WLS_IsNewPath))
            return false;
        // Made as a folder whatever its name: a dot in the last part is no file name here.
        if (!QDir().mkpath(folder) || !QFileInfo(folder).isDir()) {
            prompter.Error(FPromptParent(), m_texts.WLS_Hint, m_texts.WLS_NewPathErr);
            return false;
        }
    }
    FPath = folder;
    Q_EMIT started();
    startRun(FSelectedInfo);
    return true;
}

bool TDownloadController::RetryFailed()
{
    if (IsBusy() || m_failed.isEmpty() || FPath.isEmpty())
        return false;
    startRun(m_failed);
    return true;
}

void TDownloadController::startRun(const TSelectedInfos &list)
{
    const TSelectedInfos files = list;   // list may be m_failed itself
    ResetBreak();
    m_runTotal = 0;
    m_runBefore = 0;
    m_fileDone = 0;
    for (const TSelectedInfo &f : files)
        m_runTotal += qMax<qint64>(0, f.SizeKB) * 1024;
    m_failed.clear();
    // The worker gets its own copies: closing the window empties FSelectedInfo.
    auto result = std::make_shared<RunResult>();
    const TDownloadTexts texts = m_texts;
    const QString folder = FPath;
    const int count = int(files.size());
    Run([result, texts, folder, files](TTransferJob &job) { *result = runAll(job, texts, folder, files); },
        [this, result, count] {
            m_failed = result->Failed;
            for (const QString &t : std::as_const(result->Targets))
                if (!m_partialTargets.contains(t))
                    m_partialTargets.append(t);
            // A failed file is a failure: the last line counts them.
            Q_EMIT logLine(m_failed.isEmpty()
                               ? m_texts.WLS_AllOK
                               : LangText(m_lang, "%1 个文件中有 %2 个未下载。", "%2 of %1 file(s) were not downloaded.")
                                     .arg(count)
                                     .arg(m_failed.size()));
            FCanClose = true;
            Q_EMIT allDone(int(m_failed.size()));
        });
}

TDownloadController::RunResult TDownloadController::runAll(TTransferJob &job, const TDownloadTexts &texts,
                                                           const QString &folder, const TSelectedInfos &files)
{
    RunResult result;
    const QString params = QStringLiteral("[IsReplace]True[/IsReplace]");
    TRobotTcpClient &client = job.Client(kDownloadReadTimeout);
    const int count = int(files.size());
    int number = 0;
    for (const TSelectedInfo &f : files) {
        ++number;
        if (job.IsBreak == 1) {
            result.Failed.append(f);   // not tried: still to do
            continue;
        }
        job.Notify([&f, number, count](TTransferBase *owner) {
            auto *self = static_cast<TDownloadController *>(owner);
            Q_EMIT self->fileStarted();
            Q_EMIT self->currentName(f.FileName);
            Q_EMIT self->filePosition(number, count);
        });
        TDateTime serverTime = 0;
        QString local;
        client.Disconnect();
        const quint8 status = client.DownloadFileInto(folder, f.FileName, params, serverTime, f.FileKey, &local);
        const QString target = local.isEmpty() ? folder + f.FileName : local;
        QString line;
        if (status == 10) {
            line = target + QStringLiteral(": ") + texts.WLS_DownloadOK;
            job.Notify([](TTransferBase *owner) { Q_EMIT static_cast<TDownloadController *>(owner)->fileStored(); });
        } else {
            result.Failed.append(f);
            if (!local.isEmpty())
                result.Targets.append(local);
            line = target + QStringLiteral(": ") + client.GetLastError();
        }
        job.Notify([line](TTransferBase *owner) { Q_EMIT static_cast<TDownloadController *>(owner)->logLine(line); });
    }
    return result;
}

QStringList TDownloadController::Partials() const
{
    QStringList out;
    for (const QString &t : m_partialTargets) {
        const QString work = PartialDownloadName(t);
        if (QFileInfo(work).isFile())
            out << work;
    }
    return out;
}

void TDownloadController::DiscardPartials()
{
    for (const QString &p : Partials())
        QFile::remove(p);
    m_partialTargets.clear();
}

void TDownloadController::RequestClose()
{
    FCanClose = true;
    Cancel();
}
