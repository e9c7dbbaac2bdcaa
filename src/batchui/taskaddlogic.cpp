#include "batchui/taskaddlogic.h"

#include "batch/batchtranconfig.h"
#include "core/fileext.h"
#include "core/folders.h"
#include "core/tagtext.h"
#include "core/textfile.h"
#include "core/workpools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>

namespace {

QString tr2(THS_Language lang, const char *cn, const char *en)
{
    return QString::fromUtf8(lang == HSL_CN ? cn : en);
}

bool endsWithSeparator(const QString &s)
{
    return s.endsWith(u'\\') || s.endsWith(u'/');
}

QDate dateOf(TDateTime t)
{
    return DateTimeToQDateTime(t).date();
}

TDateTime dayOf(const QDate &d)
{
    return QDateTimeToDateTime(QDateTime(d, QTime(0, 0)));
}

} // namespace

TTaskAddTexts::TTaskAddTexts(THS_Language l)
    : WLS_Hint(tr2(l, "提示", "Hint"))
    , WLS_LoginFirst(tr2(l, "先登录系统", "login arvo system first!"))
    , WLS_SFile(tr2(l, "源文件：", "Source file:"))
    , WLS_DFolder(tr2(l, "目标文件夹：", "Target folder:"))
    , WLS_Upload(tr2(l, "文件上传", "Upload"))
    , WLS_Download(tr2(l, "文件下载", "Download"))
    , WLS_SFolder(tr2(l, "源文件夹：", "Source folder:"))
    , WLS_BulkUpload(tr2(l, "文件夹/文件批量上传", "Bulk upload"))
    , WLS_BulkDownload(tr2(l, "文件夹/文件批量下载", "Bulk download"))
    , WLS_NewFolder(tr2(l, "不存在的本地保存路径，是否新建路径？", "Local save path does not exist, whether new path?"))
    , WLS_NewFolderErr(tr2(l, "新建本地保存路径失败！", "New local save path failed!"))
    , WLS_SelSvrFolder(tr2(l, "选择服务器端目录/文件！", "Select the server-side directory or files!"))
    , WLS_NoFile(tr2(l, "不存在的本地文件，请重新选择！", "The file does not exist, please re-select!"))
    , WLS_NoFolder(tr2(l, "不存在的本地目录，请重新选择！", "The directory does not exist, please re-select!"))
    , WLS_ErrTime(tr2(l, "错误的文件修改时间！", "Wrong file modification time!"))
    , WLS_ErrSize(tr2(l, "错误的文件大小！", "Wrong file size!"))
    , WLS_SelFolder(tr2(l, "选择本地上传文件夹", "Select the Upload folder on the local"))
    , WLS_SelDFolder(tr2(l, "选择目标文件夹！", "select dest folder!"))
    , WLS_SelOwner(tr2(l, "选择目标所有者！", "select dest owner!"))
    , WLS_SelSOwner(tr2(l, "选择源所有者！", "select source owner!"))
    , WLS_SC_NO(tr2(l, "密级管理未启用", "Security classification is not enabled."))
    , WLS_KeepLocalNewFile(tr2(l, "保留本地新版本文件", "Keep new local file"))
    , WLS_FileNum(tr2(l, "共有文件%s个", "Total files %s"))
    , WLS_VersionRemark(tr2(l, "这里输入文件版本说明...", "Enter the file version overview..."))
    , WLS_ToFileManage(tr2(l, "请先点击左侧文件管理图标选择一个文件夹，鼠标右键建立批量上传下载任务！",
                           "Please click File Document icon on the left area to select a folder, then right click to creat a bulk task."))
{
}

TTaskAddContext TTaskAddContext::FromConfig(const TClientConfigX &config)
{
    TTaskAddContext c;
    c.WorkRoot = config.WorkRoot();
    c.ConfigFolder = GetConfigFolder();
    c.IncludeRoot = config.IsIncludeRoot();
    c.VersionRemark = GetTagValue(config.FileExtInfo(), QStringLiteral("VersionRemark")) == QLatin1String("1");
    return c;
}

