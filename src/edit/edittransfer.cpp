#include "edit/edittransfer.h"

#include "core/folders.h"
#include "edit/logging.h"
#include "net/robottcpclient.h"
#include "versions/workpaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

constexpr int kEditReadTimeout = 120000;
constexpr int kLockedByOther = 14;
constexpr int kContentUnchanged = 16;

QByteArray contentHash(const QString &path, bool *ok)
{
    QFile f(path);
    QCryptographicHash h(QCryptographicHash::Sha256);
    *ok = f.open(QIODevice::ReadOnly) && h.addData(&f);
    return h.result();
}

} // namespace

TEditTransfer::TEditTransfer(const TServerConn &conn, const QString &configFolder, THS_Language language)
    : m_conn(conn)
    , m_configFolder(configFolder)
    , m_texts(TEditTexts::For(language))
{
}

TEditTransfer::Download TEditTransfer::DownloadForEdit(qint64 fileKey, const QString &localPath, qint64 version)
{
    Download d;
    CheckoutRecord records(m_configFolder);
    const QString recorded = records.read(fileKey);
    // A record an earlier edit left is not the user's check-out: the edit that resumes it ends it.
    const bool leftoverEdit = records.isEdit(fileKey);
    if (!leftoverEdit)
        d.PriorCheckout = recorded;
    const QFileInfo prior(recorded);
    if (!recorded.isEmpty() && prior.exists() && prior == QFileInfo(localPath)) {
        // The lock is ours already; taking it again tells whether someone else holds it now.
        auto lock = m_conn.MakeClient(kEditReadTimeout);
        if (lock->LockFile(fileKey) != 1) {
            d.Log << lock->GetLastError();
            return d;
        }
        d.ServerTime = QDateTimeToDateTime(prior.lastModified());
        if (leftoverEdit) {
            // What that edit changed is still to go up: its own starting time stays the base.
            d.CopyStamp = records.editStamp(fileKey);
            if (!d.CopyStamp.isValid())
                d.CopyStamp = prior.lastModified();
            d.Log << m_texts.WLS_LeftoverCopy;
        } else {
            d.CopyStamp = prior.lastModified();
            d.Log << m_texts.WLS_CheckedOutCopy;
        }
        d.Ok = true;
        return d;
    }
    auto client = m_conn.MakeClient(kEditReadTimeout);
    client->PIsBreak = Cancel.get();
    const QString params = QStringLiteral("[IsReplace]True[/IsReplace][VersionId]%1[/VersionId]").arg(version < 0 ? -1 : version);
    QDir().mkpath(QFileInfo(localPath).absolutePath());
    const quint8 rc = client->DownloadFile(localPath, params, d.ServerTime, fileKey);
    if (rc == fc::Download) {
        d.CopyStamp = QFileInfo(localPath).lastModified();
        // The user's own check-out record stays as it is; an edit of its own gets a marked one.
        QString error;
        if (d.PriorCheckout.isEmpty() && !records.writeEdit(fileKey, localPath, d.CopyStamp, &error))
            qCWarning(lcEdit).noquote() << "cannot write the check-out record:" << error;
        d.Log << m_texts.WLS_DownloadOK;
        if (!client->LastNotice().isEmpty())
            d.Log << client->LastNotice();
        d.Ok = true;
        return d;
    }
    d.Log << client->GetLastError();
    // Refused because someone else holds the file: that lock is theirs, never ours to
    // give back (an administrator's release would take it from them).
    if (d.PriorCheckout.isEmpty() && rc != kLockedByOther) {
        auto unlock = m_conn.MakeClient(kEditReadTimeout);
        unlock->UnLockFile(true, fileKey);
    }
    return d;
}

void TEditTransfer::endRecord(qint64 fileKey, const QString &priorCheckout)
{
    CheckoutRecord records(m_configFolder);
    if (priorCheckout.isEmpty())
        records.erase(fileKey);
    else
        records.write(fileKey, priorCheckout);
}

TEditTransfer::Upload TEditTransfer::UploadEdited(qint64 fileKey, const QString &copy, const QString &priorCheckout)
{
    Upload u;
    auto client = m_conn.MakeClient(kEditReadTimeout);
    client->PIsBreak = Cancel.get();
    u.Code = client->UploadFile2(copy, QString(), fileKey);
    if (u.Code == fc::Stored || u.Code == fc::Review) {
        if (u.Code == fc::Review)
            u.Log << m_texts.WLS_Audit;
        endRecord(fileKey, priorCheckout);
        // The server ends every lock with a new version; a check-out made before the edit is the user's.
        if (!priorCheckout.isEmpty())
            m_conn.MakeClient(kEditReadTimeout)->LockFile(fileKey);
        u.Ok = true;
        return u;
    }
    if (u.Code == kContentUnchanged) {
        // Saved again without a change: the edit ends as unchanged, nothing to rescue.
        u.Unchanged = true;
        GiveUp(fileKey, priorCheckout);
        return u;
    }
    failed(u, *client, copy);
    return u;
}

