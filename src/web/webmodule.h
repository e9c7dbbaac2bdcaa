#pragma once
// Carries out commands handed over by the server's web pages: reads the hand-off
// file, queues the command and runs at most one per call. The windows of other
// modules plug in through TWebCommandTarget; what is not there yet says so.
#include "core/resultcodes.h"
#include "web/webcommand.h"

#include <QObject>
#include <QStringList>
#include <atomic>
#include <memory>

class TWebCommandTarget
{
public:
    virtual ~TWebCommandTarget() = default;

    // Called on the GUI thread.
    virtual void SetClipboardText(const QString &text) = 0;
    // False with *reason (may stay empty) when the file could not be opened. Called off the GUI thread.
    virtual bool OpenWithDesktop(const QString &path, QString *reason) = 0;
    // Called on a worker thread; blocking. version < 0 means the current version.
    virtual bool DownloadForOpen(qint64 fileKey, qint64 version, const QString &localPath, QString *error) = 0;

    // Windows that later modules provide; the defaults report "not available yet".
    virtual bool Preview(const QString &cmd, QString *error);
    virtual bool EditOffice(qint64 fileKey, const QString &fileName, QString *error);
    virtual bool EditText(qint64 fileKey, const QString &fileName, QString *error);
    virtual bool ChooseWorkPath(qint64 folderId, QString *error);
    virtual bool FetchNewest(qint64 ownerId, qint64 folderId, QString *error);
    // code 18 check out, 19 cancel check-out, 20 check in
    virtual bool VersionControl(int code, const QList<qint64> &keys, const QStringList &names, QString *error);
    virtual bool Scan(qint64 ownerId, qint64 folderId, qint64 archiveId, QString *error);
    virtual bool UploadClipboard(qint64 ownerId, qint64 folderId, QString *error);
    virtual bool MailTest(const QString &params, QString *error);
    virtual bool BulkDownload(const QList<qint64> &keys, const QStringList &names, QString *error);

    void SetLanguage(THS_Language language) { m_language = language; }

protected:
    bool NotAvailable(QString *error) const;
    THS_Language m_language = HSL_ENG;
};

class TWebModule : public QObject
{
    Q_OBJECT
public:
    // The target is shared with the command still running when this module goes.
    TWebModule(std::shared_ptr<TWebCommandTarget> target, THS_Language language, const QString &clientPath,
               const QString &tempFolder, QObject *parent = nullptr);
    // A target that outlives every command (tests).
    TWebModule(TWebCommandTarget &target, THS_Language language, const QString &clientPath, const QString &tempFolder,
               QObject *parent = nullptr);

    // One tick: pick up the hand-off file, then run at most one queued command.
    // While a command's transfer runs, further ticks only queue.
    void DoWebMessage();
    bool IsBusy() const { return m_busy; }
    TWebCommand &Queue() { return m_queue; }

    // A file younger than this may still be being written by the launching process.
    static constexpr int kHandOffSettleMs = 200;

    // A downloaded file is opened only when it cannot run as a program.
    static bool IsSafeToOpen(const QString &path);
    // The local name of command 14's copy: leaf of the server name, "_qx" before the extension.
    static QString OpenCopyName(const QString &serverName);

Q_SIGNALS:
    void hintText(const QString &text);
    void commandFinished(unsigned code, bool ok);
    // The hand-off file was taken away under a name of our own: a launch may write the next one now.
    void handOffClaimed();

private:
    void pickUpHandOffFile();
    void run(const TWebCmd &cmd);
    void openFileOrVersion(const QString &cmd);
    void edit(const QString &cmd, QString *error);
    void finish(unsigned code, bool ok, const QString &error);
    QString text(const char *cn, const char *en) const;

    std::shared_ptr<TWebCommandTarget> m_target;
    THS_Language m_language;
    QString m_clientPath;
    QString m_tempFolder;
    TWebCommand m_queue;
    // A hand-off file (or folder) that could not be taken away: it runs once and is then left alone.
    struct HandOffStamp {
        qint64 device = -1, inode = -1, size = -1, modifiedNs = -1;
        bool operator==(const HandOffStamp &) const = default;
    };
    HandOffStamp m_refusedHandOff;
    bool m_busy = false;
};
