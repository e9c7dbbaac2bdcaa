#pragma once
// All batch tasks of the user in one tag-text file, "btr.sys": one
// "[Cond_<Id>]" section per task. The text is edited in memory section by
// section; Save writes it back whole and atomically. The desktop client and
// zudivuvo-cli share the file: change it only through UpdateTaskFile.
#include "batch/batchtransport.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class TBatchTranConfig
{
public:
    // folder: where btr.sys lies (GetTempFolder() when empty); indexFolder: the
    // index files of the tasks (configuration folder + "index/" when empty).
    explicit TBatchTranConfig(const QString &folder = {}, const QString &indexFolder = {});

    // A file that could not be read or decoded is kept aside as a copy and the
    // store starts with what could be read; LoadError() then says what happened,
    // and Save refuses to write over the file until it reads again.
    QString LoadError() const { return FLoadError; }
    QString ConfigFileName() const { return FConfigFileName; }
    QString IndexFolder() const { return FIndexFolder; }

    bool GetTask(qint32 id, TBatchTransport &value) const;
    void SetTask(const TBatchTransport &value);
    // A new task whose Id is already taken gets the next free Id (written back
    // into value), so it never replaces another task or shares its index.
    void AddTask(TBatchTransport &value);
    void DelTask(qint32 id);
    bool HasTask(qint32 id) const;
    QList<TBatchTransport> GetAllTask() const;
    void Optimize(const QList<TBatchTransport> &tasks);
    // False (with *error) when the file could not be written, or when the last
    // read failed: a file we could not read is never replaced by what we hold.
    bool Save(QString *error = nullptr);

    int TaskCount() const;
    void SetTaskCount(int value);
    QString AllInfo() const { return FConfigStr; }

    // Re-reads the file (another process may have changed it).
    void Reload();
    // True when the file is no longer what this store last read or wrote: another
    // process saved it. Cheap while nothing changed (one stat). A watcher must watch
    // the folder: every save replaces the file by another one.
    bool ChangedOnDisk() const;

private:
    struct DiskState {
        bool Exists = false;
        qint64 Size = 0;
        qint64 MTimeNs = 0;
        QByteArray Hash;
    };
    static DiskState stat(const QString &path);
    void load();
    void noteDisk(const QByteArray &bytes);
    void setSection(const QString &key, const QString &value);

    QString FConfigFileName;
    QString FIndexFolder;
    QString FConfigStr;
    QString FLoadError;
    QByteArray FKeptAsideHash;     // the damaged content already copied aside
    mutable DiskState FDisk;       // the file as this store last saw it
};

// The one way to change btr.sys while another process may use it: under a
// lock shared by the processes (btr.sys.lock, a few seconds' wait), re-read
// what the others wrote, apply change (only the fields it owns), save
// atomically. False with *error naming the holder of the lock, the read
// that failed, or the write that failed; the file is then left as it was.
bool UpdateTaskFile(TBatchTranConfig &config, const std::function<void(TBatchTranConfig &)> &change, QString *error);

// The index folder of the tasks: configuration folder + "index/".
QString BatchIndexFolder();
