// zudivuvo-cli: the batch engine and a few file commands without any window.
// It shares the desktop client's configuration folder, btr.sys and index files.
#include "batch/batchtranconfig.h"
#include "batch/bathfiledeal.h"
#include "batch/taskservice.h"
#include "cli/clisession.h"
#include "cli/taskrunner.h"
#include "core/fileext.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/textfile.h"
#include "net/robottcpclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <future>
#include <unistd.h>

namespace {

constexpr int kUsage = 2;
constexpr int kInterrupted = 130;

// The language of the messages: English unless --lang 2 asks for Chinese.
THS_Language g_lang = HSL_ENG;

QString L(const char *cn, const char *en)
{
    return QString::fromUtf8(g_lang == HSL_CN ? cn : en);
}

const char kUsageEn[] =
    "Usage: zudivuvo-cli [--server HOST#PORT#TLS] [--user NAME] [--password-file FILE] [--lang 1|2] [--json] COMMAND\n"
    "The password comes from --password-file or ZUDIVUVO_PASSWORD; without --user the desktop client's saved login is used.\n"
    "Commands:\n"
    "  login                          check the login with the server and store it for later commands\n"
    "  owners                         list the owners (your groups and yourself) with their ids\n"
    "  ls OWNER[:FOLDERID]            list a folder\n"
    "  get FILEKEY LOCALPATH [--parents]  download a file (--parents creates missing folders)\n"
    "  put LOCALFILE OWNER:FOLDERID   upload a file\n"
    "  task list | show ID | status ID | log ID\n"
    "  task add --upload|--download --source X --dest Y --owner ID [--folder-id ID] [--file]\n"
    "           (--download needs --folder-id: the server folder's id)\n"
    "           [--no-subfolders] [--from DATE --to DATE] [--min-size N --max-size N] [--types doc,xls]\n"
    "           [--period MINUTES] [--start HH:MM:SS] [--no-include-root] [--no-keep-newer]\n"
    "  task run ID | --all [--watch]  run now; --all runs every unfinished task that is not paused\n"
    "                                 (--watch keeps periodic tasks on their time rule)\n"
    "  task pause|resume|delete ID\n"
    "Exit status: 0 all done, 1 a failure (files not moved, refused, stale login), 2 usage, 130 interrupted.\n"
    "Ctrl+C stops cleanly and keeps the stored task states; a second Ctrl+C ends at once.\n";

const char kUsageCn[] =
    "用法：zudivuvo-cli [--server HOST#PORT#TLS] [--user NAME] [--password-file FILE] [--lang 1|2] [--json] COMMAND\n"
    "密码取自 --password-file 或 ZUDIVUVO_PASSWORD；不给 --user 时使用桌面客户端保存的登录。\n"
    "命令：\n"
    "  login                          向服务器验证登录，并保存供之后的命令使用\n"
    "  owners                         列出所有者（您所在的组和您自己）及其编号\n"
    "  ls OWNER[:FOLDERID]            列出文件夹\n"
    "  get FILEKEY LOCALPATH [--parents]  下载文件（--parents 创建缺少的文件夹）\n"
    "  put LOCALFILE OWNER:FOLDERID   上传文件\n"
    "  task list | show ID | status ID | log ID\n"
    "  task add --upload|--download --source X --dest Y --owner ID [--folder-id ID] [--file]\n"
    "           （--download 需要 --folder-id：服务器文件夹的编号）\n"
    "           [--no-subfolders] [--from DATE --to DATE] [--min-size N --max-size N] [--types doc,xls]\n"
    "           [--period MINUTES] [--start HH:MM:SS] [--no-include-root] [--no-keep-newer]\n"
    "  task run ID | --all [--watch]  立即运行；--all 运行所有未完成且未暂停的任务\n"
    "                                 （--watch 让周期任务按其时间规则继续运行）\n"
    "  task pause|resume|delete ID\n"
    "退出状态：0 全部完成，1 失败（文件未传送、被拒绝、登录过期），2 用法错误，130 已中断。\n"
    "Ctrl+C 会干净地停止并保留已存储的任务状态；再按一次 Ctrl+C 立即结束。\n";

void out(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
}

int fail(const QString &text, int code = 1)
{
    std::fflush(stdout);
    std::fputs(("zudivuvo-cli: " + text + "\n").toLocal8Bit().constData(), stderr);
    return code;
}

int usage(const QString &text)
{
    fail(text, kUsage);
    std::fputs(L(kUsageCn, kUsageEn).toLocal8Bit().constData(), stderr);
    return kUsage;
}

void onSignal(int)
{
    // A second Ctrl+C ends at once; _exit is safe in a signal handler.
    if (g_interrupted.exchange(1) != 0)
        _exit(kInterrupted);
}

// Runs a command's exchanges on a thread of their own, so Ctrl+C is seen while
// they wait: the exchange is cancelled and the command ends with 130.
int interruptible(std::atomic<qint32> &cancel, const std::function<int()> &work)
{
    auto result = std::async(std::launch::async, work);
    while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (g_interrupted && cancel.exchange(1) == 0) {
            std::fflush(stdout);
            std::fputs(("zudivuvo-cli: " + L("已中断", "interrupted") + u'\n').toLocal8Bit().constData(), stderr);
        }
    }
    const int rc = result.get();
    return g_interrupted ? kInterrupted : rc;
}

