#pragma once
// The server API on the framed exchange, and the file
// channel on the same host and port. One client per operation or dialog, used by
// one thread; every request is its own connection.
#include "core/resultcodes.h"
#include "core/wiredate.h"
#include "net/pipetcpclient.h"
#include "net/tidyfile.h"

#include <QDateTime>
#include <QIODevice>
#include <QList>
#include <atomic>
#include <exception>
#include <functional>

class TRobotTcpClient;

using TDoTransmitState = std::function<void(TRobotTcpClient *sender, qint64 allSize, qint64 complateSize)>;
using TDoWorkEx = std::function<void(TRobotTcpClient *sender)>;
using TDoSocketError = std::function<void(const std::exception &error)>;

// Request codes of the server API.
namespace rq {
constexpr quint8 GetUserGroup = 33, GetFileList = 35, GetLogs = 36, GetResourceInfo = 37, GetServerFileNum = 38,
                 GetUploadLimit = 39, FolderFileList = 40, SubFolderId = 41, GetFoldersDesc = 42, RefreshFolder = 44,
                 GetFilePrtList = 45, IsInWriteAudit = 46, GetFolderList = 47, GetAllUsersList = 48,
                 RetrieveFileDesc = 49, UpdateFileDesc = 50, CanDownloadFile = 51, LocalNewerCheck = 52,
                 PreviewLog = 53, UpdateFileExtInfo = 54, GetNewVer = 63, GetOwnerFolders = 64, LoadFolderFiles = 65,
                 GetDownloadFiles = 66, GetMaxFileSize = 68, GetSubFolders = 69, GetFileName = 72,
                 GetUserSpecificFolderID = 73, SendFileMsg = 74, UnLockFile = 75, LockFile = 76,
                 GetLastModifyTime = 77, GetServerPath = 78, CreateFolder = 79, Login = 84, GetOrgStructure = 90,
                 GetMyGroups = 92, GetUserMsg = 108, PollInterval = 109, DeleteFolder = 142, DeleteFile = 144,
                 ServerStatus = 22;
}

// Reply status codes the client interprets.
namespace st {
constexpr quint8 Ok = 80, NameOk = 60, LoginOk = 86, LoginRefusedR = 82, LoginRefusedX = 88, Unreachable = 20;
}

// Result codes of the file channel and the client's own additions.
namespace fc {
constexpr int Nothing = 0;        // nothing sent (missing file, owner 0); also: cancelled by the caller
constexpr int Network = 2;        // connection closed, socket error, time-out, bad data from the server
constexpr int Stored = 3;         // upload stored
constexpr int Download = 10;      // download complete
constexpr int LocalWrite = 11;
constexpr int LocalOpen = 12;
constexpr int Review = 29;        // new version waits for review
constexpr int ServerOlder = 52;   // DownloadFile2: local copy newer, nothing downloaded
constexpr int BadTrailer = 101;   // the server ended the body with a failure trailer
constexpr int Other = 127;
}

constexpr qint64 kFileBlockSize = 32768;
// constexpr (internal linkage): an inline variable of this name would clash with the
// reference server's own when both are linked into one test binary.
constexpr char kFileRequestLine[] = "ZYVEK_FILE /TCP/1.0\r\n";  // 21 bytes
constexpr qint32 kUploadComplete = 65520;
constexpr qint32 kUploadStoppedEarly = 65518;

struct TLoginReply {
    QString UserName;
    QString UserId;   // the encrypted id, FUserEncryptId of later clients
    qint32 UserId2 = 0;
};

struct TDownloadFilesReply {
    QString FileTxt;
    QString FileSummary;
    QString FolderInfo;
    QString ErrorTxt;
};

// The login request's Mac value: IpMacList protected with the
// application passphrase and the 256-bit key size.
QString LoginMacValue();

// Where a download's bytes go until it is complete; a partial one left there
// is resumed by the next download of the same server version.
QString PartialDownloadName(const QString &target);

class TRobotTcpClient : public TPipeTcpClient
{
public:
    explicit TRobotTcpClient(bool isSSL = false);
    ~TRobotTcpClient() override;

    void SetUserEncryptId(const QString &value);
    QString UserEncryptId() const { return FUserEncryptId; }
    QString UserEncryptStr() const { return FUserEncryptStr; }
    THS_Language FLanguage = HSL_NONE;

    TDoTransmitState FDoTransmit;
    TDoTransmitState FDoOver;
    TDoWorkEx FDoWorkEx;
    TDoSocketError FDoSocketError;
    // Cancel flag of a running transfer, owned by the caller; 1 stops it after the current block.
    std::atomic<qint32> *PIsBreak = nullptr;
    bool FIsPostMessage = true;
    bool FIsBackupOldFile = true;

    QString GetDesc(int code) const;

