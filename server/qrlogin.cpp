#include "qrlogin.h"

#include "requesthandler.h"

#include "core/aes.h"
#include "core/resultcodes.h"
#include "core/wiredate.h"

#include <QRegularExpression>
#include <QUrlQuery>

#ifdef ZUDIVUVO_HAVE_QRENCODE
#include <qrencode.h>
#endif

namespace {
const QByteArray kText = QByteArrayLiteral("text/plain; charset=utf-8");
const QByteArray kHtml = QByteArrayLiteral("text/html; charset=utf-8");

enum State { Pending = 0, Approved = 1, Taken = 2, Cancelled = 3 };

QByteArray esc(const QString &s)
{
    return s.toHtmlEscaped().toUtf8();
}

// Codes are ours: 32 hex digits. Anything else is not looked up.
bool validCode(const QByteArray &qid)
{
    static const QRegularExpression re(QStringLiteral("^[0-9A-F]{32}$"));
    return re.match(QString::fromLatin1(qid)).hasMatch();
}

QByteArray svgCode(const QByteArray &text)
{
#ifdef ZUDIVUVO_HAVE_QRENCODE
    QRcode *code = QRcode_encodeString8bit(text.constData(), 0, QR_ECLEVEL_M);
    if (!code)
        return {};
    const int n = code->width;
    const int quiet = 4;
    QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"240\" height=\"240\" viewBox=\"0 0 "
        + QByteArray::number(n + 2 * quiet) + ' ' + QByteArray::number(n + 2 * quiet)
        + "\" shape-rendering=\"crispEdges\"><rect width=\"100%\" height=\"100%\" fill=\"#fff\"/><path fill=\"#000\" d=\"";
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            if (code->data[y * n + x] & 1)
                svg += 'M' + QByteArray::number(x + quiet) + ',' + QByteArray::number(y + quiet) + "h1v1h-1z";
    svg += "\"/></svg>";
    QRcode_free(code);
    return svg;
#else
    Q_UNUSED(text);
    return {};
#endif
}

QByteArray htmlPage(const QByteArray &title, const QByteArray &body)
{
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>"
        + title + "</title><style>body{font-family:sans-serif;text-align:center;margin:24px}"
                  "p{color:#555}a{word-break:break-all}</style></head><body>" + body + "</body></html>";
}
} // namespace

QString webIdentity(Store &store, int userId, QString *tokenOut)
{
    const auto user = store.user(userId);
    if (!user || user->disabled)
        return {};
    const QString token = store.createSession(userId);
    if (tokenOut)
        *tokenOut = token;
    return EncryptWithAppKey(QStringLiteral("[UserId2]%1[/UserId2][UserId]%2[/UserId][UserName]%3[/UserName]")
                                 .arg(userId)
                                 .arg(token, user->name),
                             AKS_128);
}

QByteArray QrLoginPages::respond(const HttpRequest &r)
{
    const QByteArray opr = queryValue(r.query, "opr");
    if (opr == "config")
        return config();
    if (opr == "url")
        return newCode();
    if (opr == "page")
        return codePage(r);
    if (opr == "poll")
        return poll(r);
    if (opr == "scan")
        return scan(r);
    return httpResponse(404, {}, {});
}

QByteArray QrLoginPages::config()
{
    return httpResponse(200, kText, m_store.setting(QStringLiteral("qr_mode"), QStringLiteral("0")).toUtf8());
}

void QrLoginPages::dropOldCodes()
{
    Database &db = m_store.db();
    const double before = NowDateTime() - 2 * kLifetimeDays;
    db.run(QStringLiteral("DELETE FROM sessions WHERE token IN (SELECT token FROM scan_logins WHERE state=? AND created<?)"),
           {int(Approved), before});
    db.run(QStringLiteral("DELETE FROM scan_logins WHERE created<?"), {before});
}