// The session is made and checked (the login step) where Ctrl+C reaches it.
bool connectSession(TCliSession &session, std::atomic<qint32> &cancel, int &rc)
{
    bool ok = false;
    session.SetCancel(&cancel);
    rc = interruptible(cancel, [&] {
        ok = session.Connect();
        return ok ? 0 : 1;
    });
    if (rc == kInterrupted)
        return false;
    if (!ok)
        rc = fail(session.Error());
    return ok;
}

// Takes "--name value" out of args.
bool takeValue(QStringList &args, const QString &name, QString &value, bool &missing)
{
    const qsizetype i = args.indexOf(name);
    if (i < 0)
        return false;
    if (i + 1 >= args.size()) {
        missing = true;
        args.removeAt(i);
        return false;
    }
    value = args.at(i + 1);
    args.remove(i, 2);
    return true;
}

bool takeFlag(QStringList &args, const QString &name)
{
    return args.removeAll(name) > 0;
}

QString stateName(int st)
{
    switch (st) {
    case BTS_Unknown: return QStringLiteral("unknown");
    case BTS_Init: return QStringLiteral("init");
    case BTS_Running: return QStringLiteral("running");
    case BTS_Paused: return QStringLiteral("paused");
    case BTS_Completed: return QStringLiteral("done");
    case BTS_Waiting: return QStringLiteral("waiting");
    case BTS_Error: return QStringLiteral("error");
    case BTS_Deleted: return QStringLiteral("deleted");
    default: return QString::number(st);
    }
}

QJsonObject taskJson(const TBatchTransport &t, THS_Language lang)
{
    QJsonObject o;
    o["id"] = t.Id;
    o["direction"] = t.TranStyle == TS_Upload ? "upload" : t.TranStyle == TS_Download ? "download" : "other";
    o["kind"] = t.FF == FF_File ? "file" : "folder";
    o["source"] = t.SourceFolderName;
    o["dest"] = t.DestFolderName;
    o["owner"] = t.TranStyle == TS_Upload ? t.DestOwnerId : t.SourceOwnerId;
    o["folderId"] = QString::number(t.TranStyle == TS_Upload ? t.DestFolderId : t.SourceFolderId);
    o["state"] = t.St;
    o["stateName"] = stateName(t.St);
    o["stateText"] = TaskStateText(t.St, lang);
    o["periodMinutes"] = t.TaskCyc > 0 ? qint64(std::llround(t.TaskCyc * 60)) : 0;
    o["startTime"] = FormatTaskTime(t.TaskStartTime);
    o["runStartTime"] = FormatWireDateTime(t.RunStartTime);
    o["runEndTime"] = FormatWireDateTime(t.RunEndTime);
    return o;
}

