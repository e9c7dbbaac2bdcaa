#include "store.h"

#include "core/fileext.h"
#include "core/wiredate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <sys/stat.h>

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcStore, "zudivuvo.server.store")

namespace {
constexpr int kPbkdf2Rounds = 20000;
constexpr double kSessionIdleDays = 30.0;


QByteArray passwordHash(const QString &password, const QByteArray &salt)
{
    const QByteArray pw = password.toUtf8();
    QByteArray out(32, '\0');
    PKCS5_PBKDF2_HMAC(pw.constData(), int(pw.size()), reinterpret_cast<const unsigned char *>(salt.constData()),
                      int(salt.size()), kPbkdf2Rounds, EVP_sha256(), int(out.size()),
                      reinterpret_cast<unsigned char *>(out.data()));
    return out;
}

bool syncPath(const QString &path, bool directory)
{
    const int fd = ::open(QFile::encodeName(path).constData(), directory ? O_RDONLY | O_DIRECTORY : O_RDWR);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

UserInfo userFrom(const QSqlQuery &q)
{
    UserInfo u;
    u.id = q.value(0).toInt();
    u.login = q.value(1).toString();
    u.name = q.value(2).toString();
    u.email = q.value(3).toString();
    u.coreId = q.value(4).toString();
    u.admin = q.value(5).toBool();
    u.disabled = q.value(6).toBool();
    u.clearance = q.value(7).toInt();
    return u;
}

const QString kUserColumns = QStringLiteral("id, login, name, email, core_id, is_admin, disabled, clearance");
const QString kFileColumns = QStringLiteral("key, owner_id, folder_id, name, kind, description, sc, deleted");

FileInfo fileFrom(const QSqlQuery &q)
{
    FileInfo f;
    f.key = q.value(0).toLongLong();
    f.ownerId = q.value(1).toInt();
    f.folderId = q.value(2).toLongLong();
    f.name = q.value(3).toString();
    f.kind = q.value(4).toUInt();
    f.description = q.value(5).toString();
    f.sc = q.value(6).toInt();
    f.deleted = q.value(7).toBool();
    return f;
}

FolderInfo folderFrom(const QSqlQuery &q)
{
    FolderInfo f;
    f.id = q.value(0).toLongLong();
    f.ownerId = q.value(1).toInt();
    f.parentId = q.value(2).toLongLong();
    f.name = q.value(3).toString();
    f.description = q.value(4).toString();
    return f;
}
} // namespace

QByteArray randomBytes(int n)
{
    QByteArray b(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(b.data()), n) != 1)
        qFatal("no random source");
    return b;
}

bool isValidItemName(const QString &name)
{
    if (name.isEmpty() || name.size() > 255 || name.contains(QLatin1String("[/")))
        return false;
    // Windows clients cannot create these, nor names ending in a dot or blank.
    if (name.endsWith(u'.') || name.endsWith(u' '))
        return false;
    static const QRegularExpression device(QStringLiteral("^(CON|PRN|AUX|NUL|COM[0-9]|LPT[0-9])$"), QRegularExpression::CaseInsensitiveOption);
    if (device.match(name.section(u'.', 0, 0).trimmed()).hasMatch())
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name.at(i).unicode();
        if (c < 32 || c == 127 || QStringLiteral("\\/:*?\"<>|").contains(QChar(c)))
            return false;
        // Direction overrides make a name read as another; U+FFFD stands for bytes that were not text.
        if (c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)
            || c == 0xFFFD || c == 0xFFFE || c == 0xFFFF)
            return false;
        if (QChar::isHighSurrogate(c) && i + 1 < name.size() && QChar::isLowSurrogate(name.at(i + 1).unicode())) {
            ++i;
            continue;
        }
        if (QChar::isSurrogate(c))
            return false;
    }
    return !name.trimmed().isEmpty() && name.contains(QRegularExpression(QStringLiteral("[^. ]")));
}

