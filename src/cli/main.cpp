// zudivuvo-cli: the batch engine and a few file commands without any window.
// It shares the desktop client's configuration folder, btr.sys and index files.
#include "batch/batchtranconfig.h"
#include "batch/bathfiledeal.h"
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

#include <csignal>
#include <cstdio>
#include <exception>
#include <unistd.h>

namespace {

constexpr int kUsage = 2;

const char kUsageText[] =
    "Usage: zudivuvo-cli [--server HOST#PORT#TLS] [--user NAME] [--password-file FILE] [--lang 1|2] [--json] COMMAND\n"
    "The password comes from --password-file or ZUDIVUVO_PASSWORD; without --user the desktop client's saved login is used.\n"
    "Commands:\n"
    "  login                          check the login and store it for later commands\n"
    "  ls OWNER[:FOLDERID]            list a folder\n"
    "  get FILEKEY LOCALPATH          download a file\n"
    "  put LOCALFILE OWNER:FOLDERID   upload a file\n"
    "  task list | show ID | status ID | log ID\n"
    "  task add --upload|--download --source X --dest Y --owner ID [--folder-id ID] [--file]\n"
    "           [--no-subfolders] [--from DATE --to DATE] [--min-size N --max-size N] [--types doc,xls]\n"
    "           [--period MINUTES] [--start HH:MM:SS] [--no-include-root] [--no-keep-newer]\n"
    "  task run ID | --all [--watch]  run now (--watch keeps periodic tasks on their time rule)\n"
    "  task pause|resume|delete ID\n";

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
    std::fputs(kUsageText, stderr);
    return kUsage;
}

void onSignal(int)
{
    g_interrupted = 1;
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
    if (!session.Connect())
        return fail(session.Error());
    QString err;
    if (!session.StoreLogin(&err))
        return fail(QStringLiteral("Logged in, but the login could not be stored: %1").arg(err));
    out(QStringLiteral("Logged in to %1:%2 as %3 (owner id %4)")
            .arg(session.Conn().Host).arg(session.Conn().Port).arg(session.UserName()).arg(session.OwnerId()));
    return 0;
}