void printJson(const QJsonValue &v)
{
    const QByteArray bytes = v.isArray() ? QJsonDocument(v.toArray()).toJson(QJsonDocument::Indented)
                                         : QJsonDocument(v.toObject()).toJson(QJsonDocument::Indented);
    std::fputs(bytes.constData(), stdout);
}

bool parseId(const QString &text, qint32 &id)
{
    bool ok = false;
    id = text.toInt(&ok);
    return ok && id != 0;
}

std::optional<TDateTime> parseDate(const QString &text)
{
    if (auto d = ParseWireDateTime(text))
        return d;
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid())
        return QDateTimeToDateTime(day.startOfDay());
    return std::nullopt;
}

// ---- Commands

int cmdLogin(TCliSession &session)
{
    std::atomic<qint32> cancel{0};
    int rc = 0;
    if (!connectSession(session, cancel, rc))
        return rc;
    QString err;
    if (!session.StoreLogin(&err))
        return fail(L("已登录，但无法保存登录信息：%1", "Logged in, but the login could not be stored: %1").arg(err));
    out(L("已登录到 %1:%2，用户 %3（所有者编号 %4）", "Logged in to %1:%2 as %3 (owner id %4)")
            .arg(session.Conn().Host).arg(session.Conn().Port).arg(session.UserName()).arg(session.OwnerId()));
    return 0;
}

int cmdOwners(TCliSession &session, const QStringList &args, bool json)
{
    if (!args.isEmpty())
        return usage(L("owners 不带参数", "owners takes no arguments"));
    std::atomic<qint32> cancel{0};
    int rc = 0;
    if (!connectSession(session, cancel, rc))
        return rc;
    QJsonArray rows;
    auto row = [&](const QString &kind, qint64 id, const QString &name) {
        if (json) {
            QJsonObject o;
            o["kind"] = kind;
            o["id"] = id;
            o["name"] = name;
            rows << o;
        } else {
            out(QStringLiteral("%1 %2 %3").arg(id, 10).arg(kind, -5).arg(name));
        }
    };
    row(QStringLiteral("user"), session.OwnerId(), session.UserName());
    for (const QString &l : session.Groups().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
        const qsizetype star = l.indexOf(u'*');
        const qint64 id = StrToInt64Def(l.left(star), 0);
        if (star > 0 && id > 0)
            row(QStringLiteral("group"), id, l.mid(star + 1));
    }
    if (json)
        printJson(rows);
    return 0;
}

