#pragma once
// Newest versions of a server folder (and its sub-folders) into a local folder,
// without a window: the list of request 63, the mapping of each file's server
// folder onto the local folder, skip / ask / download per file.
#include "core/wiredate.h"
#include "model/serverconn.h"

#include <QList>
#include <QString>
#include <functional>

struct TFileInFo {
    qint64 Key = 0;
    qint64 FolderId = 0;
    QString Name;
    QString Path;   // server folder path, "\" separated
    TDateTime Date = 0;
};

// One entry per non-empty line "key*folder id*ticks*name*path"; the path is
// everything after the fourth "*" (at most 1024 characters).
QList<TFileInFo> ParseNewVerReply(const QString &reply);

enum class TReplaceAnswer { Ok, All, Cancel };

struct TNewestHooks {
    std::function<void(const QString &file, const QString &text)> report;
    // The local copy is newer than the server's: replace it?
    std::function<TReplaceAnswer(const QString &localFile)> askReplace;
};

class TNewestVersions
{
public:
    TNewestVersions(const TServerConn &conn, TNewestHooks hooks);

    // folder ends in a separator; pathStep is how many leading server path levels it stands for.
    void SetTarget(const QString &folder, int pathStep);
    // The local folder of an entry's server path; empty when the path has fewer
    // levels than the target stands for, or would leave the target.
    QString LocalFolderOf(const TFileInFo &entry);
    // Fetches the list and brings every file up to date; false when the list could not be had.
    bool Run(qint64 ownerId, qint64 folderId, bool includeSubFolders);
    // One entry (also for tests).
    void Process(TFileInFo entry, class TRobotTcpClient &client);

    // Closer than this to the server's time counts as the same file.
    static constexpr double kSameSeconds = 0.9;

private:
    void report(const QString &file, const QString &text) const;

    TServerConn m_conn;
    TNewestHooks m_hooks;
    QString FPath;
    int FPathStep = 0;
    qint64 FTmpFolderId = 0;
    QString FTmpPath;
    bool FIsReplaceAll = false;
};
