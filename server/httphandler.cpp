#include "httphandler.h"

#include "access.h"
#include "portal.h"
#include "propertypage.h"
#include "qrlogin.h"
#include "requesthandler.h"

#include "core/aes.h"
#include "core/helpers.h"
#include "core/resultcodes.h"
#include "core/tagtext.h"
#include "core/wiredate.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMimeDatabase>
#include <QUrl>
#include <QUrlQuery>

namespace {
constexpr int kMaxHeaders = 100;
constexpr qint64 kMaxHeaderBytes = 32 * 1024;
constexpr qint64 kMaxFormBody = 8192;
constexpr double kTicketWindowDays = 10.0 / (24 * 60);

const QByteArray kText = QByteArrayLiteral("text/plain; charset=utf-8");
const QByteArray kHtml = QByteArrayLiteral("text/html; charset=utf-8");
// Portal pages and previews run nothing of their own: stored files cannot act with the viewer's session.
const QByteArray kSandbox = QByteArrayLiteral("Content-Security-Policy: sandbox allow-forms; default-src 'none'; img-src 'self' data:; style-src 'unsafe-inline'; form-action 'self'\r\n");

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 403: return "Forbidden";
    case 405: return "Method Not Allowed";
    default: return "Error";
    }
}

QByteArray html(const QString &s)
{
    return s.toHtmlEscaped().toUtf8();
}

QByteArray page(const QString &title, const QByteArray &content)
{
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + html(title) + "</title></head><body><h1>"
        + html(title) + "</h1>" + content + "</body></html>";
}

QByteArray notLegalUser()
{
    return ResultCodeText(7, HSL_CN).toUtf8();
}

QByteArray decoded(const QByteArray &raw)
{
    // "+" stays "+": the client never encodes a blank that way.
    return QByteArray::fromPercentEncoding(raw);
}

// Logo and watermark are drawn once; the client only needs a real image.
QByteArray imageBytes(const char *format, QRgb colour, int w, int h)
{
    QImage img(w, h, QImage::Format_RGB888);
    img.fill(Qt::white);
    for (int y = h / 4; y < 3 * h / 4; ++y)
        for (int x = w / 4; x < 3 * w / 4; ++x)
            img.setPixel(x, y, colour);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, format);
    return out;
}
} // namespace

QByteArray httpResponse(int status, const QByteArray &contentType, const QByteArray &body, const QByteArray &extraHeaders)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (!contentType.isEmpty())
        out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\nCache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\n" + extraHeaders + "\r\n";
    return out + body;
}

