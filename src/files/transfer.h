#pragma once
// Upload and download work of the transfer dialogs, without windows: each file
// goes over the file channel on a pool thread; decisions and questions stay on
// the GUI thread. A close or cancel stops the running file after its block.
#include "files/filelistmodel.h"
#include "files/filetexts.h"
#include "model/serverconn.h"
#include "net/tidyfile.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class QWidget;
class TRobotTcpClient;

// Empty when the file may go; otherwise the refusal shown to the user.
QString CheckUploadFile(const TTidyFile &file, qint64 maxSize, const QList<quint32> &types, const TUploadTexts &texts);
TTidyFile DescribeLocalFile(const QString &path);
// The part of the file's folder after the first match of sourceFolder (ignoring
// case), with "\" separators and a trailing "\", at most 1024 characters.
QString UploadSubFolderName(const QString &filePath, const QString &sourceFolder);
// "../rest/of/path" for a file below sourceFolder, otherwise the full path.
QString UploadDisplayName(const QString &filePath, const QString &sourceFolder);

struct TProgressView {
    int Maximum = 0;
    int Position = 0;
    QString Label;
};
// One block's display: the bar's scale is set by the first block of each file.
TProgressView ProgressStep(int currentMaximum, qint64 allSize, qint64 done);

// "/" separators, no doubled ones, a trailing "/".
QString NormaliseDownloadFolder(const QString &typed);

// What a running transfer shares with its worker. The controller may be gone
// while a block is still on the wire, so the worker touches only this.
struct TTransferJob {
    explicit TTransferJob(const TServerConn &conn);
    ~TTransferJob();
    TServerConn Conn;
    std::atomic<qint32> IsBreak{0};
    // Worker side: the client, created on first use and kept.
    TRobotTcpClient &Client(int readTimeout);
    // Runs f with the controller while it exists; f only emits queued signals.
    void Notify(const std::function<void(class TTransferBase *)> &f);
    void Detach();

private:
    friend class TTransferBase;
    std::unique_ptr<TRobotTcpClient> m_tcp;
    std::mutex m_lock;
    class TTransferBase *m_owner = nullptr;
};

class TTransferBase : public QObject
{
    Q_OBJECT
public:
    TTransferBase(const TServerConn &conn, THS_Language lang, QObject *parent);
    // Cancels and returns at once: the running block ends unseen.
    ~TTransferBase() override;

    bool IsBusy() const { return m_busy; }
    void Cancel() { m_job->IsBreak = 1; }
    bool IsCancelled() const { return m_job->IsBreak == 1; }
    THS_Language Language() const { return m_lang; }
    // Parent of the message boxes; the window that owns this controller sets it.
    std::function<QWidget *()> FPromptParent = [] { return static_cast<QWidget *>(nullptr); };

Q_SIGNALS:
    // Emitted from the worker thread; receivers get it queued.
    void progress(qint64 allSize, qint64 complateSize);
    void fileStarted();  // a new file: reset the bar's scale
    void busyChanged(bool busy);

protected:
    // work runs on the transfer pool with the job only; done runs here, and not at all once this is gone.
    void Run(std::function<void(TTransferJob &)> work, std::function<void()> done);
    void ResetBreak() { m_job->IsBreak = 0; }

    TServerConn m_conn;
    THS_Language m_lang;
    std::shared_ptr<TTransferJob> m_job;

private:
    bool m_busy = false;
};

class TUploadController : public TTransferBase
{
    Q_OBJECT
public:
    explicit TUploadController(const TServerConn &conn, QObject *parent = nullptr);

    void Init(qint32 groupId, qint64 folderId, TFileListModel *listItems);
    // False (and WLS_ChkPath shown) when the path names no file.
    bool UploadSingle(const QString &path);
    void UploadList(const QString &sourceFolder, const QStringList &files);
    // The window is closing: stop after the current block and start nothing new.
    void RequestClose();

    qint32 FGroupId = -1;
    qint64 FFolderId = -1;
    bool FIsClose = false;
    qint64 FServerFileMaxSize = 0;
    QList<quint32> FServerFileType;
    QString FPrtParams;
    int Uploaded() const { return m_uploaded; }
    int Failed() const { return m_failed; }
    const TUploadTexts &Texts() const { return m_texts; }

Q_SIGNALS:
    void inputsEnabled(bool enabled);
    void currentName(const QString &name);
    void fileStored();    // fill the bar
    void singleFinished(bool stored);
    void listFinished(bool complete);

private:
    struct Outcome {
        QString Refusal;
        quint8 Status = 0;
        qint64 NewKey = 0;
        QString Error;
        TTidyFile File;
    };
    struct Limits {
        bool Asked = false;
        qint64 MaxSize = 0;
        QList<quint32> Types;
    };
    // Worker thread: only what is passed in.
    static Outcome uploadOne(TTransferJob &job, std::shared_ptr<Limits> limits, const TUploadTexts &texts,
                             qint32 groupId, qint64 folderId, const QString &path, const QString &subFolder);
    void runUpload(const QString &path, const QString &subFolder, std::function<void(const Outcome &)> done);
    void nextOfList();
    void finishList(bool complete);
    QString notUploadedText(int notUploaded) const;
    bool ask(const QString &text);

    TUploadTexts m_texts;
    QPointer<TFileListModel> FListItems;
    std::shared_ptr<Limits> m_limits = std::make_shared<Limits>();
    QStringList m_queue;
    QString m_source;
    int m_uploaded = 0;
    int m_failed = 0;
    QStringList m_failedNames;   // the first few of the list, as the window shows them
};

class TDownloadController : public TTransferBase
{
    Q_OBJECT
public:
    explicit TDownloadController(const TServerConn &conn, QObject *parent = nullptr);

    // Keeps the files (folder rows are left out) and proposes the target folder (pathProposed).
    void Init(const TSelectedInfos &files, const QString &fileRoot);
    // Validates the typed folder (asking to create it) and starts; false leaves the choice open.
    bool Start(const QString &typedPath);
    // Downloads again the files that failed in the last run; false when none did.
    bool RetryFailed();
    void RequestClose();
    // Partial downloads left by failed or cancelled files: the next download resumes them.
    QStringList Partials() const;
    // The user does not want to resume them.
    void DiscardPartials();

    TSelectedInfos FSelectedInfo;
    QString FPath;
    QString FFileRoot;
    bool FCanClose = false;
    int Failures() const { return m_failed.size(); }
    const TSelectedInfos &FailedFiles() const { return m_failed; }
    const TDownloadTexts &Texts() const { return m_texts; }

Q_SIGNALS:
    void pathProposed(const QString &path);
    void started();
    void currentName(const QString &name);
    void filePosition(int number, int count);   // "file 2 of 3"
    void fileStored();    // fill the bar: a small file's last block leaves it short
    // Bytes of the whole run; the total comes from the list's sizes (0 when it gave none).
    void overallProgress(qint64 doneBytes, qint64 totalBytes);
    void logLine(const QString &line);
    void allDone(int failures);

private:
    struct RunResult {
        TSelectedInfos Failed;
        QStringList Targets;   // local names of the files that did not arrive
    };
    void startRun(const TSelectedInfos &files);
    static RunResult runAll(TTransferJob &job, const TDownloadTexts &texts, const QString &folder,
                            const TSelectedInfos &files);   // worker thread

    TDownloadTexts m_texts;
    qint64 m_runTotal = 0;      // estimated from the list, in bytes
    qint64 m_runBefore = 0;     // bytes of the files already behind us
    qint64 m_fileDone = 0;      // bytes of the file on the wire now
    TSelectedInfos m_failed;
    QStringList m_partialTargets;
};