TTaskForm TaskToForm(const TBatchTransport &task, const TTaskAddContext &ctx, const TTaskAddTexts &texts)
{
    TTaskForm f;
    const bool upload = task.TranStyle == TS_Upload;
    const bool download = task.TranStyle == TS_Download;
    const bool folder = task.FF != FF_File;
    f.SourceLabel = folder ? texts.WLS_SFolder : texts.WLS_SFile;
    f.TargetLabel = texts.WLS_DFolder;
    f.Title = folder ? (upload ? texts.WLS_BulkUpload : texts.WLS_BulkDownload) : (upload ? texts.WLS_Upload : texts.WLS_Download);
    f.FolderControls = folder;
    f.Source = task.SourceFolderName;
    f.Target = task.DestFolderName;
    if (download)
        f.Source.replace(u'/', u'\\');
    f.SourceReadOnly = upload;
    f.TargetReadOnly = upload;
    if (upload) {
        f.TargetHint = QString::number(task.DestOwnerId) + u'-' + QString::number(task.DestFolderId);
        if (!task.FilePrtParams.isEmpty()) {
            f.PrtParams = task.FilePrtParams;
            f.FilePrt = true;
        }
    }
    const QDate today = QDate::currentDate();
    f.MinDate = f.MaxDate = today;
    if (task.FileEndDate > task.FileStartDate) {
        f.DateOn = true;
        f.MinDate = dateOf(task.FileStartDate);
        f.MaxDate = dateOf(task.FileEndDate);
    }
    if (task.MinSize < task.MaxSize) {
        f.SizeOn = true;
        f.MinSize = QString::number(task.MinSize / 1024);
        f.MaxSize = QString::number(task.MaxSize / 1024);
    }
    f.Begin = QTime::currentTime();
    if (task.TaskCyc > 0) {
        f.Scheduled = true;
        f.Cyc = FormatTaskCyc(task.TaskCyc);
        f.Begin = DateTimeToQDateTime(task.TaskStartTime).time();
    }
    f.Types = TaskTypesText(task.Types);
    f.SubFolder = task.IsIncludeSubFolder;
    if (download && f.Target.isEmpty())
        f.Target = !ctx.WorkRoot.isEmpty() ? ctx.WorkRoot : IncludeTrailingSlash(ctx.ConfigFolder) + QStringLiteral("work/");
    if (download && !folder) {
        // The box shows the whole local path of the file; the task keeps its folder.
        const QString name = task.SourceFolderName.mid(
            qMax(task.SourceFolderName.lastIndexOf(u'/'), task.SourceFolderName.lastIndexOf(u'\\')) + 1);
        f.Target = IncludeTrailingSlash(f.Target) + name;
    }
    f.KeepLocalShown = download && folder;
    f.KeepLocalNewFile = task.KeepClientNewFile;
    f.IncludeRoot = folder ? task.IncludeRootPath : ctx.IncludeRoot;
    f.ScEnabled = !download;
    f.Sc = upload ? task.SC : -1;
    f.RemarkShown = ctx.VersionRemark;
    f.Remark = texts.WLS_VersionRemark;
    if (ctx.VersionRemark && upload && folder) {
        const QString remark = GetTagValue(task.ExtInfo, QStringLiteral("Remark"));
        if (!remark.isEmpty())
            f.Remark = remark;
    }
    return f;
}

QString TaskCheckText(TTaskCheck check, const TTaskAddTexts &t)
{
    switch (check) {
    case TTaskCheck::NewFolderErr: return t.WLS_NewFolderErr;
    case TTaskCheck::SelSvrFolder: return t.WLS_SelSvrFolder;
    case TTaskCheck::NoFile: return t.WLS_NoFile;
    case TTaskCheck::NoFolder: return t.WLS_NoFolder;
    case TTaskCheck::ErrTime: return t.WLS_ErrTime;
    case TTaskCheck::ErrSize: return t.WLS_ErrSize;
    case TTaskCheck::SelOwner: return t.WLS_SelOwner;
    case TTaskCheck::SelDFolder: return t.WLS_SelDFolder;
    case TTaskCheck::SelSOwner: return t.WLS_SelSOwner;
    default: return QString();
    }
}