int cmdLs(TCliSession &session, const QStringList &args, bool json)
{
    if (args.size() != 1)
        return usage(QStringLiteral("ls needs OWNER[:FOLDERID]"));
    const QStringList parts = args.first().split(u':');
    const qint32 owner = StrToIntDef(parts.value(0), 0);
    const qint64 folder = parts.size() > 1 ? StrToInt64Def(parts.at(1), -1) : 0;
    if (owner <= 0 || folder < 0 || parts.size() > 2)
        return usage(QStringLiteral("ls needs OWNER[:FOLDERID] as numbers"));
    if (!session.Connect())
        return fail(session.Error());
    QString reply;
    try {
        auto c = session.Conn().MakeClient();
        c->ApiPostText(rq::FolderFileList,
                       QStringLiteral("[EncryptCode]%1[/EncryptCode][OwnerId]%2[/OwnerId][FolderId]%3[/FolderID][IsIncludeSize]True[/IsIncludeSize]")
                           .arg(session.Conn().EncryptId).arg(owner).arg(folder),
                       reply);
    } catch (const std::exception &e) {
        return fail(QString::fromUtf8(e.what()));
    }
    if (reply.trimmed() == QLatin1String("no power"))
        return fail(QStringLiteral("No access to owner %1 folder %2").arg(owner).arg(folder));
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

int cmdGet(TCliSession &session, const QStringList &args)
{
    if (args.size() != 2 || StrToInt64Def(args.at(0), 0) <= 0)
        return usage(QStringLiteral("get needs FILEKEY LOCALPATH"));
    if (!session.Connect())
        return fail(session.Error());
    auto c = session.Conn().MakeClient(120000);
    const QString target = QFileInfo(args.at(1)).absoluteFilePath();
    const quint8 st = c->DownloadFile(target, QStringLiteral("[IsReplace]True[/IsReplace]"), StrToInt64Def(args.at(0), 0));
    if (st != fc::Download)
        return fail(QStringLiteral("Download of %1 failed: %2").arg(args.at(0), c->GetLastError().trimmed()));
    out(QStringLiteral("%1 -> %2").arg(args.at(0), target));
    return 0;
}

int cmdPut(TCliSession &session, const QStringList &args)
{
    const QStringList dest = args.value(1).split(u':');
    if (args.size() != 2 || dest.size() != 2 || StrToIntDef(dest.at(0), 0) <= 0 || StrToInt64Def(dest.at(1), -1) < 0)
        return usage(QStringLiteral("put needs LOCALFILE OWNER:FOLDERID"));
    TTidyFile t;
    t.Path = QFileInfo(args.at(0)).absoluteFilePath();
    if (!LocalFileStat(t.Path, t.Size, t.ModifyDT))
        return fail(QStringLiteral("Cannot read %1").arg(t.Path));
    t.NameHash = qint32(NameHash32(t.Path));
    t.Kind = FileExtCode(QFileInfo(t.Path).suffix());
    if (!session.Connect())
        return fail(session.Error());
    auto c = session.Conn().MakeClient(120000);
    qint64 key = 0;
    const quint8 st = c->UploadFile(StrToIntDef(dest.at(0), 0), QString(), key, t, StrToInt64Def(dest.at(1), 0));
    if (st != fc::Stored && st != 16)
        return fail(QStringLiteral("Upload of %1 failed: %2").arg(t.Path, c->GetLastError().trimmed()));
    out(QStringLiteral("%1 -> %2 (file key %3)").arg(t.Path, args.at(1)).arg(key));
    return 0;
}

int cmdTaskAdd(TBatchTranConfig &config, QStringList args)
{
    TBatchTransport t;
    NewBatchTransport(t);
    bool missing = false;
    QString source, dest, owner, folderId, from, to, minSize, maxSize, types, period, start;
    const bool up = takeFlag(args, "--upload");
    const bool down = takeFlag(args, "--download");
    if (up == down)
        return usage(QStringLiteral("task add needs --upload or --download"));
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
        return usage(missing ? QStringLiteral("an option of task add has no value") : QStringLiteral("unknown: ") + args.join(u' '));
    if (source.isEmpty() || dest.isEmpty() || StrToIntDef(owner, 0) <= 0)
        return usage(QStringLiteral("task add needs --source, --dest and --owner"));
    const qint64 fid = folderId.isEmpty() ? 0 : StrToInt64Def(folderId, -1);
    if (fid < 0)
        return usage(QStringLiteral("--folder-id must be a number"));
    if (up) {
        const QFileInfo fi(source);
        if (t.FF == FF_File ? !fi.isFile() : !fi.isDir())
            return fail(QStringLiteral("%1 is not a %2").arg(source, t.FF == FF_File ? "file" : "folder"));
        t.SourceFolderName = t.FF == FF_File ? fi.absoluteFilePath() : IncludeTrailingSlash(fi.absoluteFilePath());
        t.DestFolderName = dest.endsWith(u'\\') ? dest : dest + u'\\';
        t.DestOwnerId = StrToIntDef(owner, 0);
        t.DestFolderId = fid;
    } else {
        t.SourceFolderName = t.FF == FF_File || source.endsWith(u'\\') || source.endsWith(u'/') ? source : source + u'\\';
        t.DestFolderName = IncludeTrailingSlash(QFileInfo(dest).absoluteFilePath());
        t.SourceOwnerId = StrToIntDef(owner, 0);
        t.SourceFolderId = fid;
    }
    if (!from.isEmpty() || !to.isEmpty()) {
        const auto f = parseDate(from);
        const auto e = parseDate(to);
        if (!f || !e || *e <= *f)
            return usage(QStringLiteral("--from and --to need two dates (YYYY-MM-DD [HH:MM:SS]), the second later"));
        t.FileStartDate = *f;
        t.FileEndDate = *e;
    }
    if (!minSize.isEmpty() || !maxSize.isEmpty()) {
        t.MinSize = StrToInt64Def(minSize, -1);
        t.MaxSize = StrToInt64Def(maxSize, -1);
        if (t.MinSize < 0 || t.MaxSize <= t.MinSize)
            return usage(QStringLiteral("--min-size and --max-size need two byte counts, the second larger"));
    }
    for (const QString &ty : types.split(u',', Qt::SkipEmptyParts)) {
        const QString ext = ty.trimmed().remove(QStringLiteral("*.")).remove(u'.');
        t.Types << (ext == QLatin1String("*") ? 42 : qint32(FileExtCode(ext)));
    }
    if (!period.isEmpty()) {
        bool ok = false;
        const double minutes = period.toDouble(&ok);
        // Shorter periods round to zero minutes, which the time rule cannot work with.
        if (!ok || minutes < 1)
            return usage(QStringLiteral("--period is a number of minutes, at least 1"));
        t.TaskCyc = minutes / 60.0;
        t.RunStartTime = NowDateTime() - t.TaskCyc / 24 + 10.0 / 86400;
    }
    if (!start.isEmpty()) {
        const auto s = ParseTaskTime(start);
        if (!s)
            return usage(QStringLiteral("--start is a time of day, HH:MM:SS"));
        t.TaskStartTime = *s;
    }
    config.AddTask(t);
    QString err;
    if (!config.Save(&err))
        return fail(QStringLiteral("Cannot save the task: %1").arg(err));
    out(QString::number(t.Id));
    return 0;
}

int cmdTask(const TCliOptions &options, QStringList args)
{
    if (args.isEmpty())
        return usage(QStringLiteral("task needs a sub-command"));
    const QString sub = args.takeFirst();
    TBatchTranConfig config;
    if (!config.LoadError().isEmpty())
        fail(config.LoadError(), 0);
    TCliSession session(options);
    const THS_Language lang = session.Language();
    const QString indexFolder = BatchIndexFolder();

    if (sub == QLatin1String("add"))
        return cmdTaskAdd(config, args);
    if (sub == QLatin1String("list")) {
        if (!args.isEmpty())
            return usage(QStringLiteral("task list takes no arguments"));
        QJsonArray rows;
        for (const TBatchTransport &t : config.GetAllTask()) {
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
            return usage(QStringLiteral("task %1 needs a task id").arg(sub));
        if (!config.GetTask(id, task))
            return fail(QStringLiteral("No task %1 in %2").arg(id).arg(QDir::toNativeSeparators(config.ConfigFileName())));
    } else if (!args.isEmpty()) {
        return usage(QStringLiteral("task run --all takes no task id"));
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
        const QString holder = TaskLockHolder(indexFolder, id);
        TFileIndex index;
        index.TaskId = id;
        int files = 0, done = 0;
        // A running task's index is being appended to: loading it here could cut its last line.
        if (holder.isEmpty() && QFile::exists(indexFolder + QString::number(id) + ".fln")) {
            index.IndexFolder = indexFolder;
            index.Init();
            if (index.Load()) {
                files = index.GetAllCount(0);
                done = files - index.GetUndealFileCount(0);
            }
        }
        const QStringList log = ReadTextFile(indexFolder + QString::number(id) + ".log").split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        if (options.Json) {
            QJsonObject o = taskJson(task, lang);
            o["done"] = task.St == BTS_Completed;
            o["runningIn"] = holder.isEmpty() ? QJsonValue() : QJsonValue(holder);
            o["indexedFiles"] = files;
            o["transferredFiles"] = done;
            o["lastLog"] = log.isEmpty() ? QString() : log.last();
            printJson(o);
        } else {
            out(QStringLiteral("Task %1: %2 (%3)").arg(id).arg(TaskStateText(task.St, lang), stateName(task.St)));
            out(QStringLiteral("Last run: %1 - %2").arg(FormatWireDateTime(task.RunStartTime), FormatWireDateTime(task.RunEndTime)));
            if (files > 0)
                out(QStringLiteral("Index: %1 of %2 files transferred").arg(done).arg(files));
            if (!holder.isEmpty())
                out(QStringLiteral("Running in %1").arg(holder));
            if (!log.isEmpty())
                out(QStringLiteral("Last log line: %1").arg(log.last()));
        }
        return 0;
    }
    if (sub == QLatin1String("log")) {
        const QString text = ReadTextFile(indexFolder + QString::number(id) + ".log");
        if (text.isEmpty())
            return fail(QStringLiteral("Task %1 has no log yet").arg(id));
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (sub == QLatin1String("pause") || sub == QLatin1String("resume") || sub == QLatin1String("delete")) {
        const QString holder = TaskLockHolder(indexFolder, id);
        if (!holder.isEmpty())
            return fail(QStringLiteral("Task %1 is running in %2; stop it there first").arg(id).arg(holder));
        if (sub == QLatin1String("delete")) {
            config.DelTask(id);
        } else {
            task.St = sub == QLatin1String("pause") ? BTS_Paused : (task.TaskCyc > 0 ? BTS_Waiting : BTS_Init);
            config.SetTask(task);
        }
        QString err;
        if (!config.Save(&err))
            return fail(QStringLiteral("Cannot save %1: %2").arg(config.ConfigFileName(), err));
        out(QStringLiteral("Task %1: %2").arg(id).arg(sub == QLatin1String("delete") ? QStringLiteral("deleted") : stateName(task.St)));
        return 0;
    }
    if (sub == QLatin1String("run")) {
        QList<TBatchTransport> tasks;
        if (all) {
            for (const TBatchTransport &t : config.GetAllTask())
                if (t.St != BTS_Paused && t.St != BTS_Deleted && (t.TranStyle == TS_Upload || t.TranStyle == TS_Download))
                    tasks << t;
            if (tasks.isEmpty()) {
                out(QStringLiteral("No runnable task"));
                return 0;
            }
        } else {
            if (!IsRunnableTask(task) || (task.TranStyle != TS_Upload && task.TranStyle != TS_Download))
                return fail(QStringLiteral("Task %1 cannot run: it names no source or target").arg(id));
            tasks << task;
        }
        if (!session.ServerOptionValid())
            return usage(QStringLiteral("--server needs HOST#PORT#TLS"));
        if (!session.Connect())
            return fail(session.Error());
        TTaskRunner runner(config, session.Settings(), watch, ::isatty(STDOUT_FILENO) != 0);
        return runner.Run(tasks);
    }
    return usage(QStringLiteral("unknown task command: ") + sub);
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
    if (args.isEmpty() || args.contains("--help") || args.contains("-h")) {
        std::fputs(kUsageText, args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? kUsage : 0;
    }
    TCliOptions options;
    bool missing = false;
    QString lang;
    takeValue(args, "--server", options.Server, missing);
    takeValue(args, "--user", options.User, missing);
    takeValue(args, "--password-file", options.PasswordFile, missing);
    if (takeValue(args, "--lang", lang, missing)) {
        options.Lang = StrToIntDef(lang, 0);
        if (options.Lang != 1 && options.Lang != 2)
            return usage(QStringLiteral("--lang is 1 (English) or 2 (Chinese)"));
    }
    options.Json = takeFlag(args, "--json");
    if (missing)
        return usage(QStringLiteral("an option has no value"));
    if (args.isEmpty())
        return usage(QStringLiteral("no command"));

    TCliSession session(options);
    if (!session.ServerOptionValid())
        return usage(QStringLiteral("--server needs HOST#PORT#TLS, for example 127.0.0.1#8088#0"));
    const QString command = args.takeFirst();
    if (command == QLatin1String("login"))
        return args.isEmpty() ? cmdLogin(session) : usage(QStringLiteral("login takes no arguments"));
    if (command == QLatin1String("ls"))
        return cmdLs(session, args, options.Json);
    if (command == QLatin1String("get"))
        return cmdGet(session, args);
    if (command == QLatin1String("put"))
        return cmdPut(session, args);
    if (command == QLatin1String("task"))
        return cmdTask(options, args);
    return usage(QStringLiteral("unknown command: ") + command);
}
