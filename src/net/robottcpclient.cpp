#include "net/robottcpclient.h"

#include "core/adapters.h"
#include "core/aes.h"
#include "core/helpers.h"
#include "core/tagtext.h"

namespace {

QString boolText(bool b)
{
    return b ? QStringLiteral("True") : QStringLiteral("False");
}

QString num(qint64 v)
{
    return QString::number(v);
}

// Bodies that carry a number: surrounding blanks and line breaks are tolerated.
qint64 bodyInt64(const QString &body, qint64 def)
{
    return StrToInt64Def(TrimCtl(body), def);
}

qint32 bodyInt32(const QString &body, qint32 def)
{
    return StrToIntDef(TrimCtl(body), def);
}

constexpr int kMaxFileTypeCount = 65536;

} // namespace

QString LoginMacValue()
{
    return EncryptWithAppKey(IpMacList(), AKS_256);
}

TRobotTcpClient::TRobotTcpClient(bool isSSL) : TPipeTcpClient(isSSL) {}

TRobotTcpClient::~TRobotTcpClient() = default;

void TRobotTcpClient::SetUserEncryptId(const QString &value)
{
    FUserEncryptId = value;
    FUserEncryptStr = QLatin1String("[EncryptCode]") + value + QLatin1String("[/EncryptCode]");
}

QString TRobotTcpClient::GetDesc(int code) const
{
    return ResultCodeText(code, FLanguage);
}

QString TRobotTcpClient::DirectText(quint8 code, const QString &text)
{
    SetTranType(code);
    TextToStream(text);
    DoRequestOrThrow();
    return StreamToText(FReceiveStream);
}

quint8 TRobotTcpClient::DirectStatus(quint8 code, const QString &text, QString &body)
{
    body = DirectText(code, text);
    return ReceiveHead.TranType;
}

quint8 TRobotTcpClient::Login(const QString &name, const QString &passWord, const QString &mac,
                              const QString &bindingIp, const QString &bindingPort, TLoginReply *reply)
{
    const QString text = QLatin1String("[Name]") + name + QLatin1String("[/Name][PassWord]") + passWord
                         + QLatin1String("[/PassWord][Mac]") + mac + QLatin1String("[/Mac][BindingIp]") + bindingIp
                         + QLatin1String("[/BindingIp][BindingPort]") + bindingPort + QLatin1String("[/BindingPort]");
    const QString body = Tcp_GetText(rq::Login, text);
    const quint8 status = ReceiveHead.TranType;
    if (status == st::LoginOk) {
        if (reply) {
            reply->UserName = GetTagValue(body, QStringLiteral("UserName"));
            reply->UserId = GetTagValue(body, QStringLiteral("UserId"));
            reply->UserId2 = StrToIntDef(GetTagValue(body, QStringLiteral("UserId2")), 0);
        }
    } else if (status == st::LoginRefusedR || status == st::LoginRefusedX) {
        FErrorTxt = body;
    }
    return status;
}

quint8 TRobotTcpClient::GetOrgStructure(QString &xmlTxt, TTranStyle tranStyle)
{
    QString text = QLatin1String("[userinfo]") + FUserEncryptStr + QLatin1String("[/userinfo][language]") + Lang()
                   + QLatin1String("[/language]");
    if (tranStyle == TS_DataImport)
        text += QLatin1String("[TranStyle]") + QLatin1String("3") + QLatin1String("[/TranStyle]");
    return DirectStatus(rq::GetOrgStructure, text, xmlTxt);
}

quint8 TRobotTcpClient::GetOwnerFolders(qint32 ownerId, QString &xmlTxt)
{
    SendHead.FreeInt = ownerId;
    return DirectStatus(rq::GetOwnerFolders, FUserEncryptStr, xmlTxt);
}

quint8 TRobotTcpClient::GetSubFolders(qint32 ownerId, qint32 folderId, QString &xmlTxt)
{
    SendHead.FreeInt = ownerId;
    SendHead.FreeInt2 = folderId;
    const quint8 status = DirectStatus(rq::GetSubFolders, FUserEncryptStr, xmlTxt);
    xmlTxt = TrimCtl(xmlTxt);
    return status;
}