int cmdLs(TCliSession &session, const QStringList &args, bool json)
{
    if (args.size() != 1)
        return usage(L("ls 需要 OWNER[:FOLDERID]", "ls needs OWNER[:FOLDERID]"));
    const QStringList parts = args.first().split(u':');
    const qint32 owner = StrToIntDef(parts.value(0), 0);
    const qint64 folder = parts.size() > 1 ? StrToInt64Def(parts.at(1), -1) : 0;
    if (owner <= 0 || folder < 0 || parts.size() > 2)
        return usage(L("ls 需要数字形式的 OWNER[:FOLDERID]", "ls needs OWNER[:FOLDERID] as numbers"));
    std::atomic<qint32> cancel{0};
    int rc = 0;
    if (!connectSession(session, cancel, rc))
        return rc;
    QString reply;
    QString error;
    rc = interruptible(cancel, [&] {
        try {
            auto c = session.Conn().MakeClient();
            c->PCancelFrames = &cancel;
            c->ApiPostText(rq::FolderFileList,
                           QStringLiteral("[EncryptCode]%1[/EncryptCode][OwnerId]%2[/OwnerId][FolderId]%3[/FolderID][IsIncludeSize]True[/IsIncludeSize]")
                               .arg(session.Conn().EncryptId).arg(owner).arg(folder),
                           reply);
        } catch (const std::exception &e) {
            error = QString::fromUtf8(e.what());
            return 1;
        }
        return 0;
    });
    if (rc == kInterrupted)
        return rc;
    if (!error.isEmpty())
        return fail(error);
    if (reply.trimmed() == QLatin1String("no power"))
        return fail(L("无权访问所有者 %1 的文件夹 %2", "No access to owner %1 folder %2").arg(owner).arg(folder));
    QJsonArray rows;
    for (const QString &l : reply.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
        const QStringList f = l.split(u'*');
        if (f.size() < 5)
            continue;
        const bool isFolder = f.at(4).compare(QLatin1String("True"), Qt::CaseInsensitive) == 0;
        const TDateTime dt = TicksToDateTime(f.at(1).toLongLong());
        if (json) {
            QJsonObject o;
            o["type"] = isFolder ? "folder" : "file";
            o["id"] = f.at(0);
            o["name"] = f.at(2);
            o["modified"] = FormatWireDateTime(dt);
            o["size"] = f.value(5).toLongLong();
            o["lockedBy"] = f.at(3);
            rows << o;
        } else {
            out(QStringLiteral("%1 %2 %3 %4 %5")
                    .arg(isFolder ? QStringLiteral("d") : QStringLiteral("-"))
                    .arg(f.at(0), -20)
                    .arg(isFolder ? QString() : f.value(5), 12)
                    .arg(FormatWireDateTime(dt), f.at(2)));
        }
    }
    if (json)
        printJson(rows);
    return 0;
}

int cmdGet(TCliSession &session, QStringList args)
{
    const bool parents = takeFlag(args, "--parents");
    if (args.size() != 2 || StrToInt64Def(args.at(0), 0) <= 0)
        return usage(L("get 需要 FILEKEY LOCALPATH", "get needs FILEKEY LOCALPATH"));
    const QString target = QFileInfo(args.at(1)).absoluteFilePath();
    const QString folder = QFileInfo(target).absolutePath();
    // A mistyped folder is an error, not a new tree of folders.
    if (!QFileInfo(folder).isDir()) {
        if (!parents)
            return fail(L("文件夹 %1 不存在（用 --parents 创建它）", "The folder %1 does not exist (give --parents to create it)").arg(folder));
        if (!QDir().mkpath(folder))
            return fail(L("无法创建文件夹 %1", "Cannot create the folder %1").arg(folder));
    }
    std::atomic<qint32> cancel{0};
    int rc = 0;
    if (!connectSession(session, cancel, rc))
        return rc;
    quint8 st = 0;
    QString error;
    rc = interruptible(cancel, [&] {
        auto c = session.Conn().MakeClient(120000);
        c->PCancelFrames = &cancel;
        c->PIsBreak = &cancel;
        st = c->DownloadFile(target, QStringLiteral("[IsReplace]True[/IsReplace]"), StrToInt64Def(args.at(0), 0));
        error = c->GetLastError().trimmed();
        return 0;
    });
    if (rc == kInterrupted)
        return rc;
    if (st != fc::Download)
        return fail(L("下载 %1 失败：%2", "Download of %1 failed: %2").arg(args.at(0), error));
    out(QStringLiteral("%1 -> %2").arg(args.at(0), target));
    return 0;
}

