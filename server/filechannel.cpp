#include "filechannel.h"

#include "access.h"
#include "requesthandler.h"

#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/wiredate.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QMutex>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QStorageInfo>
#include <QUuid>
#include <QWaitCondition>

#include <unistd.h>

Q_LOGGING_CATEGORY(lcFile, "zudivuvo.server.file")

namespace {
constexpr qint32 kGoAhead = 3;
constexpr qint32 kDownloadAllowed = 10;
constexpr qint32 kRefusedWithText = 100;
constexpr qint32 kOutOfSpace = 6;
// Client ticks are days * 10^9: one second is about 11574 ticks.
constexpr qint64 kTicksPerSecond = 1000000000LL / 86400;

bool tagBool(const QString &text, const QString &tag)
{
    const QString v = GetTagValue(text, tag).toLower();
    return v == QLatin1String("true") || v == QLatin1String("1") || v == QLatin1String("-1");
}

qint64 lastEightLE(QFile &file, qint64 end)
{
    if (end < 8 || !file.seek(end - 8))
        return 0;
    char b[8];
    return file.read(b, 8) == 8 ? int64LE(b) : 0;
}

bool flushToDisk(QFile &file)
{
    return file.flush() && ::fsync(file.handle()) == 0;
}

// A resume may arrive while the connection it replaces is still draining or waiting
// out its idle time-out. Sharing the partial body, that connection's final truncate
// lands in the middle of the resumed body, or on the stored blob after the rename.
constexpr int kPartClaimWaitMs = 10000;

// One connection at a time works on a partial body.
class PartClaim
{
public:
    PartClaim(const QString &path, int waitMs) : m_path(path)
    {
        QMutexLocker lock(&s_mutex);
        const QDeadlineTimer deadline(waitMs);
        while (s_busy.contains(path) && s_released.wait(&s_mutex, deadline)) {
        }
        m_held = !s_busy.contains(path);
        if (m_held)
            s_busy.insert(path);
    }
    ~PartClaim()
    {
        if (!m_held)
            return;
        QMutexLocker lock(&s_mutex);
        s_busy.remove(m_path);
        s_released.wakeAll();
    }
    PartClaim(const PartClaim &) = delete;
    PartClaim &operator=(const PartClaim &) = delete;
    bool held() const { return m_held; }
    static bool busy(const QString &path)
    {
        QMutexLocker lock(&s_mutex);
        return s_busy.contains(path);
    }

private:
    static inline QMutex s_mutex;
    static inline QWaitCondition s_released;
    static inline QSet<QString> s_busy;
    QString m_path;
    bool m_held = false;
};
} // namespace

bool isStagingFileBusy(const QString &path)
{
    return PartClaim::busy(path);
}

void FileChannel::run()
{
    qint32 op = 0;
    QByteArray line;
    if (!m_stream.readInt32(op))
        return;
    // Long parameter lines (long summaries) are allowed while the shared budget lasts.
    if (!m_stream.readLine(line, kFreeParamLine)) {
        QByteArray more;
        if (line.size() < kFreeParamLine)
            return;
        const OpeningBudget budget(2 * qint64(kMaxParamLine));
        if (!budget.held()) {
            m_stream.writeAll(int32BE(21));
            return;
        }
        if (!m_stream.readLine(more, kMaxParamLine - kFreeParamLine))
            return;
        line += more;
    }
    const auto text = decodeParamLine(line);
    if (!text) {
        m_stream.writeAll(int32BE(21));
        return;
    }
    switch (op) {
    case 1:
        upload(*text);
        break;
    case 2:
        download(*text, false);
        break;
    case 3:
        uploadVersion(*text);
        break;
    case 8:
        download(*text, true);
        break;
    case 5:
        // Item attachments have no caller in the client: refused, the client then ends.
        m_stream.writeAll(int32BE(13));
        break;
    default:
        m_stream.writeAll(int32BE(21));
        break;
    }
}

