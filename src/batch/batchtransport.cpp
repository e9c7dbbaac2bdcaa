#include "batch/batchtransport.h"

#include "core/fileext.h"
#include "core/helpers.h"
#include "core/tagtext.h"

#include <QLocale>
#include <QTime>

#include <cmath>

namespace {

const QString kCrLf = QStringLiteral("\r\n");

QString line(const QString &tag, const QString &value)
{
    return u'[' + tag + u']' + value + QStringLiteral("[/") + tag + u']' + kCrLf;
}

QString boolText(bool v)
{
    return v ? QStringLiteral("-1") : QStringLiteral("0");
}

bool readBool(const QString &text, const QString &tag, bool def)
{
    const QString v = GetTagValue(text, tag);
    if (v.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (v.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const qint64 n = v.toLongLong(&ok);
    return ok ? n != 0 : def;
}

bool isLocalEnd(const TBatchTransport &t, bool dest)
{
    return dest ? t.TranStyle == TS_Download : t.TranStyle == TS_Upload;
}

// Folder names end with a separator; local ones with the native one, server ones with "\".
QString folderEnd(QString v, bool local)
{
    if (!v.isEmpty() && !v.endsWith(u'/') && !v.endsWith(u'\\'))
        v += local ? u'/' : u'\\';
    return v;
}

} // namespace

QString TaskTimeStamp(const QDateTime &now)
{
    return now.toString(QStringLiteral("yyMMddHHmmss")) + QString::number(now.time().second());
}

void NewBatchTransport(TBatchTransport &v, const QDateTime &now)
{
    const TDateTime n = QDateTimeToDateTime(now);
    v = TBatchTransport();
    v.Id = qint32(NameHash32(TaskTimeStamp(now)) & 0x7FFFFFFF);
    v.TranStyle = TS_Upload;
    v.FF = FF_Folder;
    v.IsIncludeSubFolder = true;
    v.KeepClientNewFile = true;
    v.FileStartDate = n;
    v.FileEndDate = n - 1;
    v.St = BTS_Init;
    v.TaskStartTime = n - std::floor(n);
    v.TaskCyc = -1.0;
    v.RunStartTime = n - v.TaskCyc / 24 + 10.0 / 86400;
    v.RunEndTime = n - 36500;
    v.IncludeRootPath = true;
}

QString FormatTaskTime(TDateTime t)
{
    const double frac = t - std::floor(t);
    int secs = int(std::lround(frac * 86400));
    if (secs >= 86400)
        secs = 86399;
    return QTime(0, 0).addSecs(secs).toString(QStringLiteral("hh:mm:ss"));
}

std::optional<TDateTime> ParseTaskTime(const QString &text)
{
    const QString t = text.trimmed();
    QTime time;
    for (const char *f : {"H:mm:ss", "H:mm", "h:mm:ss AP", "h:mm AP"}) {
        time = QTime::fromString(t, QLatin1String(f));
        if (time.isValid())
            break;
    }
    if (!time.isValid())
        time = QLocale().toTime(t, QLocale::LongFormat);
    if (!time.isValid())
        time = QLocale().toTime(t, QLocale::ShortFormat);
    if (!time.isValid())
        return std::nullopt;
    return time.msecsSinceStartOfDay() / 86400000.0;
}

QString FormatTaskCyc(double hours)
{
    return QString::asprintf("%2.2f", hours);
}

double ParseTaskCyc(const QString &text)
{
    QString t = text.trimmed();
    t.replace(u',', u'.');
    bool ok = false;
    double v = t.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return -1.0;
    if (v > 0 && v < kMinTaskCyc)
        v = kMinTaskCyc;
    return v;
}

QString BatchTransportToText(const TBatchTransport &v)
{
    QString types = QStringLiteral("[Count]") + QString::number(v.Types.size()) + QStringLiteral("[/Count]");
    for (int i = 0; i < v.Types.size(); ++i)
        types += line(QStringLiteral("Ty") + QString::number(i), QString::number(v.Types.at(i)));
    QString out;
    out.reserve(1024);
    out += line(QStringLiteral("Id"), QString::number(v.Id));
    out += line(QStringLiteral("St"), QString::number(v.St));
    out += line(QStringLiteral("TranStyle"), QString::number(int(v.TranStyle)));
    out += line(QStringLiteral("FF"), QString::number(v.FF));
    out += line(QStringLiteral("DestOwnerId"), QString::number(v.DestOwnerId));
    out += line(QStringLiteral("DestFolderId"), QString::number(v.DestFolderId));
    out += line(QStringLiteral("DFN"), v.DestFolderName);
    out += line(QStringLiteral("SourceOwnerId"), QString::number(v.SourceOwnerId));
    out += line(QStringLiteral("SourceFolderId"), QString::number(v.SourceFolderId));
    out += line(QStringLiteral("SFN"), v.SourceFolderName);
    out += line(QStringLiteral("MinSize"), QString::number(v.MinSize));
    out += line(QStringLiteral("MaxSize"), QString::number(v.MaxSize));
    out += line(QStringLiteral("FileStartDate"), FormatWireDateTime(v.FileStartDate));
    out += line(QStringLiteral("FileEndDate"), FormatWireDateTime(v.FileEndDate));
    out += line(QStringLiteral("TaskStartTime"), FormatTaskTime(v.TaskStartTime));
    out += line(QStringLiteral("TaskCyc"), FormatTaskCyc(v.TaskCyc));
    out += line(QStringLiteral("MaxSize"), QString::number(v.MaxSize));
    out += line(QStringLiteral("SubFolder"), boolText(v.IsIncludeSubFolder));
    out += line(QStringLiteral("RunStartTime"), FormatWireDateTime(v.RunStartTime));
    out += line(QStringLiteral("RunEndTime"), FormatWireDateTime(v.RunEndTime));
    out += line(QStringLiteral("Dc_Types"), types);
    out += line(QStringLiteral("FilePrtParams"), v.FilePrtParams);
    out += line(QStringLiteral("IncludeRootPath"), boolText(v.IncludeRootPath));
    out += line(QStringLiteral("KeepNewFileOfDownload"), boolText(v.KeepClientNewFile));
    out += line(QStringLiteral("SC"), QString::number(v.SC));
    out += line(QStringLiteral("ExtInfo"), v.ExtInfo);
    return out;
}

void TextToBatchTransport(const QString &text, TBatchTransport &v, TDateTime now)
{
    const TTagIndex tags(text);
    auto str = [&](const char *tag) { return tags.Value(QString::fromLatin1(tag)); };
    auto int32 = [&](const char *tag) { return StrToIntDef(str(tag), 0); };
    auto int64 = [&](const char *tag) { return StrToInt64Def(str(tag), 0); };
    auto date = [&](const char *tag, TDateTime def) { return ParseWireDateTimeDef(str(tag), def); };

    v = TBatchTransport();
    v.Id = int32("Id");
    const int style = int32("TranStyle");
    v.TranStyle = style >= 0 && style <= 3 ? TTranStyle(style) : TS_Default;
    v.FF = quint8(int32("FF"));
    v.DestOwnerId = int32("DestOwnerId");
    v.DestFolderId = int64("DestFolderId");
    v.SourceOwnerId = int32("SourceOwnerId");
    v.SourceFolderId = int64("SourceFolderId");
    v.DestFolderName = folderEnd(str("DFN"), isLocalEnd(v, true));
    // The source of a single-file task is a file, not a folder: no separator is added.
    const QString sfn = str("SFN");
    v.SourceFolderName = v.FF == FF_File ? sfn : folderEnd(sfn, isLocalEnd(v, false));
    v.IsIncludeSubFolder = readBool(text, QStringLiteral("SubFolder"), true);
    v.KeepClientNewFile = readBool(text, QStringLiteral("KeepNewFileOfDownload"), true);
    v.FilePrtParams = str("FilePrtParams");
    v.FileStartDate = date("FileStartDate", now);
    v.FileEndDate = date("FileEndDate", now);
    v.MinSize = int64("MinSize");
    v.MaxSize = int64("MaxSize");
    const QString stText = str("St");
    v.St = quint8(StrToIntDef(stText, BTS_Completed));
    v.TaskStartTime = ParseTaskTime(str("TaskStartTime")).value_or(now);
    v.TaskCyc = ParseTaskCyc(str("TaskCyc"));
    v.RunStartTime = date("RunStartTime", now - 36500);
    v.RunEndTime = date("RunEndTime", now - 36500);
    v.IncludeRootPath = readBool(text, QStringLiteral("IncludeRootPath"), false);
    v.SC = quint8(int32("SC"));
    v.ExtInfo = str("ExtInfo");

    const QString block = GetTagValue(text, QStringLiteral("Dc_Types"));
    // A count the block cannot hold ("[Ty0][/Ty0]" is 11 characters) is cut, so a
    // damaged file never makes a huge list.
    const int count = qBound(0, StrToIntDef(GetTagValue(block, QStringLiteral("Count")), 0),
                             int(qMin<qsizetype>(100000, block.size() / 11 + 1)));
    if (count > 0) {
        const TTagIndex ty(block, u"Ty");
        v.Types.reserve(count);
        for (int i = 0; i < count; ++i)
            v.Types << StrToIntDef(ty.Value(QString(QStringLiteral("Ty") + QString::number(i))), 0);
    }
}

void TaskStateText(int state, THS_Language lang, QString &text)
{
    const bool cn = lang == HSL_CN;
    switch (state) {
    case BTS_Unknown: text = cn ? QStringLiteral("未知") : QStringLiteral("Unknown"); break;
    case BTS_Init: text = cn ? QStringLiteral("任务初始化") : QStringLiteral("Task initialization"); break;
    case BTS_Running: text = cn ? QStringLiteral("正在处理数据") : QStringLiteral("Processing data"); break;
    case BTS_Paused: text = cn ? QStringLiteral("任务暂停") : QStringLiteral("Task paused"); break;
    case BTS_Completed: text = cn ? QStringLiteral("任务结束") : QStringLiteral("Task completed"); break;
    case BTS_Waiting: text = cn ? QStringLiteral("任务等待中") : QStringLiteral("Task waiting"); break;
    case BTS_Error: text = cn ? QStringLiteral("任务错误,无法继续") : QStringLiteral("Task error,unable to continue"); break;
    case BTS_Deleted: text = cn ? QStringLiteral("删除的任务") : QStringLiteral("Deleted task"); break;
    default: break;
    }
}

QString TaskStateText(int state, THS_Language lang)
{
    QString t;
    TaskStateText(state, lang, t);
    return t;
}

void TaskSummaryText(const TBatchTransport &v, THS_Language lang, QString &text)
{
    static const char16_t *const cn[] = {
        u"", u"-------------文件上传-------------", u"-------------文件下载-------------", u"源 文 件: ", u"目标文件: ",
        u"--------文件夹文件批量上传--------", u"--------文件夹文件批量下载--------", u"源文件夹: ", u"文件时间: ",
        u"文件时间: 无设置", u"文件大小: ", u"文件大小: 无设置", u"文件类型: ", u"运行时间: 无设置", u"运行时间: ",
        u"，每", u"分钟处理一次任务 ", u"完成时间："};
    static const char16_t *const en[] = {
        u"", u"------------- File upload -------------", u"------------- File download -------------", u"Source file:",
        u"Target file:", u"-------- Bulk upload of folder files--------", u"-------- Bulk download of folder files--------",
        u"Source folder:", u"File time:", u"File time:No", u"File size:", u"File size:No", u"File type:", u"Run time:No",
        u"Run time:", u", every ", u" minute(m) to operate task ", u"Finish time:"};
    auto label = [&](int i) {
        if (lang == HSL_CN)
            return QString::fromUtf16(cn[i]);
        if (lang == HSL_ENG)
            return QString::fromUtf16(en[i]);
        return QString();
    };
    const bool up = v.TranStyle == TS_Upload;
    QStringList lines;
    if (v.FF == FF_File)
        lines << label(up ? 1 : 2) << QString() << label(3) + v.SourceFolderName;
    else
        lines << label(up ? 5 : 6) << QString() << label(7) + v.SourceFolderName;
    lines << label(4) + v.DestFolderName;
    if (v.FileEndDate > v.FileStartDate)
        lines << label(8) + FormatWireDateTime(v.FileStartDate) + QStringLiteral(" - ") + FormatWireDateTime(v.FileEndDate);
    else
        lines << label(9);
    if (v.MinSize < v.MaxSize)
        lines << label(10) + QString::number(v.MinSize / 1024) + QStringLiteral("K - ") + QString::number(v.MaxSize / 1024)
                     + u'K';
    else
        lines << label(11);
    QStringList types;
    for (qint32 t : v.Types)
        types << QStringLiteral("*.") + ExtCodeText(quint32(t));
    lines << label(12) + types.join(QStringLiteral(", "));
    if (v.TaskCyc > 0) {
        lines << QString()
              << label(14) + FormatTaskTime(v.TaskStartTime) + label(15) + QString::number(std::lround(v.TaskCyc * 60))
                     + label(16)
              << label(17);
    } else {
        lines << label(13);
    }
    text = lines.join(kCrLf);
}

bool IsRunnableTask(const TBatchTransport &v)
{
    if (v.TranStyle == TS_Upload)
        return v.DestOwnerId > 0 && !v.SourceFolderName.isEmpty();
    if (v.TranStyle == TS_Download)
        return v.SourceOwnerId > 0 && !v.DestFolderName.isEmpty();
    return true;
}