quint8 TRobotTcpClient::GetMyGroups(QString &txt)
{
    return DirectStatus(rq::GetMyGroups, FUserEncryptStr, txt);
}

quint8 TRobotTcpClient::GetUserMsg(const QString &url, QString &txt)
{
    try {
        return DirectStatus(rq::GetUserMsg,
                            FUserEncryptStr + QLatin1String("[url]") + url + QLatin1String("[/url][language]") + Lang()
                                + QLatin1String("[/language]"),
                            txt);
    } catch (const std::exception &) {
        return 0;
    }
}

quint8 TRobotTcpClient::LoadFolderFiles(qint64 ownerId, qint64 folderId, QString &xmlTxt)
{
    return DirectStatus(rq::LoadFolderFiles,
                        FUserEncryptStr + QLatin1String("[FolderId]") + num(folderId) + QLatin1String("[/FolderId][OwnerId]")
                            + num(ownerId) + QLatin1String("[/OwnerId]"),
                        xmlTxt);
}

quint8 TRobotTcpClient::GetFoldersDesc(qint64 ownerId, QString &txt)
{
    return DirectStatus(rq::GetFoldersDesc,
                        FUserEncryptStr + QLatin1String("[OwnerId]") + num(ownerId) + QLatin1String("[/OwnerId]"), txt);
}

qint32 TRobotTcpClient::GetMaxFileSize()
{
    SetTranType(rq::GetMaxFileSize);
    FSendStream.clear();
    return DoRequest() ? ReceiveHead.FreeInt : 200;
}

QList<quint32> TRobotTcpClient::GetFileType()
{
    const QString body = DirectText(rq::GetMaxFileSize, QString());
    const qint32 n = StrToIntDef(GetTagValue(body, QStringLiteral("Count")), 0);
    if (n > kMaxFileTypeCount) {
        FErrorTxt = QStringLiteral("The server announced %1 file types (at most %2 are accepted); the list was refused.")
                        .arg(n)
                        .arg(kMaxFileTypeCount);
        throw ENetError(TNetErrorKind::Protocol, FErrorTxt);
    }
    // One pass over the body, and no more entries than it can hold ("[Type0][/Type0]"
    // is the shortest), so a hostile count over a large reply stays cheap.
    const qint32 fit = qint32(qMin<qsizetype>(n, body.size() / 15));
    const TTagIndex types(body, u"Type");
    QList<quint32> out;
    out.reserve(qMax(fit, 0));
    for (qint32 i = 0; i < fit; ++i) {
        const QString name = QLatin1String("Type") + QString::number(i);
        out << quint32(StrToInt64Def(types.Value(name), 1));
    }
    return out;
}

quint8 TRobotTcpClient::GetDownloadFiles(const QString &cond, TDownloadFilesReply &reply)
{
    QString body;
    const quint8 status = DirectStatus(rq::GetDownloadFiles, cond + FUserEncryptStr, body);
    reply.FileTxt = GetTagValue(body, QStringLiteral("F"));
    reply.FileSummary = GetTagValue(body, QStringLiteral("Summary"));
    reply.FolderInfo = GetTagValue(body, QStringLiteral("FolderInfo"));
    reply.ErrorTxt = GetTagValue(body, QStringLiteral("ErrorTxt"));
    return status;
}

quint8 TRobotTcpClient::GetFileList(qint64 ownerId, qint64 folderId, QString &txt)
{
    return DirectStatus(rq::GetFileList,
                        FUserEncryptStr + QLatin1String("[OwnerId]") + num(ownerId) + QLatin1String("[/OwnerId][FolderId]")
                            + num(folderId) + QLatin1String("[/FolderId]"),
                        txt);
}

quint8 TRobotTcpClient::GetFolderList(qint64 ownerId, qint64 folderId, QString &txt)
{
    return DirectStatus(rq::GetFolderList,
                        FUserEncryptStr + QLatin1String("[OwnerId]") + num(ownerId) + QLatin1String("[/OwnerId][FolderId]")
                            + num(folderId) + QLatin1String("[/FolderId]"),
                        txt);
}

