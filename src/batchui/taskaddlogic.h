#pragma once
// What the task editor decides without a window: a task record turned into the
// values of its controls and back, with every check of a save, and the scratch
// index that lets the user leave files out before the task runs.
#include "batch/bathfiledeal.h"
#include "batch/taskservice.h"
#include "core/clientconfigx.h"

#include <QDate>
#include <QObject>
#include <QTemporaryDir>
#include <QTime>

#include <functional>
#include <memory>

struct TTaskAddTexts {
    explicit TTaskAddTexts(THS_Language lang);
    QString WLS_Hint, WLS_LoginFirst, WLS_SFile, WLS_DFolder, WLS_Upload, WLS_Download, WLS_SFolder, WLS_BulkUpload,
        WLS_BulkDownload, WLS_NewFolder, WLS_NewFolderErr, WLS_SelSvrFolder, WLS_NoFile, WLS_NoFolder, WLS_ErrTime,
        WLS_ErrSize, WLS_SelFolder, WLS_SelDFolder, WLS_SelOwner, WLS_SelSOwner, WLS_SC_NO, WLS_KeepLocalNewFile,
        WLS_FileNum, WLS_VersionRemark, WLS_ToFileManage;
};

// The values the editor's controls hold.
struct TTaskForm {
    QString SourceLabel, TargetLabel, Title;
    QString Source, Target;
    QString TargetHint;
    bool SourceReadOnly = false;
    bool TargetReadOnly = false;
    bool FolderControls = true;   // file selection, types, sub-folders, dates, sizes, scheduling
    bool DateOn = false;
    QDate MinDate, MaxDate;
    bool SizeOn = false;
    QString MinSize, MaxSize;   // kilobytes
    QString Types = QStringLiteral("*.*");
    bool SubFolder = true;
    bool FilePrt = false;
    QString PrtParams;
    bool IncludeRoot = false;
    bool KeepLocalShown = false;
    bool KeepLocalNewFile = true;
    bool Scheduled = false;
    QString Cyc = QStringLiteral("1");
    QTime Begin;
    bool ScEnabled = true;
    int Sc = -1;          // classification number to select; -1: the default item
    bool RemarkShown = false;
    QString Remark;
};

// What the editor needs of the configuration, read once.
struct TTaskAddContext {
    QString WorkRoot;
    QString ConfigFolder;
    bool IncludeRoot = false;
    bool VersionRemark = false;   // "VersionRemark" of "FileExtInfo" is "1"
    static TTaskAddContext FromConfig(const TClientConfigX &config);
};

TTaskForm TaskToForm(const TBatchTransport &task, const TTaskAddContext &ctx, const TTaskAddTexts &texts);

QString TaskCheckText(TTaskCheck check, const TTaskAddTexts &texts);

// Collects the controls into task. askCreate is asked before a missing local
// download folder is created; "no" gives Refused.
TTaskCheck CollectTask(const TTaskForm &form, TBatchTransport &task, const TTaskAddContext &ctx, const TTaskAddTexts &texts,
                       const std::function<bool()> &askCreate);

// The files a task would move, listed into a scratch index of its own: a
// folder that no worker of the task uses, removed with this object. Built off
// the GUI thread; a closing editor does not wait for it.
class TTaskScratchIndex : public QObject
{
    Q_OBJECT
public:
    // indexFolder: where the task's own index files lie (its exclusions are read from there).
    TTaskScratchIndex(const TBatchSettings &settings, const QString &indexFolder, QObject *parent = nullptr);
    ~TTaskScratchIndex() override;

    // Scans the folder or fetches the server's list; built() follows.
    void Build(const TBatchTransport &task);
    bool IsBuilding() const { return m_building; }
    const QList<TTidyFile> &Files() const { return m_files; }
    int AllCount() const { return m_allCount; }
    // Marks keys as left out in the scratch index.
    void Exclude(const QList<qint64> &keys);

Q_SIGNALS:
    void progressText(const QString &text);
    void built(bool ok, const QString &error);

private:
    struct Job;
    TBatchSettings m_settings;
    QString m_indexFolder;
    std::shared_ptr<Job> m_job;
    QList<TTidyFile> m_files;
    int m_allCount = 0;
    bool m_building = false;
};

