#include "portal.h"

#include "loginthrottle.h"

#include "core/wiredate.h"

#include <QCryptographicHash>
#include <QSqlQuery>
#include <QUrlQuery>

#include <functional>

namespace {

const QByteArray kHtml = QByteArrayLiteral("text/html; charset=utf-8");
// No script runs here; links may start the client (a custom protocol) and forms post to us.
// Same origin only so that the session cookie comes with our own forms.
const QByteArray kPortalPolicy = QByteArrayLiteral(
    "Content-Security-Policy: sandbox allow-forms allow-same-origin allow-top-navigation-to-custom-protocols;"
    " default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'\r\n");
constexpr int kMaxBulkKeys = 500;

const char kStyle[] =
    "*{box-sizing:border-box}"
    "body{margin:0;font:14px/1.45 'DejaVu Sans','WenQuanYi Micro Hei',Arial,sans-serif;color:#1d2733;background:#eef1f5}"
    "header{display:flex;align-items:center;gap:16px;padding:10px 20px;background:#1f4e79;color:#fff}"
    "header h1{font-size:18px;margin:0;flex:1}header a{color:#fff}"
    "header form{margin:0}header button{background:#2f6ea5;color:#fff;border:1px solid #8fb3d6}"
    ".wrap{display:flex;gap:16px;padding:16px 20px;align-items:flex-start}"
    "nav{flex:0 0 260px;background:#fff;border:1px solid #d4dbe3;border-radius:6px;padding:10px 12px}"
    "nav h2,main h2{font-size:13px;text-transform:uppercase;letter-spacing:.04em;color:#5b6b7c;margin:6px 0}"
    "nav ul{list-style:none;margin:0;padding-left:14px}nav>ul{padding-left:0}"
    "nav a{color:#1f4e79;text-decoration:none}nav a.cur{font-weight:bold;color:#0b2c4a}"
    "main{flex:1;min-width:0;background:#fff;border:1px solid #d4dbe3;border-radius:6px;padding:12px 16px}"
    ".path{color:#5b6b7c;margin-bottom:8px}"
    ".bar{display:flex;flex-wrap:wrap;gap:6px;margin:8px 0 12px}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{text-align:left;padding:6px 8px;border-bottom:1px solid #e3e8ee;vertical-align:top}"
    "th{background:#f5f7fa;font-weight:600;color:#3c4a59}td.num{text-align:right;white-space:nowrap}"
    "a.act,button{display:inline-block;padding:2px 8px;margin:1px 2px 1px 0;border:1px solid #9db4cc;"
    "border-radius:4px;background:#f4f8fc;color:#1f4e79;text-decoration:none;font-size:12px;cursor:pointer}"
    "a.act:hover,button:hover{background:#dceaf7}"
    ".held{color:#a3461a}.note{color:#5b6b7c}.err{color:#b00020}"
    "form.login{max-width:320px;margin:80px auto;background:#fff;padding:20px;border:1px solid #d4dbe3;border-radius:6px}"
    "form.login input,form.settings input{display:block;width:100%;margin:4px 0 10px;padding:5px}"
    "form.settings{max-width:420px}";

QByteArray h(const QString &s)
{
    return s.toHtmlEscaped().toUtf8();
}

QByteArray document(const QString &title, const QByteArray &body)
{
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + h(title) + "</title><style>" + kStyle
        + "</style></head><body>" + body + "</body></html>";
}

QByteArray ok(const QByteArray &body, const QByteArray &extra = {})
{
    return httpResponse(200, kHtml, body, extra + kPortalPolicy);
}

QByteArray seeOther(const QByteArray &location, const QByteArray &extra = {})
{
    return httpResponse(302, kHtml, {}, extra + "Location: " + location + "\r\n" + kPortalPolicy);
}

QByteArray linkValue(const QString &value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        const uchar b = uchar(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_')
            out += c;
        else if (b == ' ')
            out += "##"; // "%20" would split the option
        else
            out += '%' + QByteArray::number(b, 16).rightJustified(2, '0').toUpper();
    }
    return out;
}

QByteArray action(int code, const ClientLinkParams &params, const QString &label)
{
    return "<a class=\"act\" data-code=\"" + QByteArray::number(code) + "\" href=\"" + h(QString::fromLatin1(clientLink(code, params)))
        + "\">" + h(label) + "</a>";
}

QUrlQuery formOf(const HttpRequest &r)
{
    // Browsers send blanks in forms as "+" and a real "+" as "%2B".
    QByteArray body = r.body;
    body.replace('+', ' ');
    return QUrlQuery(QString::fromUtf8(body));
}

QString formValue(const QUrlQuery &form, const char *name)
{
    return form.queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
}

QString sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg(double(bytes) / 1024, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
}

} // namespace