quint8 TRobotTcpClient::GetAllUsersList(QString &txt)
{
    return DirectStatus(rq::GetAllUsersList, FUserEncryptStr, txt);
}

quint8 TRobotTcpClient::GetFilePrtList(const QString &cond, QString &txt)
{
    return DirectStatus(rq::GetFilePrtList,
                        FUserEncryptStr + cond + QLatin1String("[language]") + Lang() + QLatin1String("[/language]"), txt);
}

quint8 TRobotTcpClient::GetFileName(qint64 fileKey, QString &name)
{
    return DirectStatus(rq::GetFileName, FUserEncryptStr + QLatin1String("[Key]") + num(fileKey) + QLatin1String("[/Key]"),
                        name);
}

QString TRobotTcpClient::GetResourceInfo(qint64 fileKey)
{
    return DirectText(rq::GetResourceInfo, FUserEncryptStr + QLatin1String("[Key]") + num(fileKey) + QLatin1String("[/Key]"));
}

quint8 TRobotTcpClient::CreateFolder(qint64 ownerId, qint64 fatherFolderId, qint64 &newFolderId, const QString &folderName)
{
    QString body;
    const quint8 status = DirectStatus(rq::CreateFolder,
                                       FUserEncryptStr + QLatin1String("[Ownerid]") + num(ownerId)
                                           + QLatin1String("[/Ownerid][FatherFolderId]") + num(fatherFolderId)
                                           + QLatin1String("[/FatherFolderId][FolderName]") + folderName
                                           + QLatin1String("[/FolderName]"),
                                       body);
    newFolderId = bodyInt64(body, 0);
    return status;
}

void TRobotTcpClient::GetUploadLimit(qint64 limit[2])
{
    SendHead.FreeInt = 0;
    SendHead.FreeInt2 = 0;
    const QString body = Tcp_GetText(rq::GetUploadLimit, 0, 0);
    limit[0] = StrToInt64Def(GetTagValue(body, QStringLiteral("UploadLimitB")), 0);
    limit[1] = StrToInt64Def(GetTagValue(body, QStringLiteral("UploadLimitT")), 0);
}

QString TRobotTcpClient::GetServerFileNum(qint64 groupId)
{
    return Tcp_GetText(rq::GetServerFileNum, QLatin1String("[GroupID]") + num(groupId) + QLatin1String("[/GroupID]"));
}

qint64 TRobotTcpClient::GetUserSpecificFolderID(qint32 ownerId)
{
    return bodyInt64(Tcp_GetText(rq::GetUserSpecificFolderID, ownerId, 0), 0);
}

qint32 TRobotTcpClient::LockFile(qint64 fileKey)
{
    const qint32 v = bodyInt32(
        Tcp_GetText(rq::LockFile, FUserEncryptStr + QLatin1String("[FileKey]") + num(fileKey) + QLatin1String("[/FileKey]")),
        0);
    if (v != 1)
        FErrorTxt = GetDesc(v);
    return v;
}

qint32 TRobotTcpClient::UnLockFile(bool isCancel, qint64 fileKey)
{
    const qint32 v = bodyInt32(Tcp_GetText(rq::UnLockFile, FUserEncryptStr + QLatin1String("[FileKey]") + num(fileKey)
                                                               + QLatin1String("[/FileKey][IsCancel]") + boolText(isCancel)
                                                               + QLatin1String("[/IsCancel]")),
                               0);
    if (v != 1)
        FErrorTxt = GetDesc(v);
    return v;
}

QDateTime TRobotTcpClient::GetLastModifyTime(qint64 fileKey)
{
    const QString body = Tcp_GetText(rq::GetLastModifyTime, FUserEncryptStr + QLatin1String("[FileKey]") + num(fileKey)
                                                                + QLatin1String("[/FileKey]"));
    const QString t = TrimCtl(body);
    bool ok = false;
    const qint64 ticks = t.toLongLong(&ok);
    if (!ok)
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(t.left(64)));
    return DateTimeToQDateTime(TicksToDateTime(ticks));
}