bool FileChannel::refuseUpload(int status, const QString &message)
{
    QByteArray out = int32BE(status);
    if (status == kRefusedWithText)
        out += encodeParamLine(message);
    return m_stream.writeAll(out + int64BE(0));
}

bool FileChannel::roomFor(qint64 bytes) const
{
    if (m_diskReserve <= 0)
        return true;
    const QStorageInfo disk(m_store.stagingDir());
    return !disk.isValid() || disk.bytesAvailable() - bytes >= m_diskReserve;
}

qint64 FileChannel::receiveBody(QFile &file, qint64 n, bool *ioError)
{
    QByteArray buffer(int(kBlockSize), Qt::Uninitialized);
    qint64 done = 0;
    while (done < n) {
        const qint64 got = m_stream.readSome(buffer.data(), qMin<qint64>(kBlockSize, n - done));
        if (got <= 0)
            break;
        if (file.write(buffer.constData(), got) != got) {
            *ioError = true;
            break;
        }
        done += got;
    }
    return done;
}

void FileChannel::upload(const QString &text)
{
    Access a(m_store, GetTagValue(text, QStringLiteral("EncryptCode")), StrToIntDef(GetTagValue(text, QStringLiteral("language")), -1));
    if (!a) {
        refuseUpload(a.refusal());
        return;
    }
    const SessionInfo &s = a.session();
    m_stream.startTransfer();
    const int owner = StrToIntDef(GetTagValue(text, QStringLiteral("DestOwnerId")), 0);
    const qint64 destFolder = StrToInt64Def(GetTagValue(text, QStringLiteral("DestFolderId")), -1);
    const QString subFolders = GetTagValue(text, QStringLiteral("SubFolderName"));
    const QString pathAndName = GetTagValue(text, QStringLiteral("PathAndName"));
    const qint64 size = StrToInt64Def(GetTagValue(text, QStringLiteral("Size")), -1);
    const qint64 ticks = StrToInt64Def(GetTagValue(text, QStringLiteral("ModifyDate")), 0);
    const int sc = StrToIntDef(GetTagValue(text, QStringLiteral("SC")), 0);
    const QString name = pathAndName.mid(qMax(pathAndName.lastIndexOf(u'\\'), pathAndName.lastIndexOf(u'/')) + 1).trimmed();
    const qint64 maxBytes = qint64(qMax(1, m_store.setting(QStringLiteral("max_upload_mb"), QStringLiteral("200")).toInt())) * 1024 * 1024;

    if (size < 0 || destFolder < 0 || subFolders.size() > 1024) {
        refuseUpload(21);
        return;
    }
    if (!isValidItemName(name)) {
        refuseUpload(kRefusedWithText, serverText(s.lang, "Invalid file name: ", "文件名无效：") + name);
        return;
    }
    if (!a.owner(owner)) {
        refuseUpload(a.refusal());
        return;
    }
    if (size > maxBytes) {
        refuseUpload(34);
        return;
    }
    if (sc > s.user.clearance) {
        refuseUpload(38);
        return;
    }

    // Destination folder, creating the sub-folder chain the client sent. Answers
    // are written after the transaction, so a slow client never holds the write lock.
    qint64 folderId = destFolder == 1 ? 0 : destFolder;
    qint64 existingKey = 0;
    int refusal = 0;
    QString refusalText;
    {
        Transaction t(m_store.db());
        if (folderId != 0) {
            const auto f = m_store.folder(folderId);
            if (!f || f->ownerId != owner)
                refusal = 18;
        }
        for (const QString &part : subFolders.split(QRegularExpression(QStringLiteral("[\\\\/]")), Qt::SkipEmptyParts)) {
            if (refusal != 0)
                break;
            const QString folderName = part.trimmed();
            qint64 id = m_store.findFolder(owner, folderId, folderName);
            if (id == 0) {
                const int rc = m_store.createFolder(owner, folderId, folderName, &id);
                if (rc == 21) {
                    refusal = kRefusedWithText;
                    refusalText = serverText(s.lang, "Invalid folder name: ", "文件夹名无效：") + folderName;
                } else if (rc != 0) {
                    refusal = rc;
                }
            }
            folderId = id;
        }
        if (refusal == 0 && folderId == 0)
            refusal = 39;
        if (refusal == 0) {
            if (const auto existing = m_store.fileByName(folderId, name)) {
                const auto held = m_store.lock(existing->key);
                const auto v = m_store.version(existing->key);
                if (held && held->userId != s.user.id) {
                    refusal = 14;
                } else if (v && v->size == size && qAbs(v->ticks - ticks) <= kTicksPerSecond) {
                    refusal = 16;
                    existingKey = existing->key;
                } else {
                    existingKey = existing->key;
                }
            }
        }
        if (refusal == 0 || refusal == 16) {
            if (!t.commit())
                refusal = 53;
        }
    }
    if (refusal == 16) {
        // Same size and time as the current version: nothing to send, the key says which file.
        m_stream.writeAll(int32BE(16) + int64BE(existingKey));
        return;
    }
    if (refusal != 0) {
        refuseUpload(refusal, refusalText);
        return;
    }

    // Partial bodies are keyed by everything that identifies this upload, so a
    // resumed transfer finds them and a different file never does.
    const QByteArray stagingKey = QCryptographicHash::hash(
        QStringLiteral("%1|%2|%3|%4|%5|%6|%7").arg(s.user.id).arg(owner).arg(destFolder).arg(subFolders, pathAndName).arg(size).arg(ticks).toUtf8(),
        QCryptographicHash::Sha256).toHex();
    const QString partFile = m_store.stagingDir() + u'/' + QString::fromLatin1(stagingKey) + QStringLiteral(".part");
    const PartClaim claim(partFile, kPartClaimWaitMs);
    // Still held by a connection that has not given up: this upload starts from the
    // beginning in a body of its own.
    const QString stagingFile = claim.held() ? partFile
                                             : m_store.stagingDir() + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".tmp");
    const auto dropPrivateBody = qScopeGuard([&] {
        if (!claim.held())
            QFile::remove(stagingFile);  // gone already when it was committed
    });
    QFile part(stagingFile);
    if (!part.open(QIODevice::ReadWrite)) {
        refuseUpload(53);
        return;
    }
    qint64 held = part.size();
    if (held > size) {
        part.resize(0);
        held = 0;
    }
    // A full disk would fail every upload and the database with them: keep a reserve.
    if (!roomFor(size - held)) {
        refuseUpload(kOutOfSpace);
        return;
    }
    if (!m_stream.writeAll(int32BE(kGoAhead) + int64BE(held) + int64BE(held >= 8 ? lastEightLE(part, held) : 0)))
        return;
    qint64 start = 0;
    qint64 remaining = 0;
    if (!m_stream.readInt64(start) || !m_stream.readInt64(remaining))
        return;
    if ((start != 0 && start != held) || remaining != size - start) {
        m_stream.writeAll(int64BE(0));
        return;
    }
    if (!part.resize(start) || !part.seek(start)) {
        m_stream.writeAll(int64BE(0));
        return;
    }
    bool ioError = false;
    const qint64 got = receiveBody(part, remaining, &ioError);
    qint32 trailer = 0;
    const bool complete = got == remaining && !ioError && m_stream.readInt32(trailer) && trailer == kUploadComplete;
    if (!complete) {
        // The stream cannot tell data from a cancel trailer: drop the last bytes
        // received; a resume sends them again.
        if (got < remaining)
            part.resize(start + qMax<qint64>(0, got - 4));
        flushToDisk(part);
        part.close();
        if (ioError)
            QFile::remove(stagingFile);
        m_stream.writeAll(int64BE(0));
        return;
    }
    if (!flushToDisk(part)) {
        part.close();
        QFile::remove(stagingFile);
        m_stream.writeAll(int64BE(0));
        return;
    }
    part.close();
    QString blob;
    QString error;
    if (!m_store.commitBlob(stagingFile, blob, &error)) {
        qCWarning(lcFile) << error;
        m_stream.writeAll(int64BE(0));
        return;
    }
    const QString summary = GetTagValue(text, QStringLiteral("Summary"));
    const QString props = GetTagValue(text, QStringLiteral("FielPrt"));
    int refused = 0;
    qint64 key = m_store.addVersion(existingKey, owner, folderId, name, blob, size, ticks, s.user.id, summary, sc, props, &refused);
    // Moved to the recycle bin while it was being sent: the upload is a new file again.
    if (key == 0 && refused == 25)
        key = m_store.addVersion(0, owner, folderId, name, blob, size, ticks, s.user.id, summary, sc, props, &refused);
    if (key > 0)
        m_store.log(s.user.id, QStringLiteral("upload"), key, name);
    else
        qCInfo(lcFile) << "upload of" << name << "not stored, result" << refused;
    m_stream.writeAll(int64BE(key));
}