QByteArray clientLink(int code, const ClientLinkParams &params)
{
    QByteArray cmd;
    for (const auto &[tag, value] : params)
        cmd += '[' + tag.toLatin1() + ']' + linkValue(value) + "[/" + tag.toLatin1() + ']';
    return "ZuDivuvo:%20-p%20[code]" + QByteArray::number(code) + "[/code][cmd]" + cmd + "[/cmd][bs]chrome[/bs]";
}

QByteArray Portal::formToken(const QString &sessionToken)
{
    return QCryptographicHash::hash(QByteArray(QByteArray("portal-form:") + sessionToken.toLatin1()), QCryptographicHash::Sha256).toHex().left(32);
}

QByteArray Portal::respond(const HttpRequest &r)
{
    if (r.path == "/portal/login" && r.method == "POST")
        return login(r);
    SessionInfo s;
    QByteArray answer;
    if (!begin(r, s, &answer))
        return answer;
    if (r.path == "/portal/logout" && r.method == "POST")
        return logout(s);
    if (r.path == "/portal/settings")
        return settings(r, s);
    if (r.path == "/portal/bulk" && r.method == "GET")
        return bulk(r, s);
    if ((r.path == "/portal" || r.path == "/portal/") && r.method == "GET")
        return browse(r, s);
    return httpResponse(404, {}, {});
}

bool Portal::begin(const HttpRequest &r, SessionInfo &s, QByteArray *answer)
{
    bool found = false;
    for (const QByteArray &part : r.headers.value("cookie").split(';')) {
        const QByteArray p = part.trimmed();
        if (p.startsWith("zsid=")) {
            found = m_store.resolveSession(QString::fromLatin1(p.mid(5)), s) == 0;
            break;
        }
    }
    if (!found) {
        *answer = loginPage({});
        return false;
    }
    // A page of another site can post here with our cookie; it cannot know the token.
    if (r.method == "POST" && formValue(formOf(r), "token").toLatin1() != formToken(s.token)) {
        *answer = httpResponse(403, "text/plain; charset=utf-8", "The form has expired; reload the page.", kPortalPolicy);
        return false;
    }
    return true;
}

QByteArray Portal::loginPage(const QString &error, int status)
{
    QByteArray body = "<form class=\"login\" method=\"post\" action=\"/portal/login\"><h2>ZuDivuvo</h2>";
    if (!error.isEmpty())
        body += "<p class=\"err\">" + h(error) + "</p>";
    body += "<label>User<input name=\"name\" autocomplete=\"username\"></label>"
            "<label>Password<input name=\"password\" type=\"password\" autocomplete=\"current-password\"></label>"
            "<button type=\"submit\">Log in</button></form>";
    return httpResponse(status, kHtml, document(QStringLiteral("ZuDivuvo - Log in"), body), kPortalPolicy);
}

QByteArray Portal::login(const HttpRequest &r)
{
    const QUrlQuery form = formOf(r);
    UserInfo u;
    if (checkLoginThrottled(m_store, m_peer, formValue(form, "name"), formValue(form, "password"), u) != 0)
        return loginPage(QStringLiteral("Wrong user name or password."));
    const QString token = m_store.createSession(u.id);
    return seeOther("/portal", "Set-Cookie: zsid=" + token.toLatin1() + "; HttpOnly; SameSite=Lax; Path=/\r\n");
}

