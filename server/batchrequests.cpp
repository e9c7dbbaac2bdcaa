#include "batchrequests.h"

#include "access.h"

#include "core/helpers.h"
#include "core/resultcodes.h"
#include "core/tagtext.h"
#include "core/wiredate.h"

#include <QSet>
#include <functional>

namespace {

struct Filters {
    bool sub = false;
    qint64 minSize = 0;
    qint64 maxSize = 0;
    std::optional<double> start;
    std::optional<double> end;
    QSet<quint32> types;

    bool accepts(const FileInfo &f, const VersionInfo &v) const
    {
        if (minSize < maxSize && (v.size < minSize || v.size > maxSize))
            return false;
        const double dt = TicksToDateTime(v.ticks);
        if (start && end && *end > *start && (dt < *start || dt > *end))
            return false;
        return types.isEmpty() || types.contains(42) || types.contains(f.kind);
    }
};

Filters filtersOf(const QString &text)
{
    Filters f;
    f.sub = StrToIntDef(GetTagValue(text, QStringLiteral("SubFolder")), 0) != 0
            || GetTagValue(text, QStringLiteral("SubFolder")).compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
    f.minSize = StrToInt64Def(GetTagValue(text, QStringLiteral("MinSize")), 0);
    f.maxSize = StrToInt64Def(GetTagValue(text, QStringLiteral("MaxSize")), 0);
    f.start = ParseWireDateTime(GetTagValue(text, QStringLiteral("FileStartDate")));
    f.end = ParseWireDateTime(GetTagValue(text, QStringLiteral("FileEndDate")));
    const QString block = GetTagValue(text, QStringLiteral("Dc_Types"));
    // Each entry takes at least "[Ty0][/Ty0]": a count the block cannot hold is cut.
    const int count = qBound(0, StrToIntDef(GetTagValue(block, QStringLiteral("Count")), 0),
                             int(qMin<qsizetype>(1000, block.size() / 11)));
    if (count > 0) {
        const TTagIndex entries(block, u"Ty");
        for (int i = 0; i < count; ++i)
            f.types.insert(quint32(StrToInt64Def(entries.Value(QString(QStringLiteral("Ty") + QString::number(i))), 0)));
    }
    return f;
}

// Paths begin with the folder's path name as the task names it ("SFN"), so the
// client finds its own base in every line; without one, with the folder's name.
QString pathPrefix(const QString &text, const QString &folderName)
{
    QString sfn = GetTagValue(text, QStringLiteral("SFN"));
    sfn.replace(u'\\', u'/');
    while (sfn.startsWith(u'/'))
        sfn.remove(0, 1);
    if (sfn.isEmpty() || sfn.size() > 1024 || sfn.contains(QLatin1String("..")))
        return folderName + u'/';
    return sfn.endsWith(u'/') ? sfn : sfn + u'/';
}

QList<FileInfo> deletedFilesIn(Store &store, qint64 folderId)
{
    QList<FileInfo> out;
    QSqlQuery q = store.db().exec(QStringLiteral("SELECT key, name, kind, sc FROM files WHERE folder_id=? AND deleted=1 ORDER BY name"),
                                  {folderId});
    while (q.next()) {
        FileInfo f;
        f.key = q.value(0).toLongLong();
        f.folderId = folderId;
        f.name = q.value(1).toString();
        f.kind = q.value(2).toUInt();
        f.sc = q.value(3).toInt();
        f.deleted = true;
        out << f;
    }
    return out;
}

} // namespace

Reply batchDownloadList(Store &store, const SessionInfo &s, int authResult, const QString &text)
{
    const QString empty = QStringLiteral("[F][/F][Summary][/Summary][FolderInfo][/FolderInfo][ErrorTxt]%1[/ErrorTxt]");
    if (authResult != 0) {
        const QString t = ResultCodeText(authResult, s.lang == 1 ? HSL_ENG : HSL_CN);
        return Reply{80, empty.arg(t.isEmpty() ? QString::number(authResult) : t), 0};
    }
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("SourceOwnerId")), 0);
    const qint64 source = StrToInt64Def(GetTagValue(text, QStringLiteral("SourceFolderId")), 0);
    const bool single = GetTagValue(text, QStringLiteral("FF")) == QLatin1String("1");
    const Filters filters = filtersOf(text);
    if (!store.canAccess(s.user, owner))
        return Reply{80, empty.arg(serverText(s.lang, "No privilege", "没有权限")), 0};

    QStringList fileLines;
    QStringList folderLines;
    qint64 total = 0;
    auto addFile = [&](const FileInfo &f, const QString &path) {
        const auto v = store.version(f.key);
        if (!v || f.sc > s.user.clearance || !filters.accepts(f, *v))
            return;
        if (!f.deleted)
            total += v->size;
        fileLines << QStringLiteral("[K]%1[/K][Fd]%2[/Fd][Dt]%3[/Dt][Sz]%4[/Sz][P]%5[/P][D]%6[/D]")
                         .arg(f.key).arg(f.folderId).arg(FormatWireDateTime(TicksToDateTime(v->ticks))).arg(v->size)
                         .arg(path + f.name, f.deleted ? QStringLiteral("True") : QStringLiteral("False"));
    };
    if (single) {
        FileInfo f;
        if (Access::fileRefusal(store, s, source, &f) == 0)
            addFile(f, QString());
    } else {
        std::function<void(qint64, const QString &, int)> walk = [&](qint64 id, const QString &path, int depth) {
            if (id != 0) {
                folderLines << path;
                for (const FileInfo &f : store.filesIn(id))
                    addFile(f, path);
                for (const FileInfo &f : deletedFilesIn(store, id))
                    addFile(f, path);
            }
            if ((filters.sub || id == 0) && depth < kMaxFolderDepth) {
                for (const FolderInfo &c : store.subFolders(owner, id))
                    walk(c.id, path + c.name + u'/', depth + 1);
            }
        };
        if (source != 0) {
            const auto f = store.folder(source);
            if (!f || f->ownerId != owner)
                return Reply{80, empty.arg(serverText(s.lang, "The folder doesn't exist.", "文件夹不存在。")), 0};
            walk(source, pathPrefix(text, f->name), 0);
        } else {
            walk(0, QString(), 0);
        }
    }
    return Reply{80, QStringLiteral("[F]%1[/F][Summary][Count]%2[/Count][Size]%3[/Size][/Summary][FolderInfo]%4[/FolderInfo][ErrorTxt][/ErrorTxt]")
                         .arg(fileLines.join(QStringLiteral("\r\n"))).arg(fileLines.size()).arg(total)
                         .arg(folderLines.join(QStringLiteral("\r\n"))), 0};
}