void FileChannel::download(const QString &text, bool raw)
{
    auto refuse = [&](int status) {
        QByteArray out = int32BE(status);
        if (raw)
            out += QByteArray::number(status) + "\r\n" + int64BE(0);
        m_stream.writeAll(out);
    };
    Access a(m_store, GetTagValue(text, QStringLiteral("EncryptCode")), StrToIntDef(GetTagValue(text, QStringLiteral("language")), -1));
    if (!a) {
        refuse(a.refusal());
        return;
    }
    const SessionInfo &s = a.session();
    m_stream.startTransfer();
    const qint64 key = StrToInt64Def(GetTagValue(text, QStringLiteral("FileKey")), 0);
    if (!a.file(key)) {
        refuse(a.refusal());
        return;
    }
    const QString verText = GetTagValue(text, QStringLiteral("VersionId"));
    const bool hasVersion = !verText.isEmpty();
    const int ver = StrToIntDef(verText, -1);
    const bool preview = tagBool(text, QStringLiteral("IsPreView"));
    const auto v = m_store.version(key, ver);
    if (!v) {
        refuse(8);
        return;
    }
    {
        Transaction t(m_store.db());
        const auto held = m_store.lock(key);
        if (tagBool(text, QStringLiteral("IsCheckout")) && (!held || held->userId != s.user.id)) {
            refuse(17);
            return;
        }
        // An edit download holds the file until the edited version comes back or is cancelled.
        if (hasVersion && !preview) {
            if (held && held->userId != s.user.id) {
                refuse(14);
                return;
            }
            // Without the lock another user could change the file under the edit.
            if (!held && !m_store.setLock(key, s.user.id, LockEdit)) {
                refuse(53);
                return;
            }
        }
        if (!t.commit()) {
            refuse(53);
            return;
        }
    }
    QFile body(m_store.blobPath(v->blob));
    if (!body.open(QIODevice::ReadOnly) || body.size() != v->size) {
        qCWarning(lcFile) << "missing or damaged body of file" << key << "version" << v->ver;
        refuse(53);
        return;
    }
    QByteArray head = int32BE(kDownloadAllowed);
    if (!raw)
        head += QByteArray::number(v->ticks) + "\r\n";
    if (!m_stream.writeAll(head))
        return;
    qint64 offer = 0;
    qint64 check = 0;
    if (!m_stream.readInt64(offer) || !m_stream.readInt64(check))
        return;
    const qint64 accepted = offer > 0 && offer <= v->size && lastEightLE(body, offer) == check ? offer : 0;
    if (!body.seek(accepted) || !m_stream.writeAll(int64BE(accepted) + int64BE(v->size - accepted)))
        return;
    QByteArray buffer(int(kBlockSize), Qt::Uninitialized);
    qint64 left = v->size - accepted;
    while (left > 0) {
        const qint64 n = body.read(buffer.data(), qMin(left, kBlockSize));
        // A client that cancels just closes: a failed write ends quietly.
        if (n <= 0 || !m_stream.writeAll(buffer.constData(), n))
            return;
        left -= n;
    }
    QByteArray tail = int32BE(kDownloadComplete);
    if (raw)
        tail += int64BE(0);
    m_stream.writeAll(tail);
    m_store.log(s.user.id, preview ? QStringLiteral("preview") : QStringLiteral("download"), key);
}