QByteArray Portal::logout(const SessionInfo &s)
{
    m_store.db().run(QStringLiteral("DELETE FROM sessions WHERE token=?"), {s.token});
    return seeOther("/portal", "Set-Cookie: zsid=; Max-Age=0; HttpOnly; SameSite=Lax; Path=/\r\n");
}

QList<int> Portal::owners(const SessionInfo &s)
{
    QList<int> list{s.user.id};
    for (int g : m_store.groupsOf(s.user.id))
        if (!list.contains(g))
            list << g;
    return list;
}

QByteArray Portal::frame(const SessionInfo &s, const QString &title, const QByteArray &nav, const QByteArray &main)
{
    const QByteArray token = formToken(s.token);
    const QByteArray header = "<header><h1>ZuDivuvo &mdash; " + h(title) + "</h1><span>" + h(s.user.name)
        + "</span><a href=\"/portal\">Files</a><a href=\"/portal/settings\">Settings</a>"
          "<form method=\"post\" action=\"/portal/logout\"><input type=\"hidden\" name=\"token\" value=\"" + token
        + "\"><button type=\"submit\">Log out</button></form></header>";
    return ok(document(QStringLiteral("ZuDivuvo - ") + title,
                       header + "<div class=\"wrap\"><nav>" + nav + "</nav><main>" + main + "</main></div>"));
}

