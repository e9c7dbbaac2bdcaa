#pragma once
// The comparison of a server folder with its local folder, without a window:
// both lists, sorted, merged into aligned rows with a state per row.
#include "core/wiredate.h"

#include <QList>
#include <QString>
#include <optional>

struct TFileItem {
    qint64 Id = 0;          // server key; 0 for local entries
    QString Name;
    QString CheckOutUser;
    TDateTime ModifyTime = 0;
    bool IsFolder = false;
};

// Row states, also the colours of the rows.
enum TDiffState { DS_Same = 0, DS_ServerOnly = 1, DS_LocalOnly = 2, DS_ServerNewer = 3, DS_LocalNewer = 4 };

struct TDiffRow {
    std::optional<TFileItem> Server;   // empty: placeholder on that side
    std::optional<TFileItem> Local;
    int State = DS_Same;
    bool HasFolder() const { return (Server && Server->IsFolder) || (Local && Local->IsFolder); }
};

// Request 40's reply: "no power" or empty gives nothing; else one entry per line
// "id*ticks*name*check-out user*folder flag", missing trailing fields empty.
QList<TFileItem> ParseServerFolderList(const QString &reply);
// Every entry of the local folder except "." and ".."; nothing when it does not exist.
// Temporary files of the client and of editors: not shown in the comparison.
bool IsWorkingFileName(const QString &name);
QList<TFileItem> ListLocalFolder(const QString &folder);
// Folders first, then by name ignoring ASCII case.
void SortFileItems(QList<TFileItem> &items);
// More than two seconds apart counts as newer.
int CompareTimes(TDateTime serverTime, TDateTime localTime);
// Both lists sorted; *lastFolderIndex is the last row holding a folder (-1 if none).
QList<TDiffRow> MergeFileItems(const QList<TFileItem> &server, const QList<TFileItem> &local, int *lastFolderIndex = nullptr);
// "Show difference only": rows whose sides are the same go.
QList<TDiffRow> DifferencesOnly(const QList<TDiffRow> &rows);

constexpr double kDiffToleranceSeconds = 2.0;