QByteArray QrLoginPages::newCode()
{
    // Switched off: an empty answer tells the client there is no page.
    if (m_store.setting(QStringLiteral("qr_mode"), QStringLiteral("0")).toInt() <= 0)
        return httpResponse(200, kText, {});
    dropOldCodes();
    const QString qid = QString::fromLatin1(randomBytes(16).toHex().toUpper());
    const QString scanId = QString::fromLatin1(randomBytes(16).toHex().toUpper());
    if (!m_store.db().run(QStringLiteral("INSERT INTO scan_logins(qid, scan_id, created, state) VALUES(?, ?, ?, ?)"),
                          {qid, scanId, NowDateTime(), int(Pending)}))
        return httpResponse(200, kText, {});
    return httpResponse(200, kText, "/QRLogin?opr=page&qid=" + qid.toLatin1());
}

QByteArray QrLoginPages::codePage(const HttpRequest &r)
{
    const QByteArray qid = queryValue(r.query, "qid");
    const QVariant scanId = validCode(qid)
        ? m_store.db().value(QStringLiteral("SELECT scan_id FROM scan_logins WHERE qid=?"), {QString::fromLatin1(qid)})
        : QVariant();
    if (!scanId.isValid())
        return httpResponse(404, {}, {});
    const QByteArray host = r.headers.value("host", "127.0.0.1");
    const QByteArray scanUrl = (m_tls ? "https://" : "http://") + host + "/QRLogin?opr=scan&sid=" + scanId.toString().toLatin1();
    // The "usercode" input exists only once there is an answer: the client
    // reads an empty one as a failure.
    const QByteArray script =
        "<script>(function(){var qid='" + qid + "';"
        "function done(v){var f=document.getElementById('answer');"
        "var i=document.createElement('input');i.type='hidden';i.name='usercode';i.value=v;f.appendChild(i);"
        "document.getElementById('state').textContent=v.indexOf('E:')===0?v.substring(2):'\\u767b\\u5f55\\u6210\\u529f';}"
        "function tick(){var x=new XMLHttpRequest();x.open('GET','/QRLogin?opr=poll&qid='+qid+'&rnd='+Date.now());"
        "x.onload=function(){var t=x.status===200?x.responseText:'';if(t.length>0){done(t);}else{setTimeout(tick,1000);}};"
        "x.onerror=function(){setTimeout(tick,2000);};x.send();}"
        "setTimeout(tick,1000);})();</script>";
    const QByteArray body = "<div>" + svgCode(scanUrl) + "</div>"
        + "<p id=\"state\">\u8bf7\u7528\u624b\u673a\u626b\u63cf\u4e8c\u7ef4\u7801\u767b\u5f55 / Scan the code with your phone</p>"
        + "<p><a id=\"scan\" href=\"" + esc(QString::fromLatin1(scanUrl)) + "\" target=\"_blank\">" + esc(QString::fromLatin1(scanUrl)) + "</a></p>"
        + "<form id=\"answer\"></form>" + script;
    return httpResponse(200, kHtml, htmlPage("\u626b\u7801\u767b\u5f55", body));
}

QByteArray QrLoginPages::poll(const HttpRequest &r)
{
    const QString qid = QString::fromLatin1(queryValue(r.query, "qid"));
    const QByteArray unknown = "E:" + serverText(2, "Unknown code.", "二维码无效。").toUtf8();
    if (!validCode(qid.toLatin1()))
        return httpResponse(200, kText, unknown);
    Database &db = m_store.db();
    Transaction t(db);
    QSqlQuery q = db.exec(QStringLiteral("SELECT created, state, usercode FROM scan_logins WHERE qid=?"), {qid});
    if (!t.active() || !q.next())
        return httpResponse(200, kText, unknown);
    const double created = q.value(0).toDouble();
    const int state = q.value(1).toInt();
    const QByteArray code = q.value(2).toString().toLatin1();
    q.finish();
    if (state == Cancelled)
        return httpResponse(200, kText, "E:" + serverText(2, "Login cancelled.", "已取消登录。").toUtf8());
    if (state == Taken || NowDateTime() - created > kLifetimeDays)
        return httpResponse(200, kText, "E:" + serverText(2, "The code has expired.", "二维码已过期。").toUtf8());
    if (state != Approved)
        return httpResponse(200, kText, {});
    // The identity is handed out once: only the poll that marks it taken gets it.
    const bool taken = db.run(QStringLiteral("UPDATE scan_logins SET state=?, usercode=NULL, token=NULL WHERE qid=? AND state=?"),
                              {int(Taken), qid, int(Approved)})
        && db.value(QStringLiteral("SELECT changes()")).toInt() == 1 && t.commit();
    if (!taken)
        return httpResponse(200, kText, "E:" + serverText(2, "The code has expired.", "二维码已过期。").toUtf8());
    return httpResponse(200, kText, code);
}

