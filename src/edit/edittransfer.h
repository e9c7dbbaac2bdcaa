#pragma once
// What every edit does on the server and on disk, without windows: the download
// for editing with its check-out record, the upload of the edited copy as a new
// version, giving the file back, and the rescue copy when an upload fails.
// Blocking: run on a worker thread.
#include "core/wiredate.h"
#include "edit/edittexts.h"
#include "model/serverconn.h"

#include <QStringList>

#include <atomic>
#include <memory>

class TEditTransfer
{
public:
    TEditTransfer(const TServerConn &conn, const QString &configFolder, THS_Language language);

    struct Download {
        bool Ok = false;
        TDateTime ServerTime = 0;
        // The check-out the user had made before this edit: it outlives the edit.
        QString PriorCheckout;
        QStringList Log;
    };
    // version < 0: the current one. On failure the lock is given back (unless checked out before).
    // When localPath is the user's checked-out copy, that copy is opened as it is:
    // replacing it would lose the work in it.
    Download DownloadForEdit(qint64 fileKey, const QString &localPath, qint64 version = -1);

    struct Upload {
        bool Ok = false;
        int Code = 0;
        QString RescuePath;   // the verified copy made after a failed upload
        QStringList Log;
        // The edit copy may be deleted: uploaded, or safe in the rescue copy.
        bool CopyMayGo() const { return Ok || !RescuePath.isEmpty(); }
    };
    Upload UploadEdited(qint64 fileKey, const QString &copy, const QString &priorCheckout);

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

private:
    struct Entry {
        const void *Owner;
        qint64 FileKey;
        QString Description;
    };
    QList<Entry> m_edits;
};
