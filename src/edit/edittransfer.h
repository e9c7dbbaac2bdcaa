#pragma once
// What every edit does on the server and on disk, without windows: the download
// for editing with its check-out record, the upload of the edited copy as a new
// version, giving the file back, and the rescue copy when an upload fails.
// Blocking: run on a worker thread.
#include "core/wiredate.h"
#include "edit/edittexts.h"
#include "model/serverconn.h"

#include <QDateTime>
#include <QStringList>

#include <atomic>
#include <memory>

class TRobotTcpClient;

class TEditTransfer
{
public:
    TEditTransfer(const TServerConn &conn, const QString &configFolder, THS_Language language);

    struct Download {
        bool Ok = false;
        TDateTime ServerTime = 0;
        // The check-out the user had made before this edit: it outlives the edit.
        QString PriorCheckout;
        // The copy's write time as the edit took it: a later time is a change to upload.
        QDateTime CopyStamp;
        QStringList Log;
    };
    // version < 0: the current one. On failure the lock is given back, unless the
    // user had it before or the server said someone else holds it.
    // When localPath is the user's checked-out copy, or the copy of an earlier edit
    // that never ended, that copy is opened as it is: replacing it would lose the work in it.
    Download DownloadForEdit(qint64 fileKey, const QString &localPath, qint64 version = -1);

    struct Upload {
        bool Ok = false;
        bool Unchanged = false;  // the server already has this content (16): nothing went up
        int Code = 0;
        QString RescuePath;   // the verified copy made after a failed upload
        QStringList Log;
        // The edit copy may be deleted: uploaded, the same as on the server, or safe in the rescue copy.
        bool CopyMayGo() const { return Ok || Unchanged || !RescuePath.isEmpty(); }
    };
    // The last upload of an edit: success or "content unchanged" ends it (record
    // erased, lock given back); a failure leaves a rescue copy.
    Upload UploadEdited(qint64 fileKey, const QString &copy, const QString &priorCheckout);
    // An upload while the edit goes on: the lock is taken again and the record
    // keeps the copy's new write time; a failure leaves the copy where it is.
    Upload UploadInterim(qint64 fileKey, const QString &copy, const QString &priorCheckout, const QDateTime &stamp);

    // The edit ends without a new version: lock and record go, unless the user
    // had checked the file out before editing.
    void GiveUp(qint64 fileKey, const QString &priorCheckout);

    // Copies file under a new name into the documents folder (or the edit folder
    // when that fails) and reads it back; the path of the copy, empty on failure.
    static QString RescueCopy(const QString &file, QString *error = nullptr);
    // Where rescue copies go when the documents folder cannot take them.
    static QString EditFolder();
    // A name in folder that does not exist yet: "name.ext", then "name (2).ext", ...
    static QString UniqueName(const QString &folder, const QString &fileName);

    std::shared_ptr<std::atomic<qint32>> Cancel = std::make_shared<std::atomic<qint32>>(0);

private:
    void endRecord(qint64 fileKey, const QString &priorCheckout);
    // The messages and the rescue copy of a failed last upload.
    void failed(Upload &u, TRobotTcpClient &client, const QString &copy);

    TServerConn m_conn;
    QString m_configFolder;
    TEditTexts m_texts;
};

// Every edit that has not ended, so exit and log-out can ask before leaving one
// behind. GUI thread only.
class TOpenEdits
{
public:
    static TOpenEdits &Instance();
    // One entry per owner and file key.
    void Add(const void *owner, qint64 fileKey, const QString &description);
    void Remove(const void *owner, qint64 fileKey);
    QStringList Descriptions() const;
    bool IsEmpty() const { return m_edits.isEmpty(); }
    bool Contains(qint64 fileKey) const;

private:
    struct Entry {
        const void *Owner;
        qint64 FileKey;
        QString Description;
    };
    QList<Entry> m_edits;
};