QByteArray QrLoginPages::scan(const HttpRequest &r)
{
    const QByteArray sid = queryValue(r.query, "sid");
    Database &db = m_store.db();
    const QVariant created = validCode(sid)
        ? db.value(QStringLiteral("SELECT created FROM scan_logins WHERE scan_id=? AND state=?"), {QString::fromLatin1(sid), int(Pending)})
        : QVariant();
    if (!created.isValid() || NowDateTime() - created.toDouble() > kLifetimeDays)
        return httpResponse(200, kHtml, htmlPage("ZuDivuvo", "<p>" + esc(serverText(2, "The code has expired.", "二维码已过期。")) + "</p>"));
    QByteArray notice;
    if (r.method == "POST") {
        const QUrlQuery form(QString::fromUtf8(r.body));
        if (form.hasQueryItem(QStringLiteral("cancel"))) {
            db.run(QStringLiteral("UPDATE scan_logins SET state=? WHERE scan_id=? AND state=?"), {int(Cancelled), QString::fromLatin1(sid), int(Pending)});
            return httpResponse(200, kHtml, htmlPage("ZuDivuvo", "<p>" + esc(serverText(2, "Login cancelled.", "已取消登录。")) + "</p>"));
        }
        UserInfo u;
        const int rc = checkLoginThrottled(m_store, m_peer, form.queryItemValue(QStringLiteral("name"), QUrl::FullyDecoded),
                                           form.queryItemValue(QStringLiteral("password"), QUrl::FullyDecoded), u);
        if (rc == 0) {
            QString token;
            const QString code = webIdentity(m_store, u.id, &token);
            const bool stored = !code.isEmpty()
                && db.run(QStringLiteral("UPDATE scan_logins SET state=?, usercode=?, token=? WHERE scan_id=? AND state=?"),
                          {int(Approved), code, token, QString::fromLatin1(sid), int(Pending)})
                && db.value(QStringLiteral("SELECT changes()")).toInt() == 1;
            if (!stored && !token.isEmpty())
                db.run(QStringLiteral("DELETE FROM sessions WHERE token=?"), {token});
            if (stored) {
                m_store.log(u.id, QStringLiteral("qrlogin"), 0);
                return httpResponse(200, kHtml, htmlPage("ZuDivuvo", "<p id=\"ok\">" + esc(serverText(2, "Signed in. You can return to the client.", "已登录，请回到客户端。")) + "</p>"));
            }
        }
        notice = "<p id=\"error\">" + esc(ResultCodeText(rc ? rc : 7, HSL_CN)) + "</p>";
    }
    const QByteArray action = "/QRLogin?opr=scan&amp;sid=" + sid;
    return httpResponse(200, kHtml, htmlPage("\u626b\u7801\u767b\u5f55", notice
        + "<form method=\"post\" action=\"" + action + "\"><p><input name=\"name\" placeholder=\"Name\"></p>"
          "<p><input name=\"password\" type=\"password\" placeholder=\"Password\"></p>"
          "<p><input type=\"submit\" value=\"OK\"> <input type=\"submit\" name=\"cancel\" value=\"Cancel\"></p></form>"));
}
