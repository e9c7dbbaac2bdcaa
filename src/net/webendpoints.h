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
} // namespace WebEndpoints
