#pragma once
// The document store: organisation, sessions, folders, files and versions in
// SQLite, version bodies as content-addressed files under the data folder.
#include "database.h"

#include <QList>
#include <QString>
#include <functional>
#include <optional>

struct UserInfo
{
    int id = 0;
    QString login;
    QString name;
    QString email;
    QString coreId;
    bool admin = false;
    bool disabled = false;
    int clearance = 255;
};

struct SessionInfo
{
    QString token;
    UserInfo user;
    int lang = 2;
};

struct FolderInfo
{
    qint64 id = 0;
    int ownerId = 0;
    qint64 parentId = 0;
    QString name;
    QString description;
};

struct FileInfo
{
    qint64 key = 0;
    int ownerId = 0;
    qint64 folderId = 0;
    QString name;
    quint32 kind = 0;
    QString description;
    int sc = 0;
    bool deleted = false;
};

struct VersionInfo
{
    int ver = 0;
    qint64 size = 0;
    qint64 ticks = 0;
    QString blob;
};

struct LockInfo
{
    int userId = 0;
    QString userName;
    int kind = 0;
};

enum LockKind { LockCheckout = 1, LockEdit = 2 };

// One name of a folder or file: no separators, no "..", nothing that breaks
// the "*"-lines, tag text or a Windows path on the client.
bool isValidItemName(const QString &name);

// Folders nest at most this deep; listings walk no deeper.
constexpr int kMaxFolderDepth = 48;

// Bytes from the system's secure random source.
QByteArray randomBytes(int n);

class Store
{
public:
    explicit Store(const QString &dataDir);
    bool isOpen() const { return m_db.isOpen(); }
    Database &db() { return m_db; }
    QString dataDir() const { return m_dataDir; }
    QString blobPath(const QString &blob) const;
    QString stagingDir() const { return m_dataDir + QStringLiteral("/staging"); }

    // Creates the folders and the schema; safe beside a running server (admin commands call it too).
    static bool initDataDir(const QString &dataDir, QString *error);
    // Removes staging files older than maxAgeMs (and, with includeFresh, every new-version
    // ".tmp"), except those busy() names. Only the holder of the data folder's lock calls it.
    static int sweepStaging(const QString &dataDir, qint64 maxAgeMs, bool includeFresh,
                            const std::function<bool(const QString &)> &busy = {});

    // Organisation
    int addGroup(const QString &name, int parentId, QString *error = nullptr);
    int addUser(const QString &login, const QString &name, const QString &password, const QString &email,
                bool admin, QString *error = nullptr);
    bool addMember(int groupId, int userId, QString *error = nullptr);
    bool setPassword(int userId, const QString &password);
    int ownerIdByName(const QString &nameOrLogin, const QString &kind);
    std::optional<UserInfo> user(int id);
    QString ownerName(int id);
    bool isGroup(int id);
    QList<int> groupsOf(int userId);
    bool canAccess(const UserInfo &user, int ownerId);

    // Sessions: 0 = accepted, else the refusal code (82 wrong name/password, 88 disabled).
    int checkLogin(const QString &name, const QString &password, UserInfo &out);
    QString createSession(int userId);
    // 0 = valid; 7 = unknown or expired token; 5 = account disabled.
    int resolveSession(const QString &token, SessionInfo &out, int lang = -1);

    // Folders
    std::optional<FolderInfo> folder(qint64 id);
    QList<FolderInfo> subFolders(int ownerId, qint64 parentId);
    int childCount(qint64 folderId);
    qint64 findFolder(int ownerId, qint64 parentId, const QString &name);
    // 0 on success with *id set, else a result code (20 clash, 18 no parent, 21 bad name or too deep).
    int createFolder(int ownerId, qint64 parentId, const QString &name, qint64 *id);
    QList<FolderInfo> folderChain(qint64 id); // top-level folder first
    bool inSubtree(qint64 folderId, qint64 rootId);

    // Files
    std::optional<FileInfo> file(qint64 key);
    QList<FileInfo> filesIn(qint64 folderId);
    std::optional<FileInfo> fileByName(qint64 folderId, const QString &name);
    std::optional<VersionInfo> version(qint64 key, int ver = -1); // ver <= 0: current
    std::optional<LockInfo> lock(qint64 key);
    bool setLock(qint64 key, int userId, int kind);
    bool releaseLock(qint64 key);

    // Moves a complete staging file into the blob area: flushed to disk first,
    // renamed atomically, so a crash leaves either nothing or the whole body.
    bool commitBlob(const QString &stagingFile, QString &blob, QString *error);
    static QString hashFile(const QString &path);
    // New version of key (or a new file when key is 0); returns the key, 0 on failure.
    // Checked again in the same transaction, since an upload may take minutes: the
    // file must still be there and not held by another user, a new file's folder
    // must still exist. *refusal then says why (25, 14, 18; 53 otherwise).
    // releaseOwnLock: the caller's lock ends with this version.
    qint64 addVersion(qint64 key, int ownerId, qint64 folderId, const QString &name, const QString &blob,
                      qint64 size, qint64 ticks, int userId, const QString &description = {}, int sc = 0,
                      const QString &props = {}, int *refusal = nullptr, bool releaseOwnLock = false);

    void log(int userId, const QString &opr, qint64 key, const QString &text = {});
    QString setting(const QString &key, const QString &def);
    void setSetting(const QString &key, const QString &value);

private:
    QString m_dataDir;
    Database m_db;
};