QString TRobotTcpClient::GetNewVer(qint64 ownerId, qint64 folderId, bool isIncludeSub, const QString &cond)
{
    return Tcp_GetText(rq::GetNewVer, FUserEncryptStr + QLatin1String("[OwnerId]") + num(ownerId)
                                          + QLatin1String("[/OwnerId][FolderId]") + num(folderId)
                                          + QLatin1String("[/FolderID][IsIncludeSub]") + boolText(isIncludeSub)
                                          + QLatin1String("[/IsIncludeSub]") + cond);
}

QString TRobotTcpClient::GetServerPath(qint64 fileKey, bool isFolder)
{
    return Tcp_GetText(rq::GetServerPath, FUserEncryptStr + QLatin1String("[FileKey]") + num(fileKey)
                                              + QLatin1String("[/FileKey][IsFolder]") + boolText(isFolder)
                                              + QLatin1String("[/IsFolder]"));
}

quint8 TRobotTcpClient::SendFileMsg(qint64 ownerId, const QString &key)
{
    QString body;
    return DirectStatus(rq::SendFileMsg,
                        FUserEncryptStr + QLatin1String("[OwnerId]") + num(ownerId) + QLatin1String("[/OwnerId][Key]") + key
                            + QLatin1String("[/Key]"),
                        body);
}

quint8 TRobotTcpClient::GetLogs(const QString &cond, QString &txt)
{
    return DirectStatus(rq::GetLogs, FUserEncryptStr + cond, txt);
}

QString TRobotTcpClient::GetUserGroup()
{
    return Tcp_GetText(rq::GetUserGroup, FUserEncryptStr);
}

QString TRobotTcpClient::UpdateFileExtInfo(qint64 fileKey, const QString &fieldAndValue)
{
    const QString p = EncryptWithAppKey(num(fileKey), AKS_256);
    return Tcp_GetText(rq::UpdateFileExtInfo, FUserEncryptStr + QLatin1String("[Key]") + p + QLatin1String("[/Key][ExtInfo]")
                                                  + fieldAndValue + QLatin1String("[/ExtInfo]"));
}

void TRobotTcpClient::RefreshFolder(qint64 ownerId, qint64 folderId)
{
    Tcp_GetText(rq::RefreshFolder, QLatin1String("[OwnerId]") + num(ownerId) + QLatin1String("[/OwnerId][FolderId]")
                                       + num(folderId) + QLatin1String("[/FolderId]"));
}

qint32 TRobotTcpClient::IsInWriteAudit(qint64 fileKey)
{
    return bodyInt32(
        DirectText(rq::IsInWriteAudit, FUserEncryptStr + QLatin1String("[Key]") + num(fileKey) + QLatin1String("[/Key]")), 0);
}

quint8 TRobotTcpClient::RetrieveFileDesc(QString &desc, qint64 fileKey)
{
    return DirectStatus(rq::RetrieveFileDesc,
                        FUserEncryptStr + QLatin1String("[filekey]") + num(fileKey) + QLatin1String("[/filekey]"), desc);
}

quint8 TRobotTcpClient::UpdateFileDesc(const QString &desc, qint64 fileKey)
{
    QString body;
    return DirectStatus(rq::UpdateFileDesc,
                        FUserEncryptStr + QLatin1String("[filekey]") + num(fileKey) + QLatin1String("[/filekey][desc]") + desc
                            + QLatin1String("[/desc]"),
                        body);
}

qint32 TRobotTcpClient::CanDownloadFile(qint64 fileKey)
{
    const qint32 v = bodyInt32(DirectText(rq::CanDownloadFile, FUserEncryptStr + QLatin1String("[fileKey]") + num(fileKey)
                                                                   + QLatin1String("[/fileKey][language]") + Lang()
                                                                   + QLatin1String("[/language]")),
                               0);
    if (v != 10)
        FErrorTxt = GetDesc(v);
    return v;
}

quint8 TRobotTcpClient::ApiPostText(quint8 code, const QString &text, QString &reply)
{
    return DirectStatus(code, text, reply);
}