void FileChannel::uploadVersion(const QString &text)
{
    Access a(m_store, GetTagValue(text, QStringLiteral("EncryptCode")), StrToIntDef(GetTagValue(text, QStringLiteral("language")), -1));
    if (!a) {
        m_stream.writeAll(int32BE(a.refusal()));
        return;
    }
    const SessionInfo &s = a.session();
    m_stream.startTransfer();
    const qint64 key = StrToInt64Def(GetTagValue(text, QStringLiteral("Key")), 0);
    const qint64 size = StrToInt64Def(GetTagValue(text, QStringLiteral("Size")), -1);
    const qint64 ticks = StrToInt64Def(GetTagValue(text, QStringLiteral("ModifyDate")), 0);
    const bool checkin = tagBool(text, QStringLiteral("IsCheckin"));
    const qint64 maxBytes = qint64(qMax(1, m_store.setting(QStringLiteral("max_upload_mb"), QStringLiteral("200")).toInt())) * 1024 * 1024;
    if (!a.file(key)) {
        m_stream.writeAll(int32BE(a.refusal()));
        return;
    }
    const FileInfo &f = a.file();
    const auto held = m_store.lock(key);
    const auto current = m_store.version(key);
    int rc = 0;
    if (size < 0)
        rc = 21;
    else if (held && held->userId != s.user.id)
        rc = 14;
    else if (checkin && !held)
        rc = 17;
    else if (size > maxBytes)
        rc = 34;
    else if (current && ticks < current->ticks - 2 * kTicksPerSecond)
        rc = 15;
    else if (!roomFor(size))
        rc = kOutOfSpace;
    if (rc != 0) {
        m_stream.writeAll(int32BE(rc));
        return;
    }
    if (!m_stream.writeAll(int32BE(kGoAhead) + int64BE(0) + int64BE(0)))
        return;
    qint64 start = -1;
    qint64 announced = -1;
    if (!m_stream.readInt64(start) || !m_stream.readInt64(announced))
        return;
    if (start != 0 || announced != size) {
        m_stream.writeAll(int32BE(21));
        return;
    }
    // No resume for new versions: a unique name, removed unless it is committed.
    const QString stagingFile = m_store.stagingDir() + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".tmp");
    QFile part(stagingFile);
    if (!part.open(QIODevice::WriteOnly)) {
        m_stream.writeAll(int32BE(53));
        return;
    }
    bool ioError = false;
    const qint64 got = receiveBody(part, size, &ioError);
    qint32 trailer = 0;
    const bool complete = got == size && !ioError && m_stream.readInt32(trailer) && trailer == kUploadComplete;
    const bool flushed = complete && flushToDisk(part);
    part.close();
    if (!flushed) {
        QFile::remove(stagingFile);
        m_stream.writeAll(int32BE(ioError ? 53 : 21));
        return;
    }
    if (current && Store::hashFile(stagingFile) == current->blob) {
        QFile::remove(stagingFile);
        m_stream.writeAll(int32BE(16));
        return;
    }
    QString blob;
    QString error;
    if (!m_store.commitBlob(stagingFile, blob, &error)) {
        qCWarning(lcFile) << error;
        m_stream.writeAll(int32BE(53));
        return;
    }
    // Check-in and edit sessions end with this upload; the client does not unlock after success.
    int refused = 53;
    if (m_store.addVersion(key, f.ownerId, f.folderId, f.name, blob, size, ticks, s.user.id, {}, 0, {}, &refused, true) == 0) {
        m_stream.writeAll(int32BE(refused));
        return;
    }
    m_store.log(s.user.id, QStringLiteral("new version"), key);
    m_stream.writeAll(int32BE(kGoAhead));
}
