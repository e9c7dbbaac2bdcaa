#include "versions/newestversions.h"

#include "core/helpers.h"
#include "core/safepath.h"
#include "net/robottcpclient.h"
#include "versions/versiontexts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QList<TFileInFo> ParseNewVerReply(const QString &reply)
{
    QList<TFileInFo> out;
    QString text = reply;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    for (const QString &raw : text.split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        TFileInFo e;
        QStringList parts;
        qsizetype from = 0;
        for (int i = 0; i < 4; ++i) {
            const qsizetype star = line.indexOf(u'*', from);
            if (star < 0) {
                parts << line.mid(from);
                from = line.size() + 1;
                break;
            }
            parts << line.mid(from, star - from);
            from = star + 1;
        }
        while (parts.size() < 4)
            parts << QString();
        e.Key = StrToInt64Def(parts[0].trimmed(), 0);
        e.FolderId = StrToInt64Def(parts[1].trimmed(), 0);
        e.Date = TicksToDateTime(StrToInt64Def(parts[2].trimmed(), 0));
        e.Name = parts[3].trimmed();
        if (from <= line.size())
            e.Path = line.mid(from, 1024).replace(u'/', u'\\');
        out << e;
    }
    return out;
}

TNewestVersions::TNewestVersions(const TServerConn &conn, TNewestHooks hooks)
    : m_conn(conn)
    , m_hooks(std::move(hooks))
{
}

void TNewestVersions::report(const QString &file, const QString &text) const
{
    if (m_hooks.report)
        m_hooks.report(file, text);
}

void TNewestVersions::SetTarget(const QString &folder, int pathStep)
{
    FPath = folder;
    FPathStep = qMax(0, pathStep);
    FTmpFolderId = 0;
    FTmpPath.clear();
}

QString TNewestVersions::LocalFolderOf(const TFileInFo &entry)
{
    if (entry.FolderId != 0 && entry.FolderId == FTmpFolderId)
        return FTmpPath;
    QString rest;
    if (FPathStep == 0) {
        rest = entry.Path;
    } else {
        int count = 0;
        qsizetype i = 0;
        for (; i < entry.Path.size(); ++i) {
            if (entry.Path[i] == u'\\' && ++count == FPathStep)
                break;
        }
        // Fewer levels than the target stands for: no place for this file.
        if (count < FPathStep)
            return {};
        rest = entry.Path.mid(i + 1);
    }
    QString folder = FPath;
    if (!rest.isEmpty() && rest != QLatin1String("\\")) {
        const auto joined = SafeJoin(FPath, rest);
        if (!joined)
            return {};
        folder = *joined;
    }
    if (!folder.endsWith(u'/') && !folder.endsWith(u'\\'))
        folder += u'/';
    FTmpFolderId = entry.FolderId;
    FTmpPath = folder;
    return folder;
}

void TNewestVersions::Process(TFileInFo entry, TRobotTcpClient &client)
{
    const THS_Language lang = m_conn.Language;
    const QString folder = LocalFolderOf(entry);
    if (folder.isEmpty() || !IsSafeFileName(entry.Name)) {
        report(entry.Path + entry.Name, VcText(lang, "服务器路径无法对应到本地目录，已跳过", "The server path has no place in the local folder; skipped"));
        return;
    }
    const QString local = folder + entry.Name;
    const QFileInfo fi(local);
    if (fi.isFile()) {
        const double diff = (QDateTimeToDateTime(fi.lastModified()) - entry.Date) * 86400.0;
        if (qAbs(diff) < kSameSeconds)
            return;
        if (diff > kSameSeconds && !FIsReplaceAll) {
            const TReplaceAnswer a = m_hooks.askReplace ? m_hooks.askReplace(local) : TReplaceAnswer::Cancel;
            if (a == TReplaceAnswer::Cancel)
                return;
            if (a == TReplaceAnswer::All)
                FIsReplaceAll = true;
        }
    }
    if (client.ReplaceWithServerCopy(local, entry.Key) != fc::Download) {
        report(local, client.GetLastError());
        return;
    }
    QString text = VcText(lang, "获取成功", "Successfully obtained");
    if (!client.LastNotice().isEmpty())
        text += u' ' + client.LastNotice();
    report(local, text);
}

bool TNewestVersions::Run(qint64 ownerId, qint64 folderId, bool includeSubFolders)
{
    FIsReplaceAll = false;
    auto client = m_conn.MakeClient(120000);
    client->FIsPostMessage = false;
    const QString reply = client->GetNewVer(ownerId, folderId, includeSubFolders, QString());
    if (reply.isEmpty() && !client->GetLastError().isEmpty()) {
        report(QString(), client->GetLastError());
        return false;
    }
    for (const TFileInFo &e : ParseNewVerReply(reply))
        Process(e, *client);
    return true;
}
