#pragma once
// All batch tasks of the user in one tag-text file, "btr.sys": one
// "[Cond_<Id>]" section per task. The text is read once and edited in memory
// section by section; Save writes it back whole and atomically.
#include "batch/batchtransport.h"

#include <QList>
#include <QString>

class TBatchTranConfig
{
public:
    // folder: where btr.sys lies (GetTempFolder() when empty); indexFolder: the
    // index files of the tasks (configuration folder + "index/" when empty).
    explicit TBatchTranConfig(const QString &folder = {}, const QString &indexFolder = {});

    // A file that could not be read or decoded is kept aside as a copy and the
    // store starts with what could be read; LoadError() then says what happened.
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
    bool Save(QString *error = nullptr);

    int TaskCount() const;
    void SetTaskCount(int value);
    QString AllInfo() const { return FConfigStr; }

    // Re-reads the file (another process may have changed it).
    void Reload();

private:
    void load();
    void setSection(const QString &key, const QString &value);

    QString FConfigFileName;
    QString FIndexFolder;
    QString FConfigStr;
    QString FLoadError;
};

// The index folder of the tasks: configuration folder + "index/".
QString BatchIndexFolder();
