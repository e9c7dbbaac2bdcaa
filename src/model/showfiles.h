#pragma once
// The file manager's rows for one server folder (request 40, "*"-lines), the
// picker rows of a folder's files (request 65, XML), and the icon classes of both.
#include "core/wiredate.h"
#include "model/serverconn.h"

#include <QList>
#include <QString>
#include <vector>

constexpr int kFolderIcon = 63;
constexpr qsizetype kMaxListRows = 1'000'000;

// Fields ordered to pack: a list holds one row per file of a folder.
struct TFileRow {
    QString Caption;
    QString CheckOutUser;  // sub-item 1
    QString SizeText;      // sub-item 2: bytes div 1024 + 1; empty for folders
    QString DateText;      // sub-item 3: "YYYY-MM-DD HH:MM:SS"; empty for folders
    qint64 Key = 0;        // sub-item 4: folder id or file key
    int Icon = 0;
    bool IsFolder = false; // sub-item 5: "1" / "0"
    qint64 SizeKB() const { return SizeText.toLongLong(); }
};

// Icon class of the file manager's list, by the first four characters of the extension.
int FileIconClass(const QString &fileName);
// Icon class of the picker lists, by file-type code.
int FileViewIconClass(quint32 kind);
QString SizeKBText(qint64 bytes);

// Folder rows come first, the last folder of the reply on top; file rows follow in
// reply order. A line with fewer than two fields ends the list ("no power" lists
// nothing). At most kMaxListRows rows are taken.
std::vector<TFileRow> ParseFolderListLines(const QString &reply);

class TShowFiles
{
public:
    explicit TShowFiles(const TServerConn &conn) : m_conn(conn) {}
    void Init(qint64 groupId, qint64 folderId) { FGroupId = groupId; FFolderId = folderId; }
    // Blocking; never raises. False with *error on a transport error.
    bool GetFileList(std::vector<TFileRow> &rows, QString *error = nullptr);
    static QString RequestText(const QString &encryptId, qint64 groupId, qint64 folderId);

    qint64 FGroupId = 0;
    qint64 FFolderId = 0;

private:
    TServerConn m_conn;
};

// One file of request 65's reply.
struct TServerFileEntry {
    QString SourcePath;  // up to and including the last "/" or "\"
    QString Name;
    qint64 Size = 0;
    TDateTime ModifyDT = 0;
    quint32 Kind = 0;
    qint64 Id = 0;
    int Icon = 0;
};
std::vector<TServerFileEntry> ParseFolderFilesXml(const QString &xmlTxt);