QByteArray Portal::browse(const HttpRequest &r, const SessionInfo &s)
{
    const QUrlQuery query(QString::fromLatin1(r.query));
    QList<int> visible = owners(s);
    int owner = query.queryItemValue(QStringLiteral("owner")).toInt();
    if (!visible.contains(owner) && !m_store.canAccess(s.user, owner))
        owner = s.user.id;
    if (!visible.contains(owner))
        visible << owner; // a group above the user's own, or any owner for an administrator
    qint64 folderId = query.queryItemValue(QStringLiteral("folder")).toLongLong();
    const auto folder = folderId > 1 ? m_store.folder(folderId) : std::nullopt;
    if (!folder || folder->ownerId != owner)
        folderId = 0;
    QList<qint64> open;
    const QList<FolderInfo> chain = folderId ? m_store.folderChain(folderId) : QList<FolderInfo>();
    for (const FolderInfo &f : chain)
        open << f.id;

    // Owners, with the chosen owner's tree opened along the chosen folder.
    QByteArray nav = "<h2>Owners</h2><ul>";
    std::function<QByteArray(qint64, int)> tree = [&](qint64 parent, int depth) -> QByteArray {
        QByteArray out = "<ul>";
        for (const FolderInfo &f : m_store.subFolders(owner, parent)) {
            out += "<li><a" + QByteArray(f.id == folderId ? " class=\"cur\"" : "") + " href=\"/portal?owner="
                + QByteArray::number(owner) + "&amp;folder=" + QByteArray::number(f.id) + "\">" + h(f.name) + "</a>";
            if (open.contains(f.id) && depth < kMaxFolderDepth)
                out += tree(f.id, depth + 1);
            out += "</li>";
        }
        return out + "</ul>";
    };
    for (int o : visible) {
        nav += "<li><a" + QByteArray(o == owner && folderId == 0 ? " class=\"cur\"" : "") + " href=\"/portal?owner="
            + QByteArray::number(o) + "\">" + h(m_store.ownerName(o)) + "</a>";
        if (o == owner)
            nav += tree(0, 0);
        nav += "</li>";
    }
    nav += "</ul>";

    QByteArray main = "<div class=\"path\">" + h(m_store.ownerName(owner));
    for (const FolderInfo &f : chain)
        main += " / " + h(f.name);
    main += "</div>";
    if (folderId == 0) {
        main += "<p class=\"note\">Choose a folder on the left.</p>";
        return frame(s, m_store.ownerName(owner), nav, main);
    }
    const QString ownerText = QString::number(owner);
    const QString folderText = QString::number(folderId);
    main += "<div class=\"bar\">"
        + action(16, {{QStringLiteral("folderId"), folderText}}, QStringLiteral("Work folder"))
        + action(17, {{QStringLiteral("ownerId"), ownerText}, {QStringLiteral("folderId"), folderText}}, QStringLiteral("Newest versions"))
        + action(21, {{QStringLiteral("ownerId"), ownerText}, {QStringLiteral("folderId"), folderText}, {QStringLiteral("arcid"), QStringLiteral("0")}},
                 QStringLiteral("Scan and upload"))
        + action(22, {{QStringLiteral("ownerId"), ownerText}, {QStringLiteral("folderId"), folderText}}, QStringLiteral("Upload clipboard files"))
        + "<button type=\"submit\" form=\"bulk\">Bulk download</button></div>";

    main += "<form id=\"bulk\" method=\"get\" action=\"/portal/bulk\"><input type=\"hidden\" name=\"owner\" value=\"" + ownerText.toLatin1()
        + "\"><input type=\"hidden\" name=\"folder\" value=\"" + folderText.toLatin1() + "\"></form>"
          "<table><thead><tr><th></th><th>Name</th><th>Size</th><th>Date</th><th>Checked out by</th><th>Versions</th><th>Actions</th></tr></thead><tbody>";
    const QList<FileInfo> files = m_store.filesIn(folderId);
    for (const FileInfo &f : files) {
        if (f.sc > s.user.clearance)
            continue;
        const auto current = m_store.version(f.key);
        const auto held = m_store.lock(f.key);
        const QString key = QString::number(f.key);
        const bool mine = held && held->userId == s.user.id;
        const bool other = held && !mine;
        main += "<tr data-key=\"" + key.toLatin1() + "\"><td><input type=\"checkbox\" form=\"bulk\" name=\"key\" value=\"" + key.toLatin1()
            + "\" aria-label=\"" + h(f.name) + "\"></td><td class=\"name\">" + h(f.name) + "</td><td class=\"num\">"
            + h(current ? sizeText(current->size) : QString()) + "</td><td class=\"num\">"
            + h(current ? FormatWireDateTime(TicksToDateTime(current->ticks)) : QString()) + "</td><td"
            + (other ? " class=\"held\"" : "") + ">" + h(held ? held->userName : QString()) + "</td><td>";
        QSqlQuery versions = m_store.db().exec(QStringLiteral("SELECT ver FROM versions WHERE file_key=? ORDER BY ver"), {f.key});
        while (versions.next()) {
            const QString ver = versions.value(0).toString();
            main += action(14, {{QStringLiteral("filekey"), key}, {QStringLiteral("filever"), ver}, {QStringLiteral("filename"), f.name}},
                           QStringLiteral("v") + ver);
        }
        // The viewer may change the file only when nobody else holds it.
        const QString ct = QStringLiteral("Readonly=%1,CanPrint=True,CheckVirtualPrint=False,SelectPrinter=True,CtrlC=True,")
                               .arg(other ? QStringLiteral("True") : QStringLiteral("False"));
        const ClientLinkParams one{{QStringLiteral("filekey"), key}, {QStringLiteral("filename"), f.name}};
        const ClientLinkParams list{{QStringLiteral("fileKeys"), key}, {QStringLiteral("fileName"), f.name}};
        main += "</td><td class=\"actions\">"
            + action(13, {{QStringLiteral("filekey"), key}, {QStringLiteral("filename"), f.name}, {QStringLiteral("ctparams"), ct}}, QStringLiteral("Preview"))
            + action(14, one, QStringLiteral("Open"));
        if (!other)
            main += action(15, one, QStringLiteral("Edit")) + action(26, one, QStringLiteral("Edit outside"));
        if (!held)
            main += action(18, list, QStringLiteral("Check out"));
        if (mine)
            main += action(19, list, QStringLiteral("Cancel check-out")) + action(20, list, QStringLiteral("Check in"));
        main += "</td></tr>";
    }
    if (files.isEmpty())
        main += "<tr><td colspan=\"7\" class=\"note\">No files in this folder.</td></tr>";
    main += "</tbody></table>";
    return frame(s, chain.isEmpty() ? m_store.ownerName(owner) : chain.last().name, nav, main);
}

