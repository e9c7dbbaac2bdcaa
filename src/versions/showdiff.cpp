#include "versions/showdiff.h"

#include "core/helpers.h"
#include "core/wiredate.h"

#include <QDir>
#include <QRegularExpression>
#include <QFileInfo>
#include <algorithm>

namespace {

bool boolField(const QString &s)
{
    return s.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0 || s == QLatin1String("1") || s == QLatin1String("-1");
}

int compareNames(const QString &a, const QString &b)
{
    // Ordinal after ASCII upper-casing, so "a.TXT" and "A.txt" are one row.
    const qsizetype n = qMin(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        char16_t x = a[i].unicode(), y = b[i].unicode();
        if (x >= u'a' && x <= u'z')
            x -= 32;
        if (y >= u'a' && y <= u'z')
            y -= 32;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int compareItems(const TFileItem &a, const TFileItem &b)
{
    if (a.IsFolder != b.IsFolder)
        return a.IsFolder ? -1 : 1;
    return compareNames(a.Name, b.Name);
}

}  // namespace

QList<TFileItem> ParseServerFolderList(const QString &reply)
{
    QList<TFileItem> out;
    if (reply.trimmed().isEmpty() || reply.trimmed() == QLatin1String("no power"))
        return out;
    QString text = reply;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    for (const QString &raw : text.split(u'\n')) {
        if (raw.trimmed().isEmpty())
            continue;
        QStringList f = raw.split(u'*');
        if (f.size() > 1 && f.last().trimmed().isEmpty())
            f.removeLast();
        for (QString &s : f)
            s = s.trimmed();
        while (f.size() < 5)
            f << QString();
        TFileItem item;
        item.Id = StrToInt64Def(f[0], 0);
        item.ModifyTime = TicksToDateTime(StrToInt64Def(f[1], 0));
        item.Name = f[2];
        item.CheckOutUser = f[3];
        item.IsFolder = boolField(f[4]);
        out << item;
    }
    return out;
}

bool IsWorkingFileName(const QString &name)
{
    // Downloads in progress and their backups, office lock files, vim swap files and emacs locks.
    static const QRegularExpression working(QStringLiteral(
        "(\\.tmp$|\\.bak$|^\\.~lock\\..*#$|^~\\$|^\\..*\\.sw[a-p]$|^\\.#)"), QRegularExpression::CaseInsensitiveOption);
    return working.match(name).hasMatch();
}

QList<TFileItem> ListLocalFolder(const QString &folder)
{
    QList<TFileItem> out;
    const QDir dir(folder);
    if (folder.isEmpty() || !dir.exists())
        return out;
    for (const QFileInfo &fi : dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        // The client's and the editors' own temporary files are no work to compare.
        if (fi.isFile() && IsWorkingFileName(fi.fileName()))
            continue;
        TFileItem item;
        item.Name = fi.fileName();
        item.ModifyTime = QDateTimeToDateTime(fi.lastModified());
        item.IsFolder = fi.isDir();
        out << item;
    }
    return out;
}

void SortFileItems(QList<TFileItem> &items)
{
    std::stable_sort(items.begin(), items.end(), [](const TFileItem &a, const TFileItem &b) { return compareItems(a, b) < 0; });
}

int CompareTimes(TDateTime serverTime, TDateTime localTime)
{
    const double diff = (serverTime - localTime) * 86400.0;
    if (diff > kDiffToleranceSeconds)
        return DS_ServerNewer;
    if (diff < -kDiffToleranceSeconds)
        return DS_LocalNewer;
    return DS_Same;
}

QList<TDiffRow> MergeFileItems(const QList<TFileItem> &server, const QList<TFileItem> &local, int *lastFolderIndex)
{
    QList<TDiffRow> rows;
    qsizetype s = 0, l = 0;
    while (s < server.size() || l < local.size()) {
        TDiffRow row;
        const int c = s >= server.size() ? 1 : l >= local.size() ? -1 : compareItems(server[s], local[l]);
        if (c < 0) {
            row.Server = server[s++];
            row.State = DS_ServerOnly;
        } else if (c > 0) {
            row.Local = local[l++];
            row.State = DS_LocalOnly;
        } else {
            row.Server = server[s++];
            row.Local = local[l++];
            row.State = CompareTimes(row.Server->ModifyTime, row.Local->ModifyTime);
        }
        rows << row;
    }
    if (lastFolderIndex) {
        *lastFolderIndex = -1;
        for (int i = 0; i < rows.size(); ++i)
            if (rows[i].HasFolder())
                *lastFolderIndex = i;
    }
    return rows;
}

QList<TDiffRow> DifferencesOnly(const QList<TDiffRow> &rows)
{
    QList<TDiffRow> out;
    for (const TDiffRow &r : rows)
        if (r.State != DS_Same)
            out << r;
    return out;
}
