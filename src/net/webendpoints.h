#pragma once
// Addresses of the server's web pages, and the one-time ticket that names the
// logged-in user to a page opened outside the client.
#include <QString>

QString WebTicket(const QString &encryptId);
QString WebTicketText(int random, const QString &encryptId, const QString &localTime);
// Query values: "%XX" kept, the listed specials, controls, space and non-ASCII as UTF-8 %XX.
QString UrlEncodeValue(const QString &value);
// Everything but unreserved characters encoded: folder names travel in a query
// where "&", "=", "+" or "#" would otherwise cut or change them.
QString UrlEncodeComponent(const QString &value);

namespace WebEndpoints {
// base is the server URL: scheme, host, ":" and port.
QString QrConfig(const QString &base);
QString QrUrl(const QString &base);
QString SecurityClasses(const QString &base, qint64 userId);
QString ClientConfig(const QString &base, qint64 userId);
QString Logo(const QString &base, bool chinese);
QString Home(const QString &base, const QString &encryptId);
QString Doc(const QString &base);
QString PreviewOpen(const QString &base, qint64 fileKey, const QString &encryptId);
QString FolderAdd(const QString &base, const QString &encryptId, qint64 ownerId, qint64 fatherId, const QString &name);
QString FolderRename(const QString &base, const QString &encryptId, qint64 ownerId, qint64 folderId,
                     const QString &name);
QString GetPower(const QString &base, qint64 fileKey, const QString &encryptId);
QString PrintPage(const QString &base);
// ownerId2 is the user's numeric id; it is also part of the passphrase of the protected text.
QString ModifyPassword(const QString &base, qint64 ownerId2, const QString &oldPassword, const QString &newPassword);
QString PasswordChangeText(const QString &oldPassword, const QString &newPassword);
// Attaches an uploaded file to an archive record of the server.
QString ArchiveLink(const QString &base, qint64 fileKey, qint64 archiveId, qint64 ownerId2);
QString ArchiveLinkText(qint64 fileKey, qint64 archiveId, qint64 ownerId2);
QString Watermark(const QString &base);
QString ViewerHelper(const QString &base);
} // namespace WebEndpoints
