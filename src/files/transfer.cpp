#include "files/transfer.h"

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
#include <QtConcurrent>

namespace {
constexpr qint64 kMB = 1048576;
constexpr int kUploadReadTimeout = 120000;
constexpr int kDownloadReadTimeout = 30000;
constexpr qsizetype kMaxSubFolderName = 1024;

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

// ---- TTransferBase

TTransferBase::TTransferBase(const TServerConn &conn, THS_Language lang, QObject *parent)
    : QObject(parent)
    , m_conn(conn)
    , m_lang(lang)
{
}

TTransferBase::~TTransferBase()
{
    FIsBreak = 1;
    if (m_wait)
        m_wait();
}

TRobotTcpClient &TTransferBase::Client(int readTimeout)
{
    if (!FTcp) {
        FTcp = m_conn.MakeClient(readTimeout);
        FTcp->PIsBreak = &FIsBreak;
        FTcp->FIsPostMessage = true;
        FTcp->FDoTransmit = [this](TRobotTcpClient *, qint64 all, qint64 done) { Q_EMIT progress(all, done); };
    }
    return *FTcp;
}

void TTransferBase::Run(std::function<void()> work, std::function<void()> done)
{
    m_busy = true;
    Q_EMIT busyChanged(true);
    auto *watcher = new QFutureWatcher<void>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, done] {
        watcher->deleteLater();
        m_wait = nullptr;
        m_busy = false;
        done();
        if (!m_busy)
            Q_EMIT busyChanged(false);
    });
    QFuture<void> future = QtConcurrent::run([work] {
        try {
            work();
        } catch (const std::exception &e) {
            qCWarning(lcFiles) << "transfer failed:" << e.what();
        }
    });
    m_wait = [future]() mutable { future.waitForFinished(); };
    watcher->setFuture(future);
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

void TUploadController::prepareLimits(TRobotTcpClient &client)
{
    if (m_limitsAsked)
        return;
    m_limitsAsked = true;
    FServerFileMaxSize = qint64(client.GetMaxFileSize()) * kMB;
    try {
        FServerFileType = client.GetFileType();
        if (FServerFileType.contains(42u))
            FServerFileType.clear();
    } catch (const std::exception &) {
        FServerFileType.clear();   // unknown limits: the server still decides
    }
}

TUploadController::Outcome TUploadController::uploadOne(const QString &path, const QString &subFolder)
{
    Outcome out;
    TRobotTcpClient &client = Client(kUploadReadTimeout);
    prepareLimits(client);
    out.File = DescribeLocalFile(path);
    out.Refusal = CheckUploadFile(out.File, FServerFileMaxSize, FServerFileType, m_texts);
    if (!out.Refusal.isEmpty())
        return out;
    client.Disconnect();   // the file channel starts on a fresh connection
    out.Status = client.UploadFile(FGroupId, subFolder, out.NewKey, out.File, FFolderId);
    out.Error = client.GetLastError();
    return out;
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
        FIsBreak = 0;   // a cancelled file may be sent again (the server resumes it)
    Q_EMIT inputsEnabled(false);
    Q_EMIT fileStarted();
    auto outcome = std::make_shared<Outcome>();
    Run([this, outcome, path] { *outcome = uploadOne(path, QString()); }, [this, outcome] {
        const Outcome &o = *outcome;
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
    if (!FIsClose)
        FIsBreak = 0;
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
    auto outcome = std::make_shared<Outcome>();
    Run([this, outcome, path, sub] { *outcome = uploadOne(path, sub); }, [this, outcome] {
        const Outcome &o = *outcome;
        if (o.Refusal.isEmpty() && o.Status == 3) {
            ++m_uploaded;
            Q_EMIT fileStored();
            nextOfList();
            return;
        }
        ++m_failed;
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
    m_queue.clear();
    Q_EMIT inputsEnabled(true);
    if (!FIsClose) {
        // Success is claimed only when every file of the list arrived.
        if (complete && m_failed == 0)
            TPrompter::Instance().Info(FPromptParent(), m_texts.WLS_Hint, m_texts.WLS_UploadOK);
        else
            TPrompter::Instance().Info(FPromptParent(), m_texts.WLS_Hint,
                                            LangText(m_lang, "已上传 %1 个文件，%2 个文件未上传。",
                                                     "%1 file(s) uploaded, %2 file(s) not uploaded.")
                                                .arg(m_uploaded)
                                                .arg(m_failed + m_queue.size()));
    }
    Q_EMIT listFinished(complete && m_failed == 0);
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
    FIsBreak = 0;
    m_failures = 0;
    Q_EMIT started();
    // The worker gets its own copy: closing the window empties FSelectedInfo.
    const TSelectedInfos files = FSelectedInfo;
    Run([this, files] { runAll(files); }, [this] {
        Q_EMIT logLine(m_texts.WLS_AllOK);
        FCanClose = true;
        Q_EMIT allDone(m_failures);
    });
    return true;
}

void TDownloadController::runAll(const TSelectedInfos &files)
{
    const QString params = QStringLiteral("[IsReplace]True[/IsReplace]");
    TRobotTcpClient &client = Client(kDownloadReadTimeout);
    for (const TSelectedInfo &f : files) {
        if (FIsBreak == 1)
            break;
        Q_EMIT fileStarted();
        Q_EMIT currentName(f.FileName);
        TDateTime serverTime = 0;
        QString local;
        client.Disconnect();
        const quint8 status = client.DownloadFileInto(FPath, f.FileName, params, serverTime, f.FileKey, &local);
        const QString target = local.isEmpty() ? FPath + f.FileName : local;
        if (status == 10) {
            Q_EMIT logLine(target + QStringLiteral(": ") + m_texts.WLS_DownloadOK);
        } else {
            ++m_failures;
            Q_EMIT logLine(target + QStringLiteral(": ") + client.GetLastError());
        }
    }
}

void TDownloadController::RequestClose()
{
    FCanClose = true;
    Cancel();
}
