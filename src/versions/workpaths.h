#pragma once
// The two per-user files of version control, beside the configuration:
//   checkout_record.ini  [<file key>]  CheckoutPath=<local copy>   (checked out or being edited)
//                                      EditSession=<ms since 1970>  (only for an edit: the copy's
//                                      write time when the edit took it; older clients ignore it)
//   workpath_record.ini  [<folder id>] WorkPath=<local folder>\    (work path of a server folder)
// Paths are stored with "\" separators, as the client has always written them, and
// read back with this platform's. Every reader and writer of either file goes
// through the classes here; each call reads or writes the file at once.
#include <QDateTime>
#include <QList>
#include <QString>

inline constexpr char kCheckoutRecordFile[] = "checkout_record.ini";
inline constexpr char kWorkPathRecordFile[] = "workpath_record.ini";

// "/" -> "\" for storing; ToLocalSeparators (core/folders.h) undoes it.
QString ToStoredPath(const QString &localPath);

class CheckoutRecord
{
public:
    // configFolder ends in a separator (GetConfigFolder()).
    explicit CheckoutRecord(const QString &configFolder);
    QString fileName() const { return m_fileName; }

    // Creates or overwrites the key's section as the user's own check-out.
    bool write(qint64 fileKey, const QString &localPath, QString *error = nullptr);
    // The same for a copy an edit took: marked, with the copy's write time at
    // that moment, so a later start tells it from a check-out and sees a change.
    bool writeEdit(qint64 fileKey, const QString &localPath, const QDateTime &copyStamp, QString *error = nullptr);
    bool isEdit(qint64 fileKey) const;
    // The copy's write time an edit record holds; invalid for a check-out.
    QDateTime editStamp(qint64 fileKey) const;
    // The keys of all records that edits wrote.
    QList<qint64> editKeys() const;
    // The local copy's path with this platform's separators; empty when there is no record.
    QString read(qint64 fileKey) const;
    bool erase(qint64 fileKey, QString *error = nullptr);
    bool contains(qint64 fileKey) const { return !read(fileKey).isEmpty(); }

private:
    QString m_fileName;
};

class WorkPathRecord
{
public:
    explicit WorkPathRecord(const QString &configFolder);
    QString fileName() const { return m_fileName; }

    // Binding id 0 means the work root and is the caller's business: refused here.
    bool write(qint32 folderId, const QString &localFolder, QString *error = nullptr);
    QString read(qint64 folderId) const;

private:
    QString m_fileName;
};

struct TWorkPathResolution {
    QString path;             // local folder ending in a separator; empty when nothing is bound
    bool tagsPresent = false; // both PathStr and PathIdStr were in the reply
    int nameCount = 0;        // names of PathStr (the owner's name first)
    QString pathStr;          // PathStr with this platform's separators, as the server sent it
};

// The server path reply (request 78) resolved through workpath_record.ini: the
// deepest folder of the path that has a work path, followed by the names of the
// folders below it. Names that cannot be a folder of ours (".." and the like)
// make the answer empty, so the caller falls back.
TWorkPathResolution ResolveWorkPathEx(const QString &serverPathReply, const QString &configFolder);
QString ResolveWorkPath(const QString &serverPathReply, const QString &configFolder);

// root + the server path (PathStr); root when there is no server path, empty when it is refused.
QString RootPlusServerPath(const QString &root, const QString &pathStr);

// The one local home of a server folder that has no work path: the work root + the
// server path without the owner's name; empty when the path is refused.
QString DefaultWorkFolder(const QString &workRoot, const QString &pathStr);

// Each window's choice: the work path when one is bound, else the default home, so
// check-out, comparison and newest versions meet in one folder.
// Check-out target: the work path, else the default home, else (no server path) the
// last check-out folder, else the work root.
QString CheckoutFolderFor(const QString &serverPathReply, const QString &configFolder,
                          const QString &lastCheckoutPath, const QString &workRoot);
// Comparison: the work path, else the default home, else the work root.
QString CompareFolderFor(const QString &serverPathReply, const QString &configFolder, const QString &workRoot);
// Work-path dialog: the work path, else the default home when both tags were there, else empty.
QString WorkPathDialogFolderFor(const QString &serverPathReply, const QString &configFolder,
                                const QString &workRoot);
// Newest versions: the work path, else the default home when both tags were there,
// else the work root + the server path, else the work root. *pathStep gets the
// number of leading server path levels the folder stands for.
QString NewestFolderFor(const QString &serverPathReply, const QString &configFolder, const QString &workRoot,
                        int *pathStep);