int cmdPut(TCliSession &session, const QStringList &args)
{
    const QStringList dest = args.value(1).split(u':');
    if (args.size() != 2 || dest.size() != 2 || StrToIntDef(dest.at(0), 0) <= 0 || StrToInt64Def(dest.at(1), -1) < 0)
        return usage(L("put 需要 LOCALFILE OWNER:FOLDERID", "put needs LOCALFILE OWNER:FOLDERID"));
    TTidyFile t;
    t.Path = QFileInfo(args.at(0)).absoluteFilePath();
    if (!LocalFileStat(t.Path, t.Size, t.ModifyDT))
        return fail(L("无法读取 %1", "Cannot read %1").arg(t.Path));
    t.NameHash = qint32(NameHash32(t.Path));
    t.Kind = FileExtCode(QFileInfo(t.Path).suffix());
    std::atomic<qint32> cancel{0};
    int rc = 0;
    if (!connectSession(session, cancel, rc))
        return rc;
    qint64 key = 0;
    quint8 st = 0;
    QString error;
    rc = interruptible(cancel, [&] {
        auto c = session.Conn().MakeClient(120000);
        c->PCancelFrames = &cancel;
        c->PIsBreak = &cancel;
        st = c->UploadFile(StrToIntDef(dest.at(0), 0), QString(), key, t, StrToInt64Def(dest.at(1), 0));
        error = c->GetLastError().trimmed();
        return 0;
    });
    if (rc == kInterrupted)
        return rc;
    if (st == 16) {
        out(L("%1 的内容服务器上已有（文件编号 %2），未保存新版本", "%1 is already on the server with the same content (file key %2): nothing stored").arg(t.Path).arg(key));
        return 0;
    }
    if (st != fc::Stored)
        return fail(L("上传 %1 失败：%2", "Upload of %1 failed: %2").arg(t.Path, error));
    out(QStringLiteral("%1 -> %2 (file key %3)").arg(t.Path, args.at(1)).arg(key));
    return 0;
}