QByteArray Portal::bulk(const HttpRequest &r, const SessionInfo &s)
{
    const QUrlQuery query(QString::fromLatin1(r.query));
    QStringList keys, names;
    QByteArray rows;
    for (const QString &k : query.allQueryItemValues(QStringLiteral("key"))) {
        const auto f = m_store.file(k.toLongLong());
        if (!f || f->deleted || !m_store.canAccess(s.user, f->ownerId) || f->sc > s.user.clearance
            || keys.contains(QString::number(f->key)) || keys.size() >= kMaxBulkKeys)
            continue;
        keys << QString::number(f->key);
        names << f->name;
        rows += "<li>" + h(f->name) + "</li>";
    }
    const QByteArray back = "/portal?owner=" + QByteArray::number(query.queryItemValue(QStringLiteral("owner")).toInt())
        + "&amp;folder=" + QByteArray::number(query.queryItemValue(QStringLiteral("folder")).toLongLong());
    QByteArray main;
    if (keys.isEmpty()) {
        main = "<p class=\"note\">Tick the files to download first.</p>";
    } else {
        main = "<p>" + QByteArray::number(keys.size()) + " files:</p><ul>" + rows + "</ul><div class=\"bar\">"
            + action(25, {{QStringLiteral("keys"), keys.join(u'|')}, {QStringLiteral("names"), names.join(u'|')}},
                     QStringLiteral("Download these files"))
            + "</div>";
    }
    main += "<p><a href=\"" + back + "\">Back to the folder</a></p>";
    return frame(s, QStringLiteral("Bulk download"), "<h2>Bulk download</h2>", main);
}

QByteArray Portal::settings(const HttpRequest &r, const SessionInfo &s)
{
    // Posted, so that the mail password never stands in an address or the history.
    const QUrlQuery form = formOf(r);
    const bool posted = r.method == "POST";
    const QString srv = formValue(form, "srv"), port = posted ? formValue(form, "port") : QStringLiteral("25");
    const QString ssl = posted ? formValue(form, "ssl") : QStringLiteral("1"), add = formValue(form, "add");
    const QString display = formValue(form, "displayname"), pass = formValue(form, "pass");
    auto field = [](const char *name, const char *label, const QString &value, const char *type = "text") -> QByteArray {
        return "<label>" + QByteArray(label) + "<input name=\"" + name + "\" type=\"" + type + "\" value=\"" + h(value) + "\"></label>";
    };
    QByteArray main = "<h2>Mail settings</h2><form class=\"settings\" method=\"post\" action=\"/portal/settings\">"
                      "<input type=\"hidden\" name=\"token\" value=\"" + formToken(s.token) + "\">"
        + field("srv", "SMTP server", srv) + field("port", "Port", port) + field("ssl", "Security (0, 1, 2)", ssl)
        + field("add", "Account", add) + field("displayname", "Sender name", display) + field("pass", "Password", QString(), "password")
        + "<button type=\"submit\">Prepare test</button></form>";
    if (posted) {
        const QString params = QStringLiteral("[srv]%1[/srv][port]%2[/port][ssl]%3[/ssl][add]%4[/add][displayname]%5[/displayname][pass]%6[/pass]")
                                   .arg(srv, port, ssl, add, display, pass);
        main += "<div class=\"bar\">" + action(23, {{QStringLiteral("params"), params}}, QStringLiteral("Test mail settings")) + "</div>";
    }
    return frame(s, QStringLiteral("Settings"), "<h2>Settings</h2><ul><li><a class=\"cur\" href=\"/portal/settings\">Mail</a></li></ul>", main);
}