bool readHttpRequest(ByteReader &in, const QByteArray &requestLine, HttpRequest &request)
{
    const QList<QByteArray> parts = requestLine.trimmed().split(' ');
    if (parts.size() != 3 || !parts.at(2).startsWith("HTTP/1."))
        return false;
    request.method = parts.at(0);
    request.target = parts.at(1);
    const qsizetype q = request.target.indexOf('?');
    request.path = q < 0 ? request.target : request.target.left(q);
    request.query = q < 0 ? QByteArray() : request.target.mid(q + 1);
    qint64 headerBytes = 0;
    for (int i = 0;; ++i) {
        QByteArray line;
        if (i > kMaxHeaders || headerBytes > kMaxHeaderBytes || !in.readLine(line, kMaxHttpLine))
            return false;
        headerBytes += line.size();
        line = line.trimmed();
        if (line.isEmpty())
            break;
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    if (request.method == "POST") {
        bool ok = false;
        const qint64 length = request.headers.value("content-length").toLongLong(&ok);
        if (!ok || length < 0 || length > kMaxFormBody)
            return false;
        request.body.resize(length);
        if (!in.readExact(request.body.data(), length))
            return false;
    }
    return true;
}

QByteArray queryValue(const QByteArray &query, const QByteArray &name)
{
    const QByteArray amp = '&' + query;
    const QByteArray key = '&' + name + '=';
    const qsizetype at = amp.indexOf(key);
    if (at < 0)
        return {};
    const qsizetype start = at + key.size();
    qsizetype end;
    if (name == "foldername") {
        end = amp.lastIndexOf("&rnd=");
        if (end < start)
            end = amp.size();
    } else {
        end = amp.indexOf('&', start);
        if (end < 0)
            end = amp.size();
    }
    return amp.mid(start, end - start);
}

void HttpHandler::run(const QByteArray &requestLine)
{
    HttpRequest request;
    if (!readHttpRequest(m_stream, requestLine, request)) {
        m_stream.writeAll(httpResponse(400, kText, {}));
        return;
    }
    if (!m_stream.writeAll(respond(request)) || m_bodyFile.isEmpty())
        return;
    m_stream.startTransfer();
    // Blocks as the reader takes them: a slow reader holds one block, not the file.
    QFile body(m_bodyFile);
    if (!body.open(QIODevice::ReadOnly))
        return;
    QByteArray buffer(int(kBlockSize), Qt::Uninitialized);
    for (qint64 left = m_bodySize; left > 0;) {
        const qint64 n = body.read(buffer.data(), qMin(left, kBlockSize));
        if (n <= 0 || !m_stream.writeAll(buffer.constData(), n))
            return;
        left -= n;
    }
}

QByteArray HttpHandler::respond(const HttpRequest &r)
{
    if (r.path == "/portal" || r.path.startsWith("/portal/"))
        return Portal(m_store, m_peer).respond(r);
    if (r.method != "GET" && !(r.method == "POST" && (r.path == "/doc" || r.path == "/QRLogin")))
        return httpResponse(405, kText, {});
    const QByteArray opr = queryValue(r.query, "opr");
    if (r.path == "/QRLogin")
        return QrLoginPages(m_store, m_tls, m_peer).respond(r);
    if (r.path == "/user" && opr == "sc")
        return httpResponse(200, kText, m_store.setting(QStringLiteral("classifications"), QString()).toUtf8());
    if (r.path == "/linkX" && opr == "clientconfig")
        return httpResponse(200, kText, "[VersionRemark]0[/VersionRemark][OnlyTimeCheck]0[/OnlyTimeCheck]");
    if (r.path == "/static/clientLogo2.png" || r.path == "/static/clientLogo_ENG2.png")
        return httpResponse(200, "image/png", imageBytes("PNG", qRgb(0x1F, 0x6F, 0xB5), 120, 40));
    if (r.path == "/static/watermark.bmp")
        return httpResponse(200, "image/bmp", imageBytes("BMP", qRgb(0x90, 0x90, 0x90), 200, 80));
    if (r.path == "/modifypass")
        return modifyPassword(r);
    if (r.path == "/folderadd")
        return folderAdd(r);
    if (r.path == "/folderrename")
        return folderRename(r);
    if (r.path == "/getPower")
        return power(r);
    if (r.path == "/arc/input2")
        return archiveLink(r);
    if (r.path == "/doc")
        return docPage(r);
    if (r.path == "/getPrtHtm" && opr == "page") {
        // Scripts of our own only, inline; nothing is fetched from elsewhere.
        return httpResponse(200, kHtml, propertyPageHtml(propertyDefs(m_store)),
                            "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'\r\n");
    }
    if (r.path == "/previewopen")
        return previewOpen(r);
    if (r.path == "/index" || r.path == "/")
        return indexPage(r);
    // Missing resources answer with an empty body, so nothing is saved from an error page.
    return httpResponse(404, {}, {});
}

bool HttpHandler::sessionFromTicket(const QByteArray &ticket, SessionInfo &session)
{
    const QString plain = DecryptWithAppKey(QString::fromLatin1(ticket), AKS_128);
    const auto dt = ParseWireDateTime(GetTagValue(plain, QStringLiteral("Dt")));
    if (plain.isEmpty() || !dt || qAbs(*dt - NowDateTime()) > kTicketWindowDays)
        return false;
    if (m_store.resolveSession(GetTagValue(plain, QStringLiteral("U")), session) != 0)
        return false;
    // A ticket works once: a copied address cannot open another session.
    Database &db = m_store.db();
    db.run(QStringLiteral("DELETE FROM web_tickets WHERE seen<?"), {NowDateTime() - 2 * kTicketWindowDays});
    // Kept by what it says, not how it was spelt: lower-case hex or a stray digit is the same ticket.
    const QString used = QString::fromLatin1(QCryptographicHash::hash(plain.toUtf8(), QCryptographicHash::Sha256).toHex());
    return db.run(QStringLiteral("INSERT OR IGNORE INTO web_tickets(ticket, seen) VALUES(?, ?)"), {used, NowDateTime()})
        && db.value(QStringLiteral("SELECT changes()")).toInt() == 1;
}

bool HttpHandler::sessionFromCookie(const HttpRequest &r, SessionInfo &session)
{
    for (const QByteArray &part : r.headers.value("cookie").split(';')) {
        const QByteArray p = part.trimmed();
        if (p.startsWith("zsid="))
            return m_store.resolveSession(QString::fromLatin1(p.mid(5)), session) == 0;
    }
    return false;
}

QByteArray HttpHandler::folderAdd(const HttpRequest &r)
{
    SessionInfo s;
    if (!sessionFromTicket(queryValue(r.query, "uid"), s))
        return httpResponse(200, kText, notLegalUser());
    const int owner = queryValue(r.query, "ownerid").toInt();
    const qint64 parent = queryValue(r.query, "fatherid").toLongLong();
    const QString name = QString::fromUtf8(decoded(queryValue(r.query, "foldername"))).trimmed();
    if (!m_store.canAccess(s.user, owner))
        return httpResponse(200, kText, serverText(s.lang, "No privilege of create folder", "没有创建文件夹的权限").toUtf8());
    qint64 id = 0;
    Transaction t(m_store.db());
    const int rc = m_store.createFolder(owner, parent <= 1 ? 0 : parent, name, &id);
    if (rc == 0 && t.commit())
        return httpResponse(200, kText, QByteArray::number(id));
    if (rc == 21)
        return httpResponse(200, kText, serverText(s.lang, "Invalid folder name", "文件夹名无效").toUtf8());
    return httpResponse(200, kText, serverText(s.lang, "duplicate folder or no father folder", "文件夹重名或父文件夹不存在").toUtf8());
}

QByteArray HttpHandler::folderRename(const HttpRequest &r)
{
    SessionInfo s;
    if (!sessionFromTicket(queryValue(r.query, "uid"), s))
        return httpResponse(200, kText, notLegalUser());
    const int owner = queryValue(r.query, "ownerid").toInt();
    const qint64 id = queryValue(r.query, "folderid").toLongLong();
    const QString name = QString::fromUtf8(decoded(queryValue(r.query, "foldername"))).trimmed();
    const auto folder = m_store.folder(id);
    if (!folder || folder->ownerId != owner || !m_store.canAccess(s.user, owner))
        return httpResponse(200, kText, serverText(s.lang, "The folder doesn't exist.", "文件夹不存在。").toUtf8());
    if (!isValidItemName(name))
        return httpResponse(200, kText, serverText(s.lang, "Invalid folder name", "文件夹名无效").toUtf8());
    Transaction t(m_store.db());
    const qint64 clash = m_store.findFolder(owner, folder->parentId, name);
    if ((clash != 0 && clash != id) || (folder->parentId != 0 && m_store.fileByName(folder->parentId, name)))
        return httpResponse(200, kText, serverText(s.lang, "duplicate folder or no father folder", "文件夹重名或父文件夹不存在").toUtf8());
    if (!m_store.db().run(QStringLiteral("UPDATE folders SET name=? WHERE id=?"), {name, id}) || !t.commit())
        return httpResponse(200, kText, serverText(s.lang, "The folder could not be renamed.", "文件夹无法重命名。").toUtf8());
    return httpResponse(200, kText, "ok");
}

QByteArray HttpHandler::modifyPassword(const HttpRequest &r)
{
    const int userId = queryValue(r.query, "userid").toInt();
    const QString plain = DecryptText(QString::fromLatin1(queryValue(r.query, "ps")), QString::number(userId) + kAppPassphrase, AKS_256);
    const QString oldPs = GetTagValue(plain, QStringLiteral("OldPs"), false);
    const QString newPs = GetTagValue(plain, QStringLiteral("NewPs"), false);
    const auto u = m_store.user(userId);
    UserInfo checked;
    if (!u || checkLoginThrottled(m_store, m_peer, u->login, oldPs, checked) != 0)
        return httpResponse(200, kText, serverText(2, "Wrong password.", "原密码错误。").toUtf8());
    if (newPs.size() < 4 || newPs.size() > 20)
        return httpResponse(200, kText, serverText(2, "The new password must have 4 to 20 characters.", "新密码长度应为4到20个字符。").toUtf8());
    if (!m_store.setPassword(userId, newPs))
        return httpResponse(200, kText, serverText(2, "Cannot change the password.", "无法修改密码。").toUtf8());
    return httpResponse(200, kText, "ok");
}

QByteArray HttpHandler::archiveLink(const HttpRequest &r)
{
    const QString plain = DecryptWithAppKey(QString::fromLatin1(queryValue(r.query, "sn")), AKS_256);
    const qint64 key = StrToInt64Def(GetTagValue(plain, QStringLiteral("filekey")), 0);
    const int arcId = StrToIntDef(GetTagValue(plain, QStringLiteral("arcid")), 0);
    const int userId = StrToIntDef(GetTagValue(plain, QStringLiteral("uid")), 0);
    // The text is protected with a public passphrase only: link nothing but the
    // caller's own fresh uploads.
    const int fresh = m_store.db().value(QStringLiteral("SELECT COUNT(*) FROM versions WHERE file_key=? AND uploaded_by=? AND uploaded_at>?"),
                                         {key, userId, NowDateTime() - 1.0 / 24}, 0).toInt();
    if (arcId <= 0 || fresh == 0)
        return httpResponse(200, kText, "error");
    if (!m_store.db().run(QStringLiteral("INSERT OR IGNORE INTO archive_links(arc_id, file_key, user_id, at) VALUES(?, ?, ?, ?)"),
                          {arcId, key, userId, NowDateTime()}))
        return httpResponse(200, kText, "error");
    return httpResponse(200, kText, "ok");
}

QByteArray HttpHandler::power(const HttpRequest &r)
{
    SessionInfo s;
    const qint64 key = queryValue(r.query, "filekey").toLongLong();
    if (m_store.resolveSession(QString::fromLatin1(queryValue(r.query, "uid")), s) != 0
        || Access::fileRefusal(m_store, s, key) != 0)
        return httpResponse(200, kText, {});
    QByteArray out;
    for (int i = 0; i < 64; ++i)
        out += '[' + QByteArray::number(i) + "]Y[/" + QByteArray::number(i) + ']';
    return httpResponse(200, kText, out);
}

QByteArray HttpHandler::indexPage(const HttpRequest &r)
{
    SessionInfo s;
    const QByteArray sn = queryValue(r.query, "sn");
    if (!sn.isEmpty() && sessionFromTicket(sn, s))
        return httpResponse(302, kText, {}, "Set-Cookie: zsid=" + s.token.toLatin1() + "; HttpOnly; Path=/\r\nLocation: /index\r\n" + kSandbox);
    if (!sessionFromCookie(r, s))
        return docPage(r);
    QByteArray content = "<p>" + html(s.user.name) + "</p><ul>";
    const QList<int> owners = QList<int>{s.user.id} + m_store.groupsOf(s.user.id);
    for (int owner : owners) {
        content += "<li>" + html(m_store.ownerName(owner)) + "<ul>";
        for (const FolderInfo &f : m_store.subFolders(owner, 0))
            content += "<li>" + html(f.name) + "</li>";
        content += "</ul></li>";
    }
    content += "</ul><p><a href=\"/doc\">Messages</a> <a href=\"/portal\">Portal</a></p>";
    return httpResponse(200, kHtml, page(QStringLiteral("ZuDivuvo"), content), kSandbox);
}

QByteArray HttpHandler::docPage(const HttpRequest &r)
{
    SessionInfo s;
    QByteArray cookie;
    if (r.method == "POST") {
        const QUrlQuery form(QString::fromUtf8(r.body));
        UserInfo u;
        const QString name = form.queryItemValue(QStringLiteral("name"), QUrl::FullyDecoded);
        const QString password = form.queryItemValue(QStringLiteral("password"), QUrl::FullyDecoded);
        if (checkLoginThrottled(m_store, m_peer, name, password, u) == 0) {
            s.token = m_store.createSession(u.id);
            s.user = u;
            cookie = "Set-Cookie: zsid=" + s.token.toLatin1() + "; HttpOnly; Path=/\r\n";
        }
    } else if (!sessionFromCookie(r, s)) {
        s.user.id = 0;
    }
    if (s.user.id == 0) {
        // No browser session yet: the message link carries no ticket.
        return httpResponse(200, kHtml, page(QStringLiteral("Login"),
            "<form method=\"post\" action=\"/doc\"><input name=\"name\"><input name=\"password\" type=\"password\">"
            "<input type=\"submit\" value=\"OK\"></form>"
            // A newcomer who opens the server's address finds the pages with the client's links there.
            "<p><a href=\"/portal\">Portal</a></p>"), kSandbox);
    }
    QByteArray content = "<ul>";
    QSqlQuery q = m_store.db().exec(QStringLiteral("SELECT text, created FROM messages WHERE user_id=? ORDER BY id DESC LIMIT 200"), {s.user.id});
    while (q.next())
        content += "<li>" + html(FormatWireDateTime(q.value(1).toDouble())) + " " + html(q.value(0).toString()) + "</li>";
    content += "</ul>";
    m_store.db().run(QStringLiteral("UPDATE messages SET read_at=? WHERE user_id=? AND read_at IS NULL"), {NowDateTime(), s.user.id});
    return httpResponse(200, kHtml, page(QStringLiteral("Messages"), content), cookie + kSandbox);
}

QByteArray HttpHandler::previewOpen(const HttpRequest &r)
{
    SessionInfo s;
    if (!sessionFromTicket(queryValue(r.query, "uid"), s) && !sessionFromCookie(r, s))
        return httpResponse(200, kHtml, page(QStringLiteral("ZuDivuvo"), "<p>" + notLegalUser() + "</p>"), kSandbox);
    FileInfo f;
    const qint64 key = queryValue(r.query, "filekey").toLongLong();
    if (const int rc = Access::fileRefusal(m_store, s, key, &f))
        return httpResponse(200, kHtml, page(QStringLiteral("ZuDivuvo"), "<p>" + QByteArray::number(rc) + "</p>"), kSandbox);
    const auto v = m_store.version(key);
    const QString path = v ? m_store.blobPath(v->blob) : QString();
    if (!v || v->size > 64 * 1024 * 1024 || QFileInfo(path).size() != v->size)
        return httpResponse(404, {}, {});
    const QByteArray mime = QMimeDatabase().mimeTypeForFile(f.name, QMimeDatabase::MatchExtension).name().toLatin1();
    // Only what a browser shows without running anything opens in place: plain pictures,
    // PDF and plain text. SVG, HTML, XML and the rest come as downloads.
    static const QList<QByteArray> shown{"image/png", "image/jpeg", "image/gif", "image/bmp", "image/webp", "application/pdf", "text/plain"};
    const bool inlineKind = shown.contains(mime);
    const QByteArray type = mime == "text/plain" ? kText : inlineKind ? mime : QByteArray("application/octet-stream");
    const QByteArray disposition = (inlineKind ? "inline" : "attachment") + QByteArray("; filename*=UTF-8''") + QUrl::toPercentEncoding(f.name);
    m_store.log(s.user.id, QStringLiteral("preview"), key);
    m_bodyFile = path;
    m_bodySize = v->size;
    QByteArray head = httpResponse(200, type, {}, "Set-Cookie: zsid=" + s.token.toLatin1() + "; HttpOnly; Path=/\r\nContent-Disposition: " + disposition + "\r\n" + kSandbox);
    head.replace(QByteArray("Content-Length: 0\r\n"), QByteArray("Content-Length: " + QByteArray::number(v->size) + "\r\n"));
    return head;
}