TEditTransfer::Upload TEditTransfer::UploadInterim(qint64 fileKey, const QString &copy, const QString &priorCheckout,
                                                   const QDateTime &stamp)
{
    Upload u;
    auto client = m_conn.MakeClient(kEditReadTimeout);
    client->PIsBreak = Cancel.get();
    u.Code = client->UploadFile2(copy, QString(), fileKey);
    if (u.Code == kContentUnchanged) {
        u.Unchanged = true;
        return u;
    }
    if (u.Code != fc::Stored && u.Code != fc::Review) {
        QString error = client->GetLastError();
        u.Log << (error.isEmpty() ? client->GetDesc(u.Code) : error);
        return u;
    }
    if (u.Code == fc::Review)
        u.Log << m_texts.WLS_Audit;
    u.Ok = true;
    // The new version ended the lock; the edit goes on, so it takes the lock again.
    auto lock = m_conn.MakeClient(kEditReadTimeout);
    if (lock->LockFile(fileKey) != 1)
        u.Log << lock->GetLastError();
    CheckoutRecord records(m_configFolder);
    if (priorCheckout.isEmpty())
        records.writeEdit(fileKey, copy, stamp);
    return u;
}

void TEditTransfer::failed(Upload &u, TRobotTcpClient &client, const QString &copy)
{
    if (u.Code == 30) {
        u.Log.clear();
        u.Log << m_texts.WLS_InWriteAudit;
    } else {
        QString error = client.GetLastError();
        if (error.isEmpty())
            error = client.GetDesc(u.Code);
        u.Log << error;
    }
    QString why;
    u.RescuePath = RescueCopy(copy, &why);
    if (u.RescuePath.isEmpty()) {
        qCWarning(lcEdit).noquote() << "no rescue copy of" << copy << "-" << why;
        u.Log << m_texts.WLS_CopyKept + QDir::toNativeSeparators(copy);
    } else {
        u.Log << m_texts.WLS_UplaodError2 + QDir::toNativeSeparators(u.RescuePath);
    }
}

void TEditTransfer::GiveUp(qint64 fileKey, const QString &priorCheckout)
{
    if (priorCheckout.isEmpty()) {
        auto client = m_conn.MakeClient(kEditReadTimeout);
        client->UnLockFile(true, fileKey);
    }
    endRecord(fileKey, priorCheckout);
}

QString TEditTransfer::EditFolder()
{
    return IncludeTrailingSlash(QDir::homePath()) + QStringLiteral("QxFileEdit/");
}

QString TEditTransfer::UniqueName(const QString &folder, const QString &fileName)
{
    const QDir dir(folder);
    if (!QFileInfo::exists(dir.filePath(fileName)))
        return dir.filePath(fileName);
    const QFileInfo name(fileName);
    const QString stem = name.completeBaseName().isEmpty() ? fileName : name.completeBaseName();
    const QString ext = name.completeBaseName().isEmpty() || name.suffix().isEmpty() ? QString() : u'.' + name.suffix();
    for (int i = 2; i < 10000; ++i) {
        const QString candidate = dir.filePath(QStringLiteral("%1 (%2)%3").arg(stem).arg(i).arg(ext));
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
    return {};
}

QString TEditTransfer::RescueCopy(const QString &file, QString *error)
{
    bool ok = false;
    const QByteArray want = contentHash(file, &ok);
    if (!ok) {
        if (error)
            *error = QStringLiteral("cannot read ") + file;
        return {};
    }
    for (const QString &folder : {GetDocumentsFolder(), EditFolder()}) {
        if (folder.isEmpty() || !QDir().mkpath(folder))
            continue;
        const QString target = UniqueName(folder, QFileInfo(file).fileName());
        if (target.isEmpty())
            continue;
        // QFile::copy never overwrites: a name taken meanwhile just fails.
        QFile source(file);
        if (!source.copy(target)) {
            if (error)
                *error = source.errorString();
            continue;
        }
        bool readBack = false;
        if (contentHash(target, &readBack) == want && readBack)
            return target;
        QFile::remove(target);
        if (error)
            *error = QStringLiteral("the copy in %1 does not read back equal").arg(folder);
    }
    return {};
}

TOpenEdits &TOpenEdits::Instance()
{
    static TOpenEdits edits;
    return edits;
}

void TOpenEdits::Add(const void *owner, qint64 fileKey, const QString &description)
{
    Remove(owner, fileKey);
    m_edits << Entry{owner, fileKey, description};
}

void TOpenEdits::Remove(const void *owner, qint64 fileKey)
{
    m_edits.removeIf([&](const Entry &e) { return e.Owner == owner && e.FileKey == fileKey; });
}

QStringList TOpenEdits::Descriptions() const
{
    QStringList out;
    for (const Entry &e : m_edits)
        out << e.Description;
    return out;
}

bool TOpenEdits::Contains(qint64 fileKey) const
{
    return std::any_of(m_edits.cbegin(), m_edits.cend(), [fileKey](const Entry &e) { return e.FileKey == fileKey; });
}