    // ---- Server API. "Rises" = transport errors are thrown as ENetError after the
    // connection is closed; the other operations swallow them (GetLastError has the text).
    quint8 Login(const QString &name, const QString &passWord, const QString &mac, const QString &bindingIp,
                 const QString &bindingPort, TLoginReply *reply);
    quint8 GetOrgStructure(QString &xmlTxt, TTranStyle tranStyle);                 // rises
    quint8 GetOwnerFolders(qint32 ownerId, QString &xmlTxt);                       // rises
    quint8 GetSubFolders(qint32 ownerId, qint32 folderId, QString &xmlTxt);        // rises
    quint8 GetMyGroups(QString &txt);                                              // rises
    quint8 GetUserMsg(const QString &url, QString &txt);                           // 0 on any error
    quint8 LoadFolderFiles(qint64 ownerId, qint64 folderId, QString &xmlTxt);      // rises
    quint8 GetFoldersDesc(qint64 ownerId, QString &txt);                           // rises
    qint32 GetMaxFileSize();                                                       // 200 on failure
    QList<quint32> GetFileType();                                                  // rises
    // cond is the task text of a TBatchTransport.
    quint8 GetDownloadFiles(const QString &cond, TDownloadFilesReply &reply);      // rises
    quint8 GetFileList(qint64 ownerId, qint64 folderId, QString &txt);             // rises
    quint8 GetFolderList(qint64 ownerId, qint64 folderId, QString &txt);           // rises
    quint8 GetAllUsersList(QString &txt);                                          // rises
    quint8 GetFilePrtList(const QString &cond, QString &txt);                      // rises
    quint8 GetFileName(qint64 fileKey, QString &name);                             // rises
    QString GetResourceInfo(qint64 fileKey);                                       // rises
    quint8 CreateFolder(qint64 ownerId, qint64 fatherFolderId, qint64 &newFolderId, const QString &folderName); // rises
    void GetUploadLimit(qint64 limit[2]);
    QString GetServerFileNum(qint64 groupId);
    qint64 GetUserSpecificFolderID(qint32 ownerId);
    qint32 LockFile(qint64 fileKey);
    qint32 UnLockFile(bool isCancel, qint64 fileKey);
    QDateTime GetLastModifyTime(qint64 fileKey);  // throws EConvertError for a body that is not a number
    QString GetNewVer(qint64 ownerId, qint64 folderId, bool isIncludeSub, const QString &cond);
    QString GetServerPath(qint64 fileKey, bool isFolder);
    quint8 SendFileMsg(qint64 ownerId, const QString &key);                        // rises
    quint8 GetLogs(const QString &cond, QString &txt);                             // rises
    QString GetUserGroup();
    QString UpdateFileExtInfo(qint64 fileKey, const QString &fieldAndValue);
    void RefreshFolder(qint64 ownerId, qint64 folderId);
    qint32 IsInWriteAudit(qint64 fileKey);                                         // rises
    quint8 RetrieveFileDesc(QString &desc, qint64 fileKey);                        // rises
    quint8 UpdateFileDesc(const QString &desc, qint64 fileKey);                    // rises
    qint32 CanDownloadFile(qint64 fileKey);                                        // rises
    quint8 ApiPostText(quint8 code, const QString &text, QString &reply);          // rises

    // ---- The file channel.
    quint8 UploadFile(qint64 destOwnerId, const QString &subFolderName, qint64 &newFileKey, const TTidyFile &file,
                      qint64 destFolderId);
    quint8 UploadFile2(const QString &localFileName, const QString &extraParams, qint64 fileKey);
    // The whole device is the body (offsets from 0; resume may skip ahead), so it
    // must be random access (QFile, QBuffer).
    qint32 UploadKmItemFile(const QString &ext, QIODevice *source, quint8 &firstStatus, qint64 itemKey);
    quint8 DownloadFile(const QString &localFileName, const QString &params, qint64 fileKey);
    quint8 DownloadFile(const QString &localFileName, const QString &params, TDateTime &serverModifyTime,
                        qint64 fileKey);
    quint8 DownloadFile2(const QString &localFileName, TDateTime &serverModifyTime, qint64 fileKey);
    // Replaces localFileName (or creates it) with the server's copy of fileKey: the
    // old file stays as it is until the download is complete, a stale numbered copy
    // "<name>.1" goes once it is, and a failed or cancelled download leaves no partial
    // copy behind. keepNewerLocal keeps a newer local file (DownloadFile2's rule).
    // Errors in GetLastError, a kept newer copy in LastNotice.
    quint8 ReplaceWithServerCopy(const QString &localFileName, qint64 fileKey, bool keepNewerLocal = false);
    // DownloadFile into folder under a name or relative path that came from the
    // server: the local name is built by SafeJoin (core/safepath.h). A name that
    // would leave the folder is refused with code 11 and nothing is sent.
    quint8 DownloadFileInto(const QString &folder, const QString &serverName, const QString &params,
                            TDateTime &serverModifyTime, qint64 fileKey, QString *localFileName = nullptr);
    // Errors are not caught (they rise as ENetError); returns the status.
    quint8 ApiReceiveFile(const QString &requestText, const QString &localFileName, TDateTime modifyTime);

    // After a replacing download: the backup that was kept because the replaced
    // local copy was newer than the server's (empty when none), and a note saying so.
    QString LastKeptBackup() const { return FLastKeptBackup; }
    QString LastNotice() const { return FLastNotice; }

private:
    QString DirectText(quint8 code, const QString &text);   // rises
    quint8 DirectStatus(quint8 code, const QString &text, QString &body);
    QString Lang() const { return QString::number(int(FLanguage)); }

    // File channel internals (filechannel.cpp).
    struct SendResult {
        qint64 size = 0;
        qint64 remaining = 0;
        bool stoppedEarly = false;
        bool cancelled = false;
    };
    struct ReceiveResult {
        bool complete = false;
        bool cancelled = false;
        qint64 received = 0;
    };
    void OpenFileChannel(qint32 operation, const QString &params);
    SendResult SendBodyWithResume(QIODevice &source, qint64 size, bool useTransmitEvent, bool resume);
    ReceiveResult ReceiveBody(const QString &targetName, bool isReplace, TDateTime serverTime, bool stamp);
    int MapTransferError(const std::exception &e, bool waitReadTimeoutOnClose);
    QString FileErrorText(int row) const;
    bool IsBreak() const;
    QString CancelledText() const;

    QString FUserEncryptId;
    QString FUserEncryptStr;
    QString FLastKeptBackup;
    QString FLastNotice;
};