Store::Store(const QString &dataDir)
    : m_dataDir(dataDir), m_db(dataDir + QStringLiteral("/zudivuvo.db"))
{
}

bool Store::initDataDir(const QString &dataDir, QString *error)
{
    // Sessions and password hashes live here: the owner alone reads the folder.
    QDir dir(dataDir);
    if (!dir.mkpath(QStringLiteral(".")) || ::chmod(QFile::encodeName(dataDir).constData(), 0700) != 0) {
        if (error)
            *error = QStringLiteral("Cannot create %1: %2").arg(dataDir, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    for (const char *sub : {"blobs", "staging", "tls"}) {
        if (!dir.mkpath(QLatin1String(sub)) || ::chmod(QFile::encodeName(dir.filePath(QLatin1String(sub))).constData(), 0700) != 0) {
            if (error)
                *error = QStringLiteral("Cannot create %1/%2").arg(dataDir, QLatin1String(sub));
            return false;
        }
    }
    const QString dbFile = dataDir + QStringLiteral("/zudivuvo.db");
    if (!QFileInfo::exists(dbFile)) {
        // SQLite gives its -wal and -shm files the mode of the database file.
        const int fd = ::open(QFile::encodeName(dbFile).constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    }
    for (const QString &f : QStringList{dbFile, dbFile + QStringLiteral("-wal"), dbFile + QStringLiteral("-shm")}) {
        if (QFileInfo::exists(f))
            ::chmod(QFile::encodeName(f).constData(), 0600);
    }
    return Database::createSchema(dbFile, error);
}

int Store::sweepStaging(const QString &dataDir, qint64 maxAgeMs, bool includeFresh, const std::function<bool(const QString &)> &busy)
{
    const QDateTime expiry = QDateTime::currentDateTime().addMSecs(-maxAgeMs);
    int removed = 0;
    for (const QFileInfo &fi : QDir(dataDir + QStringLiteral("/staging")).entryInfoList(QDir::Files)) {
        const bool old = fi.lastModified() < expiry;
        const bool tmp = fi.suffix() == QLatin1String("tmp");
        if (!(old || (includeFresh && tmp)) || (busy && busy(fi.filePath())))
            continue;
        if (QFile::remove(fi.filePath()))
            ++removed;
    }
    return removed;
}

QString Store::blobPath(const QString &blob) const
{
    return m_dataDir + QStringLiteral("/blobs/") + blob.left(2) + u'/' + blob;
}

int Store::addGroup(const QString &name, int parentId, QString *error)
{
    if (!isValidItemName(name)) {
        if (error)
            *error = QStringLiteral("Invalid group name: %1").arg(name);
        return 0;
    }
    if (parentId > 0 && !isGroup(parentId)) {
        if (error)
            *error = QStringLiteral("No group with id %1").arg(parentId);
        return 0;
    }
    const qint64 id = m_db.insert(QStringLiteral("INSERT INTO owners(kind, name, parent_id) VALUES('G', ?, ?)"),
                                  {name, parentId > 0 ? QVariant(parentId) : QVariant()});
    if (id == 0 && error)
        *error = m_db.lastError();
    return int(id);
}

int Store::addUser(const QString &login, const QString &name, const QString &password, const QString &email,
                   bool admin, QString *error)
{
    if (login.trimmed().isEmpty() || login.contains(u'[') || !isValidItemName(name.isEmpty() ? login : name)) {
        if (error)
            *error = QStringLiteral("Invalid user name: %1").arg(login);
        return 0;
    }
    const QByteArray salt = randomBytes(16);
    const qint64 id = m_db.insert(
        QStringLiteral("INSERT INTO owners(kind, name, login, email, salt, pwhash, is_admin) VALUES('U', ?, ?, ?, ?, ?, ?)"),
        {name.isEmpty() ? login : name, login.trimmed(), email, salt, passwordHash(password, salt), admin ? 1 : 0});
    if (id == 0 && error)
        *error = QStringLiteral("Cannot add user %1: %2").arg(login, m_db.lastError());
    return int(id);
}

bool Store::addMember(int groupId, int userId, QString *error)
{
    if (!isGroup(groupId) || !user(userId)) {
        if (error)
            *error = QStringLiteral("Unknown group %1 or user %2").arg(groupId).arg(userId);
        return false;
    }
    return m_db.run(QStringLiteral("INSERT OR IGNORE INTO memberships(group_id, user_id) VALUES(?, ?)"), {groupId, userId});
}

bool Store::setPassword(int userId, const QString &password)
{
    const QByteArray salt = randomBytes(16);
    Transaction t(m_db);
    // A new password ends every session of that user.
    return m_db.run(QStringLiteral("UPDATE owners SET salt=?, pwhash=? WHERE id=? AND kind='U'"),
                    {salt, passwordHash(password, salt), userId})
        && m_db.run(QStringLiteral("DELETE FROM sessions WHERE user_id=?"), {userId}) && t.commit();
}

int Store::ownerIdByName(const QString &nameOrLogin, const QString &kind)
{
    bool isNumber = false;
    const int id = nameOrLogin.toInt(&isNumber);
    if (isNumber)
        return m_db.value(QStringLiteral("SELECT id FROM owners WHERE id=? AND kind=?"), {id, kind}, 0).toInt();
    if (kind == QLatin1String("U"))
        return m_db.value(QStringLiteral("SELECT id FROM owners WHERE kind='U' AND login=?"), {nameOrLogin}, 0).toInt();
    return m_db.value(QStringLiteral("SELECT id FROM owners WHERE kind='G' AND name=? COLLATE NOCASE"), {nameOrLogin}, 0).toInt();
}

std::optional<UserInfo> Store::user(int id)
{
    QSqlQuery q = m_db.exec(QStringLiteral("SELECT ") + kUserColumns + QStringLiteral(" FROM owners WHERE id=? AND kind='U'"), {id});
    if (q.next())
        return userFrom(q);
    return std::nullopt;
}

QString Store::ownerName(int id)
{
    return m_db.value(QStringLiteral("SELECT name FROM owners WHERE id=?"), {id}).toString();
}

bool Store::isGroup(int id)
{
    return m_db.value(QStringLiteral("SELECT COUNT(*) FROM owners WHERE id=? AND kind='G'"), {id}).toInt() > 0;
}

QList<int> Store::groupsOf(int userId)
{
    QList<int> ids;
    QSqlQuery q = m_db.exec(QStringLiteral("SELECT group_id FROM memberships WHERE user_id=? ORDER BY group_id"), {userId});
    while (q.next())
        ids << q.value(0).toInt();
    return ids;
}

bool Store::canAccess(const UserInfo &u, int ownerId)
{
    if (ownerId <= 0)
        return false;
    if (u.admin || ownerId == u.id)
        return true;
    // Members of a group also reach the spaces of the groups above it.
    for (int g : groupsOf(u.id)) {
        for (int depth = 0; g > 0 && depth < 64; ++depth) {
            if (g == ownerId)
                return true;
            g = m_db.value(QStringLiteral("SELECT parent_id FROM owners WHERE id=?"), {g}, 0).toInt();
        }
    }
    return false;
}

int Store::checkLogin(const QString &name, const QString &password, UserInfo &out)
{
    QSqlQuery q = m_db.exec(QStringLiteral("SELECT ") + kUserColumns
                                + QStringLiteral(", salt, pwhash FROM owners WHERE kind='U' AND (login=? OR (email<>'' AND email=? COLLATE NOCASE))"),
                            {name.trimmed(), name.trimmed()});
    if (!q.next()) {
        // The same work as for a known name, so the answer time does not tell which names exist.
        static const QByteArray dummySalt = randomBytes(16);
        (void)passwordHash(password, dummySalt);
        return 82;
    }
    out = userFrom(q);
    const QByteArray expected = q.value(9).toByteArray();
    const QByteArray actual = passwordHash(password, q.value(8).toByteArray());
    if (expected.size() != actual.size() || CRYPTO_memcmp(expected.constData(), actual.constData(), size_t(actual.size())) != 0)
        return 82;
    return out.disabled ? 88 : 0;
}

QString Store::createSession(int userId)
{
    const QString token = QString::fromLatin1(randomBytes(16).toHex().toUpper());
    const double now = NowDateTime();
    m_db.run(QStringLiteral("INSERT INTO sessions(token, user_id, created, last_seen) VALUES(?, ?, ?, ?)"),
             {token, userId, now, now});
    m_db.run(QStringLiteral("UPDATE owners SET last_seen=? WHERE id=?"), {now, userId});
    return token;
}

int Store::resolveSession(const QString &token, SessionInfo &out, int lang)
{
    if (token.isEmpty() || token.size() > 64)
        return 7;
    QSqlQuery q = m_db.exec(QStringLiteral("SELECT user_id, last_seen, lang FROM sessions WHERE token=?"), {token});
    if (!q.next())
        return 7;
    const double now = NowDateTime();
    if (now - q.value(1).toDouble() > kSessionIdleDays)
        return 7;
    const int userId = q.value(0).toInt();
    out.lang = lang >= 0 ? lang : q.value(2).toInt();
    q.finish();
    const auto u = user(userId);
    if (!u)
        return 7;
    out.user = *u;
    out.token = token;
    if (u->disabled)
        return 5;
    // Only refresh once in a while: every request would otherwise take the write lock.
    m_db.run(QStringLiteral("UPDATE sessions SET last_seen=?, lang=? WHERE token=? AND (last_seen<? OR lang<>?)"),
             {now, out.lang, token, now - 30.0 / 86400, out.lang});
    m_db.run(QStringLiteral("UPDATE owners SET last_seen=? WHERE id=? AND (last_seen IS NULL OR last_seen<?)"),
             {now, userId, now - 30.0 / 86400});
    return 0;
}

std::optional<FolderInfo> Store::folder(qint64 id)
{
    QSqlQuery q = m_db.exec(
        QStringLiteral("SELECT id, owner_id, parent_id, name, description FROM folders WHERE id=? AND deleted=0"), {id});
    if (q.next())
        return folderFrom(q);
    return std::nullopt;
}

QList<FolderInfo> Store::subFolders(int ownerId, qint64 parentId)
{
    QList<FolderInfo> list;
    QSqlQuery q = m_db.exec(QStringLiteral("SELECT id, owner_id, parent_id, name, description FROM folders"
                                           " WHERE owner_id=? AND parent_id=? AND deleted=0 ORDER BY name COLLATE NOCASE"),
                            {ownerId, parentId});
    while (q.next())
        list << folderFrom(q);
    return list;
}

int Store::childCount(qint64 folderId)
{
    return m_db.value(QStringLiteral("SELECT COUNT(*) FROM folders WHERE parent_id=? AND deleted=0"), {folderId}).toInt();
}

qint64 Store::findFolder(int ownerId, qint64 parentId, const QString &name)
{
    return m_db.value(QStringLiteral("SELECT id FROM folders WHERE owner_id=? AND parent_id=? AND deleted=0 AND name=? COLLATE NOCASE"),
                      {ownerId, parentId, name}, 0).toLongLong();
}

int Store::createFolder(int ownerId, qint64 parentId, const QString &name, qint64 *id)
{
    if (!isValidItemName(name))
        return 21;
    if (parentId != 0) {
        const auto parent = folder(parentId);
        if (!parent || parent->ownerId != ownerId)
            return 18;
        // Deeper paths overflow what the listings walk and the client's path length.
        if (folderChain(parentId).size() >= kMaxFolderDepth)
            return 21;
        if (fileByName(parentId, name))
            return 20;
    }
    if (findFolder(ownerId, parentId, name) != 0)
        return 20;
    const qint64 newId = m_db.insert(QStringLiteral("INSERT INTO folders(owner_id, parent_id, name, created) VALUES(?, ?, ?, ?)"),
                                     {ownerId, parentId, name, NowDateTime()});
    if (newId == 0)
        return 53;
    if (id)
        *id = newId;
    return 0;
}

QList<FolderInfo> Store::folderChain(qint64 id)
{
    QList<FolderInfo> chain;
    while (id != 0 && chain.size() < 256) {
        const auto f = folder(id);
        if (!f)
            return {};
        chain.prepend(*f);
        id = f->parentId;
    }
    return chain;
}

bool Store::inSubtree(qint64 folderId, qint64 rootId)
{
    for (const FolderInfo &f : folderChain(folderId)) {
        if (f.id == rootId)
            return true;
    }
    return false;
}

std::optional<FileInfo> Store::file(qint64 key)
{
    QSqlQuery q = m_db.exec(QStringLiteral("SELECT ") + kFileColumns + QStringLiteral(" FROM files WHERE key=?"), {key});
    if (q.next())
        return fileFrom(q);
    return std::nullopt;
}

QList<FileInfo> Store::filesIn(qint64 folderId)
{
    QList<FileInfo> list;
    QSqlQuery q = m_db.exec(QStringLiteral("SELECT ") + kFileColumns
                                + QStringLiteral(" FROM files WHERE folder_id=? AND deleted=0 ORDER BY name COLLATE NOCASE"),
                            {folderId});
    while (q.next())
        list << fileFrom(q);
    return list;
}

std::optional<FileInfo> Store::fileByName(qint64 folderId, const QString &name)
{
    QSqlQuery q = m_db.exec(QStringLiteral("SELECT ") + kFileColumns
                                + QStringLiteral(" FROM files WHERE folder_id=? AND deleted=0 AND name=? COLLATE NOCASE"),
                            {folderId, name});
    if (q.next())
        return fileFrom(q);
    return std::nullopt;
}

std::optional<VersionInfo> Store::version(qint64 key, int ver)
{
    QSqlQuery q = ver > 0
        ? m_db.exec(QStringLiteral("SELECT ver, size, mtime_ticks, blob FROM versions WHERE file_key=? AND ver=?"), {key, ver})
        : m_db.exec(QStringLiteral("SELECT ver, size, mtime_ticks, blob FROM versions WHERE file_key=? ORDER BY ver DESC LIMIT 1"), {key});
    if (!q.next())
        return std::nullopt;
    return VersionInfo{q.value(0).toInt(), q.value(1).toLongLong(), q.value(2).toLongLong(), q.value(3).toString()};
}

std::optional<LockInfo> Store::lock(qint64 key)
{
    QSqlQuery q = m_db.exec(QStringLiteral("SELECT l.user_id, o.name, l.kind FROM locks l JOIN owners o ON o.id=l.user_id WHERE l.file_key=?"), {key});
    if (!q.next())
        return std::nullopt;
    return LockInfo{q.value(0).toInt(), q.value(1).toString(), q.value(2).toInt()};
}

bool Store::setLock(qint64 key, int userId, int kind)
{
    return m_db.run(QStringLiteral("INSERT INTO locks(file_key, user_id, kind, since) VALUES(?, ?, ?, ?)"
                                   " ON CONFLICT(file_key) DO UPDATE SET kind=excluded.kind WHERE user_id=excluded.user_id"),
                    {key, userId, kind, NowDateTime()});
}

bool Store::releaseLock(qint64 key)
{
    return m_db.run(QStringLiteral("DELETE FROM locks WHERE file_key=?"), {key});
}

QString Store::hashFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    if (!h.addData(&f))
        return {};
    return QString::fromLatin1(h.result().toHex());
}

bool Store::commitBlob(const QString &stagingFile, QString &blob, QString *error)
{
    blob = hashFile(stagingFile);
    if (blob.isEmpty()) {
        if (error)
            *error = QStringLiteral("Cannot read %1").arg(stagingFile);
        return false;
    }
    const QString target = blobPath(blob);
    const QString dir = QFileInfo(target).path();
    if (QFileInfo::exists(target)) {
        QFile::remove(stagingFile);
        return true;
    }
    if (!QDir().mkpath(dir) || !syncPath(stagingFile, false) || ::rename(QFile::encodeName(stagingFile).constData(), QFile::encodeName(target).constData()) != 0) {
        if (error)
            *error = QStringLiteral("Cannot store %1: %2").arg(target, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    syncPath(dir, true);
    return true;
}

qint64 Store::addVersion(qint64 key, int ownerId, qint64 folderId, const QString &name, const QString &blob,
                         qint64 size, qint64 ticks, int userId, const QString &description, int sc, const QString &props,
                         int *refusal, bool releaseOwnLock)
{
    auto refuse = [&](int code) {
        if (refusal)
            *refusal = code;
        return qint64(0);
    };
    Transaction t(m_db);
    if (!t.active())
        return refuse(53);
    const double now = NowDateTime();
    // Two uploads of one new name at once: the second becomes a version of the first.
    if (key == 0) {
        if (const auto existing = fileByName(folderId, name))
            key = existing->key;
    }
    if (key != 0) {
        const auto f = file(key);
        if (!f || f->deleted)
            return refuse(25);
        const auto held = lock(key);
        if (held && held->userId != userId)
            return refuse(14);
    } else {
        const auto f = folder(folderId);
        if (!f || f->ownerId != ownerId)
            return refuse(18);
    }
    // A new version that brings properties replaces those of the file.
    if (key != 0 && !props.isEmpty())
        m_db.run(QStringLiteral("UPDATE files SET props=? WHERE key=?"), {props, key});
    if (key == 0) {
        key = m_db.insert(QStringLiteral("INSERT INTO files(owner_id, folder_id, name, kind, description, props, sc, created_by, created)"
                                         " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                          {ownerId, folderId, name, FileExtCode(ExtWithoutDot(name)), description, props, sc, userId, now});
        if (key == 0)
            return refuse(53);
    }
    const int ver = m_db.value(QStringLiteral("SELECT COALESCE(MAX(ver), 0) + 1 FROM versions WHERE file_key=?"), {key}, 1).toInt();
    if (m_db.insert(QStringLiteral("INSERT INTO versions(file_key, ver, size, mtime_ticks, blob, uploaded_by, uploaded_at)"
                                   " VALUES(?, ?, ?, ?, ?, ?, ?)"),
                    {key, ver, size, ticks, blob, userId, now}) == 0)
        return refuse(53);
    if (releaseOwnLock && !m_db.run(QStringLiteral("DELETE FROM locks WHERE file_key=? AND user_id=?"), {key, userId}))
        return refuse(53);
    return t.commit() ? key : refuse(53);
}

void Store::log(int userId, const QString &opr, qint64 key, const QString &text)
{
    m_db.run(QStringLiteral("INSERT INTO audit_log(at, user_id, opr, file_key, text) VALUES(?, ?, ?, ?, ?)"),
             {NowDateTime(), userId, opr, key, text});
}

QString Store::setting(const QString &key, const QString &def)
{
    return m_db.value(QStringLiteral("SELECT value FROM settings WHERE key=?"), {key}, def).toString();
}

void Store::setSetting(const QString &key, const QString &value)
{
    m_db.run(QStringLiteral("INSERT OR REPLACE INTO settings(key, value) VALUES(?, ?)"), {key, value});
}