TTaskCheck CollectTask(const TTaskForm &form, TBatchTransport &task, const TTaskAddContext &ctx, const TTaskAddTexts &texts,
                       const std::function<bool()> &askCreate)
{
    const bool upload = task.TranStyle == TS_Upload;
    const bool download = task.TranStyle == TS_Download;
    const bool folder = task.FF != FF_File;
    if (download) {
        QString local = form.Target.trimmed();
        if (!folder) {
            const qsizetype cut = qMax(local.lastIndexOf(u'/'), local.lastIndexOf(u'\\'));
            local = cut >= 0 ? local.left(cut + 1) : QString();
        }
        if (local.isEmpty() || !QFileInfo(local).isDir()) {
            if (!askCreate())
                return TTaskCheck::Refused;
            if (local.isEmpty() || !ForceFileFolder(local))
                return TTaskCheck::NewFolderErr;
        }
        // A single file's task keeps the folder: the worker adds the file's name.
        task.DestFolderName = folder ? form.Target.trimmed() : local;
    }
    if (upload) {
        // Switched off, the properties are not applied any more.
        task.FilePrtParams = form.FilePrt ? form.PrtParams : QString();
        if (task.DestFolderId < 0)
            return TTaskCheck::SelSvrFolder;
        const QFileInfo source(form.Source.trimmed());
        if (!folder && !source.isFile())
            return TTaskCheck::NoFile;
        if (folder && !source.isDir())
            return TTaskCheck::NoFolder;
        task.SourceFolderName = form.Source.trimmed();
        task.SC = quint8(qBound(0, form.Sc, 255));
    }
    if (folder) {
        task.IsIncludeSubFolder = form.SubFolder;
        if (form.DateOn) {
            task.FileStartDate = dayOf(form.MinDate);
            task.FileEndDate = dayOf(form.MaxDate);
            if (!(task.FileEndDate > task.FileStartDate))
                return TTaskCheck::ErrTime;
        } else {
            task.FileStartDate = NowDateTime();
            task.FileEndDate = task.FileStartDate - 1;
        }
        if (form.SizeOn) {
            bool okMin = false;
            bool okMax = false;
            const qint64 mn = form.MinSize.trimmed().toLongLong(&okMin);
            const qint64 mx = form.MaxSize.trimmed().toLongLong(&okMax);
            const qint64 limit = std::numeric_limits<qint64>::max() / 1024;
            if (!okMin || !okMax || mn < 0 || mx > limit)
                return TTaskCheck::ErrSize;
            task.MinSize = mn * 1024;
            task.MaxSize = mx * 1024;
            if (!(task.MinSize < task.MaxSize))
                return TTaskCheck::ErrSize;
        } else {
            task.MinSize = task.MaxSize = 0;
        }
        task.Types = ParseTaskTypes(form.Types);
        if (!task.DestFolderName.isEmpty() && !endsWithSeparator(task.DestFolderName))
            task.DestFolderName += download ? QStringLiteral("/") : QStringLiteral("\\");
        if (!task.SourceFolderName.isEmpty() && !endsWithSeparator(task.SourceFolderName))
            task.SourceFolderName += upload ? QStringLiteral("/") : QStringLiteral("\\");
        if (download) {
            task.SourceFolderName = LastFolderName(task.SourceFolderName);
            task.KeepClientNewFile = form.KeepLocalNewFile;
        }
        task.ExtInfo.clear();
        const QString remark = form.Remark.trimmed();
        if (upload && ctx.VersionRemark && !remark.isEmpty() && remark != texts.WLS_VersionRemark)
            task.ExtInfo = QStringLiteral("[Opr]Remark[/Opr][Remark]") + remark + QStringLiteral("[/Remark]");
    }
    if (form.Scheduled) {
        const double cyc = ParseTaskCyc(form.Cyc);
        task.TaskCyc = cyc > 0 ? cyc : 1.0;
        task.TaskStartTime = (form.Begin.msecsSinceStartOfDay() / 1000) / 86400.0;
    } else {
        task.TaskCyc = -1.0;
    }
    task.IncludeRootPath = form.IncludeRoot;
    return TTaskCheck::Ok;
}

// ---- Scratch index

struct TTaskScratchIndex::Job {
    std::unique_ptr<QTemporaryDir> Dir;
    std::unique_ptr<TCustomBathFileDeal> Worker;
};

TTaskScratchIndex::TTaskScratchIndex(const TBatchSettings &settings, const QString &indexFolder, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_indexFolder(indexFolder.isEmpty() ? BatchIndexFolder() : IncludeTrailingSlash(indexFolder))
{
}

TTaskScratchIndex::~TTaskScratchIndex()
{
    // The scan or list request ends on its cancel flags, unseen; the job keeps its folder till then.
    if (m_job && m_job->Worker)
        m_job->Worker->StopEx();
}

void TTaskScratchIndex::Build(const TBatchTransport &task)
{
    if (m_job && m_job->Worker)
        m_job->Worker->StopEx();
    m_files.clear();
    m_allCount = 0;
    m_building = true;
    auto job = std::make_shared<Job>();
    QDir().mkpath(m_indexFolder);
    job->Dir = std::make_unique<QTemporaryDir>(m_indexFolder + QStringLiteral("edit-XXXXXX"));
    if (!job->Dir->isValid()) {
        m_building = false;
        Q_EMIT built(false, job->Dir->errorString());
        return;
    }
    // The task's own exclusions show as left out.
    const QString ivd = QString::number(task.Id) + QStringLiteral(".ivd");
    QFile::copy(m_indexFolder + ivd, IncludeTrailingSlash(job->Dir->path()) + ivd);
    TBatchSettings settings = m_settings;
    settings.IndexFolder = job->Dir->path();
    TBatchTransport copy = task;
    copy.TaskCyc = -1;   // every file, not only those of a period
    job->Worker = std::make_unique<TCustomBathFileDeal>(copy, settings);
    job->Worker->IsLog = false;
    connect(job->Worker.get(), &TCustomBathFileDeal::showLogInfo, this,
            [this](int, const QString &line) { Q_EMIT progressText(line); }, Qt::QueuedConnection);
    m_job = job;
    struct Result {
        bool Ok = false;
        QString Error;
        QList<TTidyFile> Files;
        int AllCount = 0;
    };
    RunOnPool(TransferPool(), this, [job]() {
        Result r;
        r.Ok = job->Worker->InitEx();
        if (!r.Ok)
            r.Error = job->Worker->GetErrorLog().trimmed();
        job->Worker->ListFiles([&r](const TTidyFile &t) { r.Files << t; });
        r.AllCount = job->Worker->IndexCount();
        return r;
    }, [this, job](const Result &r) {
        if (m_job != job)
            return;
        m_building = false;
        m_files = r.Files;
        m_allCount = r.AllCount;
        Q_EMIT built(r.Ok, r.Error);
    });
}

void TTaskScratchIndex::Exclude(const QList<qint64> &keys)
{
    if (m_job && m_job->Worker && !m_building)
        m_job->Worker->RemoveFiles(keys);
}
