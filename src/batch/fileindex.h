#pragma once
// The index of one batch task: one entry per file with its key, size, date and
// path, and a small progress state. Entries and state changes are appended to
// "<Id>.fln" and "<Id>.std" in the index folder, so a run broken off goes on
// where it stopped; "<Id>.ivd" holds the keys the user excluded.
#include "core/wiredate.h"
#include "net/tidyfile.h"

#include <QFile>
#include <QList>
#include <QMutex>
#include <QStringList>

#include <functional>
#include <vector>

// Dealed states.
namespace dl {
constexpr quint8 Fresh = 0;
constexpr quint8 MaxTries = 5;
constexpr quint8 Excluded = 99;
constexpr quint8 Done = 100;
}

// A local file as a scan found it.
struct TFoundFile {
    QString Path;
    qint64 Size = 0;
    TDateTime ModifyDT = 0;
};

// Size and modification time of a local file (0 and 0 when it cannot be read).
bool LocalFileStat(const QString &path, qint64 &size, TDateTime &modifyDT);

class TFileIndex
{
public:
    TFileIndex();
    ~TFileIndex();
    TFileIndex(const TFileIndex &) = delete;
    TFileIndex &operator=(const TFileIndex &) = delete;

    qint64 MinFileSize = 0;
    qint64 MaxFileSize = 0;
    TDateTime MinDT = 0;
    TDateTime MaxDT = 0;
    // No date can match (a run window outside the user's dates): nothing is taken.
    bool EmptyDateWindow = false;
    qint32 TaskId = 0;
    // Empty: the configuration folder + "index/".
    QString IndexFolder;
    std::function<void(const QString &)> OnAppendFile;

    void Init();
    // Opens (or creates) the path and state files and reads them. A torn tail left
    // by a crash is cut off; a path file full of dead lines is rewritten compactly.
    bool Load(QString *error = nullptr);
    void SetFileTypes(const QList<qint32> &types);

    void AppendFileInfo(const QStringList &paths);
    // Scanned files with their size and time: one sort for the whole batch.
    void AppendFoundFiles(const std::vector<TFoundFile> &files);
    void AppendFileInfoEx(const QString &nameStr);
    void AppendFileInfoEx(const TTidyFile &tidy);

    // False (and out.PathHash -1) when nothing is left to hand out in this run.
    bool GetTidyFile(quint32 kind, TTidyFile &out);
    void UpdateState(qint64 hash, quint8 dealed);
    int GetUndealFileCount(quint32 kind) const;
    int GetAllCount(quint32 kind) const;
    void GetUndealFileInfo(QStringList &errList) const;
    void ListFiles(const std::function<void(const TTidyFile &)> &method) const;
    void RemoveFiles(const QList<qint64> &keys);
    void RemoveInvalidKey();
    // A file that is gone: out of the list now, out of the files at FlushForgotten
    // (one rewrite for all of a run's).
    void ForgetFile(qint64 hash);
    void FlushForgotten();
    void StateResetOfUpload();
    void StateResetOfDownload();
    void DeleteIndexFile();
    void Clear();

    qint64 TotalFileSize() const;
    qint64 FinishedSize() const;
    int Count() const;
    bool Find(qint64 hash, TTidyFile &out) const;

    QString PathFileName() const { return Path_FileName; }
    QString StatusFileName() const { return Status_FileName; }
    QString ExcludedFileName() const;
    QString LogFileName() const;

    static qint64 UploadKey(const QString &path, qint64 size, TDateTime modifyDT);
    // "report.doc_kx0.doc": a copy the download pass made of a file deleted on the server.
    static bool IsExclusionCopy(const QString &path);
    static QString PathLine(const TTidyFile &t);
    static void AppendPathLine(QString &out, const TTidyFile &t);
    static QString StateLine(qint64 hash, quint8 dealed);

private:
    bool accept(const QString &path, qint64 size, TDateTime dt, quint32 kind) const;
    qsizetype search(qint64 key, bool &found) const;
    void appendLines(QFile &file, const QString &text);
    void setState(qsizetype i, quint8 dealed, QString &lines);
    void mergeNew(std::vector<TTidyFile> &added);
    // One scanned file, lock held: refreshes its entry, or adds it to added.
    void noteFound(const TFoundFile &f, std::vector<TTidyFile> &added);

    QString FIndexFilePath;
    QString Path_FileName;
    QString Status_FileName;
    QFile H_Path;
    QFile H_Status;
    QList<quint32> FUserFileTypes;
    qint64 FAllSize = 0;
    qint64 FFinishedSize = 0;
    bool FForgotten = false;
    mutable QMutex FLock;
    std::vector<TTidyFile> PList;  // sorted by PathHash
};

// Walks local folders. Symbolic links are followed only when their target lies
// inside the root, and no folder is entered twice, so a link never leads out
// of the task's folder or round in a loop.
class TSearchFiles
{
public:
    void SetRoots(const QStringList &roots) { FRoots = roots; }
    bool IsIncludeSubFolder = true;
    int AllFileNum() const { return FAllFileNum; }
    // "Cannot open folder <path>: <reason>" for each folder below a root that
    // could not be listed in the last Execute.
    QStringList UnreadableFolders() const { return FUnreadable; }
    std::function<void(const std::vector<TFoundFile> &)> OnSaveFiles;
    std::function<bool()> IsCancelled;
    void Execute();
    // Every folder below root (full paths ending with "/"), with the same link rules.
    static QStringList SubFolders(const QString &root);

private:
    QStringList FRoots;
    QStringList FUnreadable;
    int FAllFileNum = 0;
};