int cmdTaskAdd(TTaskService &tasks, QStringList args)
{
    TBatchTransport t;
    NewBatchTransport(t);
    bool missing = false;
    QString source, dest, owner, folderId, from, to, minSize, maxSize, types, period, start;
    const bool up = takeFlag(args, "--upload");
    const bool down = takeFlag(args, "--download");
    if (up == down)
        return usage(L("task add 需要 --upload 或 --download", "task add needs --upload or --download"));
    t.TranStyle = up ? TS_Upload : TS_Download;
    t.FF = takeFlag(args, "--file") ? FF_File : FF_Folder;
    takeFlag(args, "--folder");
    takeValue(args, "--source", source, missing);
    takeValue(args, "--dest", dest, missing);
    takeValue(args, "--owner", owner, missing);
    takeValue(args, "--folder-id", folderId, missing);
    takeValue(args, "--from", from, missing);
    takeValue(args, "--to", to, missing);
    takeValue(args, "--min-size", minSize, missing);
    takeValue(args, "--max-size", maxSize, missing);
    takeValue(args, "--types", types, missing);
    takeValue(args, "--period", period, missing);
    takeValue(args, "--start", start, missing);
    if (takeFlag(args, "--no-subfolders"))
        t.IsIncludeSubFolder = false;
    if (takeFlag(args, "--no-include-root"))
        t.IncludeRootPath = false;
    if (takeFlag(args, "--no-keep-newer"))
        t.KeepClientNewFile = false;
    if (missing || !args.isEmpty())
        return usage(missing ? L("task add 的某个选项缺少值", "an option of task add has no value") : L("未知参数：", "unknown: ") + args.join(u' '));
    if (source.isEmpty() || dest.isEmpty() || StrToIntDef(owner, 0) <= 0)
        return usage(L("task add 需要 --source、--dest 和 --owner", "task add needs --source, --dest and --owner"));
    const qint64 fid = folderId.isEmpty() ? 0 : StrToInt64Def(folderId, -1);
    if (fid < 0)
        return usage(L("--folder-id 必须是数字", "--folder-id must be a number"));
    if (up) {
        const QFileInfo fi(source);
        if (t.FF == FF_File ? !fi.isFile() : !fi.isDir())
            return fail(QStringLiteral("%1 is not a %2").arg(source, t.FF == FF_File ? "file" : "folder"));
        t.SourceFolderName = t.FF == FF_File ? fi.absoluteFilePath() : IncludeTrailingSlash(fi.absoluteFilePath());
        t.DestFolderName = dest.endsWith(u'\\') ? dest : dest + u'\\';
        t.DestOwnerId = StrToIntDef(owner, 0);
        t.DestFolderId = fid;
    } else {
        // The server folder is found by its id; its name is the last part of the
        // path, written with "\\" as the server's list writes the paths under it.
        if (fid <= 0)
            return usage(L("task add --download 需要 --folder-id，即服务器文件夹的编号", "task add --download needs --folder-id, the id of the server folder"));
        QString server = source;
        server.replace(u'/', u'\\');
        if (t.FF != FF_File && !server.endsWith(u'\\'))
            server += u'\\';
        t.SourceFolderName = t.FF == FF_File ? server : LastFolderName(server);
        t.DestFolderName = IncludeTrailingSlash(QFileInfo(dest).absoluteFilePath());
        t.SourceOwnerId = StrToIntDef(owner, 0);
        t.SourceFolderId = fid;
    }
    if (!from.isEmpty() || !to.isEmpty()) {
        const auto f = parseDate(from);
        const auto e = parseDate(to);
        if (!f || !e || *e <= *f)
            return usage(L("--from 和 --to 需要两个日期（YYYY-MM-DD [HH:MM:SS]），后者较晚", "--from and --to need two dates (YYYY-MM-DD [HH:MM:SS]), the second later"));
        t.FileStartDate = *f;
        t.FileEndDate = *e;
    }
    if (!minSize.isEmpty() || !maxSize.isEmpty()) {
        t.MinSize = StrToInt64Def(minSize, -1);
        t.MaxSize = StrToInt64Def(maxSize, -1);
        if (t.MinSize < 0 || t.MaxSize <= t.MinSize)
            return usage(L("--min-size 和 --max-size 需要两个字节数，后者较大", "--min-size and --max-size need two byte counts, the second larger"));
    }
    t.Types = ParseTaskTypes(types);
    if (!period.isEmpty()) {
        bool ok = false;
        const double minutes = period.toDouble(&ok);
        // Shorter periods round to zero minutes, which the time rule cannot work with.
        if (!ok || minutes < 1)
            return usage(L("--period 是分钟数，至少为 1", "--period is a number of minutes, at least 1"));
        t.TaskCyc = minutes / 60.0;
        t.RunStartTime = NowDateTime() - t.TaskCyc / 24 + 10.0 / 86400;
    }
    if (!start.isEmpty()) {
        const auto s = ParseTaskTime(start);
        if (!s)
            return usage(L("--start 是一天中的时刻，格式 HH:MM:SS", "--start is a time of day, HH:MM:SS"));
        t.TaskStartTime = *s;
    }
    if (!tasks.AppendTask(t))
        return fail(L("无法保存任务：%1", "Cannot save the task: %1").arg(tasks.LastSaveError()));
    out(QString::number(t.Id));
    return 0;
}

int cmdTask(const TCliOptions &options, QStringList args)
{
    if (args.isEmpty())
        return usage(L("task 需要子命令", "task needs a sub-command"));
    const QString sub = args.takeFirst();
    TTaskService tasks;
    if (!tasks.LoadError().isEmpty())
        fail(tasks.LoadError(), 0);
    TCliSession session(options);
    const THS_Language lang = session.Language();
    const QString indexFolder = tasks.IndexFolder();

    if (sub == QLatin1String("add"))
        return cmdTaskAdd(tasks, args);
    if (sub == QLatin1String("list")) {
        if (!args.isEmpty())
            return usage(L("task list 不带参数", "task list takes no arguments"));
        QJsonArray rows;
        for (const TBatchTransport &t : tasks.Tasks()) {
            if (options.Json)
                rows << taskJson(t, lang);
            else
                out(QStringLiteral("%1 %2 %3 %4 -> %5")
                        .arg(t.Id, 11)
                        .arg(t.TranStyle == TS_Upload ? "upload  " : "download")
                        .arg(stateName(t.St), -8)
                        .arg(t.SourceFolderName, t.DestFolderName));
        }
        if (options.Json)
            printJson(rows);
        return 0;
    }
    const bool all = sub == QLatin1String("run") && takeFlag(args, "--all");
    const bool watch = sub == QLatin1String("run") && takeFlag(args, "--watch");
    qint32 id = 0;
    TBatchTransport task;
    if (!all) {
        if (args.size() != 1 || !parseId(args.first(), id))
            return usage(L("task %1 需要任务编号", "task %1 needs a task id").arg(sub));
        if (!tasks.Task(id, task))
            return fail(L("%2 中没有任务 %1", "No task %1 in %2").arg(id).arg(QDir::toNativeSeparators(tasks.ConfigFileName())));
    } else if (!args.isEmpty()) {
        return usage(L("task run --all 不带任务编号", "task run --all takes no task id"));
    }

    if (sub == QLatin1String("show")) {
        QString text;
        TaskSummaryText(task, lang, text);
        if (options.Json) {
            QJsonObject o = taskJson(task, lang);
            o["summary"] = text;
            printJson(o);
        } else {
            out(text);
            out(TaskStateText(task.St, lang));
        }
        return 0;
    }
    if (sub == QLatin1String("status")) {
        // Only reads: the index of a run in progress belongs to its runner.
        const QString holder = TaskLockedElsewhere(indexFolder, id);
        const TLastRun last = ReadLastRun(indexFolder, id);
        const QStringList log = ReadTextFile(indexFolder + QString::number(id) + ".log").split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        if (options.Json) {
            QJsonObject o = taskJson(task, lang);
            o["done"] = task.St == BTS_Completed && last.Failed == 0;
            o["runningIn"] = holder.isEmpty() ? QJsonValue() : QJsonValue(holder);
            o["indexedFiles"] = last.Files;
            o["transferredFiles"] = last.Done;
            o["failedFiles"] = last.Failed;
            o["lastLog"] = log.isEmpty() ? QString() : log.last();
            printJson(o);
        } else {
            out(QStringLiteral("Task %1: %2 (%3)").arg(id).arg(TaskStateText(task.St, lang), stateName(task.St)));
            out(L("上次运行：%1 - %2", "Last run: %1 - %2").arg(FormatWireDateTime(task.RunStartTime), FormatWireDateTime(task.RunEndTime)));
            if (last.Known)
                out(L("上次运行的文件：%2 个中已传输 %1 个，失败 %3 个", "Files of the last run: %1 of %2 transferred, %3 failed").arg(last.Done).arg(last.Files).arg(last.Failed));
            if (!holder.isEmpty())
                out(L("正在运行于 %1", "Running in %1").arg(holder));
            if (!log.isEmpty())
                out(L("最后一行日志：%1", "Last log line: %1").arg(log.last()));
        }
        return 0;
    }
    if (sub == QLatin1String("log")) {
        const QString text = ReadTextFile(indexFolder + QString::number(id) + ".log");
        if (text.isEmpty())
            return fail(L("任务 %1 还没有日志", "Task %1 has no log yet").arg(id));
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (sub == QLatin1String("pause") || sub == QLatin1String("resume") || sub == QLatin1String("delete")) {
        const QString holder = TaskLockedElsewhere(indexFolder, id);
        if (!holder.isEmpty())
            return fail(L("任务 %1 正在 %2 中运行；请先在那里停止它", "Task %1 is running in %2; stop it there first").arg(id).arg(holder));
        quint8 st = BTS_Unknown;
        bool ok = false;
        if (sub == QLatin1String("delete")) {
            ok = tasks.Remove(id);
        } else {
            st = sub == QLatin1String("pause") ? BTS_Paused : (task.TaskCyc > 0 ? BTS_Waiting : BTS_Init);
            ok = tasks.ApplyState(id, st);
        }
        if (!ok)
            return fail(L("无法更改任务 %1：%2", "Cannot change task %1: %2").arg(id).arg(tasks.LastError()));
        out(QStringLiteral("Task %1: %2").arg(id).arg(sub == QLatin1String("delete") ? QStringLiteral("deleted") : stateName(st)));
        return 0;
    }
    if (sub == QLatin1String("run")) {
        QList<qint32> ids;
        if (all) {
            // What is unfinished: an interrupted or failed run goes on; a finished one-off task does not run again.
            ids = tasks.UnfinishedTasks();
            if (ids.isEmpty()) {
                if (options.Json)
                    printJson(QJsonArray());
                else
                    out(L("没有未完成的任务", "No unfinished task"));
                return 0;
            }
        } else {
            if (!IsRunnableTask(task) || (task.TranStyle != TS_Upload && task.TranStyle != TS_Download))
                return fail(L("任务 %1 无法运行：没有源或目标", "Task %1 cannot run: it names no source or target").arg(id));
            ids << id;
        }
        if (!session.ServerOptionValid())
            return usage(L("--server 需要 HOST#PORT#TLS", "--server needs HOST#PORT#TLS"));
        std::atomic<qint32> cancel{0};
        int rc = 0;
        if (!connectSession(session, cancel, rc))
            return rc;
        tasks.SetSettings(session.Settings());
        TTaskRunner runner(tasks, ::isatty(STDOUT_FILENO) != 0, options.Json, lang);
        return runner.Run(ids, watch);
    }
    return usage(L("未知的任务命令：", "unknown task command: ") + sub);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zudivuvo-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZUDIVUVO_VERSION));
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    QStringList args = app.arguments().mid(1);
    TCliOptions options;
    bool missing = false;
    QString lang;
    // First, so that the help and every complaint below come in the asked language.
    if (takeValue(args, "--lang", lang, missing)) {
        options.Lang = StrToIntDef(lang, 0);
        if (options.Lang != 1 && options.Lang != 2)
            return usage(L("--lang 为 1（英文）或 2（中文）", "--lang is 1 (English) or 2 (Chinese)"));
    }
    g_lang = options.Lang == HSL_CN ? HSL_CN : HSL_ENG;
    if (args.isEmpty() || args.contains("--help") || args.contains("-h")) {
        std::fputs(L(kUsageCn, kUsageEn).toLocal8Bit().constData(), args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? kUsage : 0;
    }
    takeValue(args, "--server", options.Server, missing);
    takeValue(args, "--user", options.User, missing);
    takeValue(args, "--password-file", options.PasswordFile, missing);
    options.Json = takeFlag(args, "--json");
    if (missing)
        return usage(L("某个选项缺少值", "an option has no value"));
    if (args.isEmpty())
        return usage(L("缺少命令", "no command"));

    TCliSession session(options);
    if (!session.ServerOptionValid())
        return usage(L("--server 需要 HOST#PORT#TLS，例如 127.0.0.1#8088#0", "--server needs HOST#PORT#TLS, for example 127.0.0.1#8088#0"));
    const QString command = args.takeFirst();
    if (command == QLatin1String("login"))
        return args.isEmpty() ? cmdLogin(session) : usage(L("login 不带参数", "login takes no arguments"));
    if (command == QLatin1String("owners"))
        return cmdOwners(session, args, options.Json);
    if (command == QLatin1String("ls"))
        return cmdLs(session, args, options.Json);
    if (command == QLatin1String("get"))
        return cmdGet(session, args);
    if (command == QLatin1String("put"))
        return cmdPut(session, args);
    if (command == QLatin1String("task"))
        return cmdTask(options, args);
    return usage(L("未知命令：", "unknown command: ") + command);
}
