#include "mail/smtpex.h"

#include "core/aes.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "mail/logging.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace {

constexpr qsizetype kMaxDisplayName = 128;

QString lang(THS_Language l, const char *cn, const char *en)
{
    return l == HSL_CN ? QString::fromUtf8(cn) : QString::fromUtf8(en);
}

bool hasLineBreak(const QString &s)
{
    return s.contains(u'\r') || s.contains(u'\n') || s.contains(QChar(0));
}

// What curl's callbacks need; lives on the sending thread's stack.
struct Exchange {
    const TSmtpEx *smtp = nullptr;
    std::function<void()> onRequest;
    std::atomic<bool> *cancel = nullptr;
    QByteArray lastReply;   // the server's last answer line
    bool wantsLogin = false;
    bool loginSent = false;   // an AUTH command went out
    bool noLogin = false;     // stopped: the server offered no login
};

int onDebug(CURL *, curl_infotype type, char *data, size_t size, void *user)
{
    // Only what the server says is kept: our own lines carry the credentials.
    auto *x = static_cast<Exchange *>(user);
    // Only the command word is looked at: the rest of an AUTH line is a credential.
    if (type == CURLINFO_HEADER_OUT && size >= 5 && qstrnicmp(data, "AUTH ", 5) == 0)
        x->loginSent = true;
    if (type == CURLINFO_HEADER_IN) {
        const QByteArray line = QByteArray(data, qsizetype(qMin<size_t>(size, 512))).trimmed();
        if (!line.isEmpty())
            x->lastReply = line;
    }
    return 0;
}

int onPrereq(void *user, char *, char *, int, int)
{
    auto *x = static_cast<Exchange *>(user);
    // The login phase is over: a password given but never used means the
    // server offered no login, and the mail would go out unauthenticated.
    if (x->wantsLogin && !x->loginSent) {
        x->noLogin = true;
        return CURL_PREREQFUNC_ABORT;
    }
    if (x->onRequest)
        x->onRequest();
    return CURL_PREREQFUNC_OK;
}

int onProgress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto *x = static_cast<Exchange *>(user);
    return x->cancel && *x->cancel ? 1 : 0;
}

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
    void operator()(curl_mime *m) const { curl_mime_free(m); }
};

curl_slist *append(curl_slist *list, const QByteArray &line) { return curl_slist_append(list, line.constData()); }

// A display name as a header phrase: encoded words when it is not ASCII, quoted when it has specials.
QByteArray phrase(const QString &name)
{
    const QByteArray encoded = TSmtpEx::EncodeHeader(name);
    if (encoded.startsWith("=?"))
        return encoded;
    static const QByteArray specials("()<>[]:;@\\,.\"");
    for (char c : encoded)
        if (specials.contains(c)) {
            QByteArray quoted = encoded;
            quoted.replace('\\', "\\\\").replace('"', "\\\"");
            return '"' + quoted + '"';
        }
    return encoded;
}

} // namespace

TSmtpParams StrToSmtpParams(const QString &txt, bool passwordIsEncrypt)
{
    TSmtpParams p;
    p.Host = GetTagValue(txt, QStringLiteral("srv"));
    p.Port = StrToIntDef(GetTagValue(txt, QStringLiteral("port")), 25);
    const int ssl = StrToIntDef(GetTagValue(txt, QStringLiteral("ssl")), 1);
    p.AuthType = ssl == 0 ? satNone : ssl == 2 ? satSASL : satDefault;
    p.Username = GetTagValue(txt, QStringLiteral("add"));
    p.FromDisplayName = GetTagValue(txt, QStringLiteral("displayname"));
    p.PassWord = GetTagValue(txt, QStringLiteral("pass"));
    if (passwordIsEncrypt)
        p.PassWord = DecryptWithAppKey(p.PassWord, AKS_256);
    return p;
}

TSmtpEx::TSmtpEx() { SetLanguage(HSL_CN); }

void TSmtpEx::SetLanguage(THS_Language value)
{
    FLanguage = value;
    WLS_Init = lang(value, "参数初始化", "Parameter initialization");
    WLS_Connect = lang(value, "开始连接SMTP服务器, 请等候...", "Connecting SMTP server...");
    WLS_StartSendMail = lang(value, "开始发送邮件", "Start sending");
    WLS_SendOver = lang(value, "完成邮件发送", "Sent successfully");
}

void TSmtpEx::SetSmtpSrvParams(const TSmtpParams &value)
{
    m_auth = value.AuthType;
    m_host = value.Host.trimmed();
    m_port = value.Port;
    m_user = value.Username.trimmed();
    m_password = value.PassWord;
    m_trusted = value.TrustedCertificate.trimmed();
    const qsizetype amp = m_user.indexOf(u'&');
    if (amp >= 0) {
        FDisplayName = m_user.mid(amp + 1).left(kMaxDisplayName);
        m_user = m_user.left(amp);
    } else {
        FDisplayName = value.FromDisplayName;
    }
}

QString TSmtpEx::SenderText() const
{
    if (FDisplayName.isEmpty())
        return m_user;
    if (!FDisplayName.contains(u'@'))
        return FDisplayName + u'<' + m_user + u'>';
    return FDisplayName;
}

namespace {
// The entries of an address list as written ("Name <a@b>", a@b); separators
// inside a quoted name or an angle-bracket address do not count.
QStringList addressEntries(const QString &list)
{
    QStringList parts;
    QString current;
    bool quoted = false, angle = false;
    for (QChar c : list) {
        if (c == u'"' && !angle)
            quoted = !quoted;
        else if (c == u'<' && !quoted)
            angle = true;
        else if (c == u'>' && !quoted)
            angle = false;
        if ((c == u',' || c == u';') && !quoted && !angle) {
            parts << current.trimmed();
            current.clear();
        } else {
            current += c;
        }
    }
    parts << current.trimmed();
    parts.removeAll(QString());
    return parts;
}

// Splits an entry into its display name (may be empty) and its address.
std::pair<QString, QString> nameAndAddress(const QString &entry)
{
    const qsizetype open = entry.lastIndexOf(u'<');
    const qsizetype close = entry.lastIndexOf(u'>');
    if (open < 0 || close < open)
        return {QString(), entry};
    QString name = entry.left(open).trimmed();
    if (name.size() >= 2 && name.startsWith(u'"') && name.endsWith(u'"'))
        name = name.mid(1, name.size() - 2);
    return {name, entry.mid(open + 1, close - open - 1).trimmed()};
}

// A To or Cc header: only display names are encoded, never the addresses.
QByteArray addressHeader(const QString &list)
{
    QList<QByteArray> out;
    for (const QString &entry : addressEntries(list)) {
        const auto [name, address] = nameAndAddress(entry);
        if (address.isEmpty())
            continue;
        out << (name.isEmpty() ? address.toUtf8() : phrase(name) + " <" + address.toUtf8() + '>');
    }
    return out.join(", ");
}
} // namespace

QStringList TSmtpEx::Addresses(const QString &list)
{
    QStringList out;
    for (const QString &entry : addressEntries(list)) {
        const QString address = nameAndAddress(entry).second;
        if (!address.isEmpty())
            out << address;
    }
    return out;
}

QByteArray TSmtpEx::EncodeHeader(const QString &value)
{
    bool plain = true;
    for (QChar c : value)
        plain = plain && c.unicode() >= 32 && c.unicode() < 127;
    if (plain && !value.contains(QLatin1String("=?")))
        return value.toLatin1();
    // Whole characters per word, each word at most 75 characters long.
    QByteArray out;
    QByteArray chunk;
    auto flush = [&] {
        if (chunk.isEmpty())
            return;
        if (!out.isEmpty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + chunk.toBase64() + "?=";
        chunk.clear();
    };
    for (qsizetype i = 0; i < value.size(); ++i) {
        const qsizetype n = value.at(i).isHighSurrogate() && i + 1 < value.size() ? 2 : 1;
        const QByteArray bytes = value.mid(i, n).toUtf8();
        i += n - 1;
        if (chunk.size() + bytes.size() > 45)
            flush();
        chunk += bytes;
    }
    flush();
    return out;
}

void TSmtpEx::log(const QString &line) const
{
    if (FOnSmtpLog)
        FOnSmtpLog(line);
}

bool TSmtpEx::fail(const QString &text)
{
    m_lastError = text;
    qCInfo(lcMail).noquote() << "mail not sent:" << text;
    return false;
}

QString TSmtpEx::lineBreakError(const QString &what) const
{
    return lang(FLanguage, "邮件设置中的%1不能包含换行符", "The %1 of a mail must not contain line breaks").arg(what);
}

bool TSmtpEx::SendEx(const QString &recipients, const QString &cc, const QString &body, const QString &title,
                     const QString &bcc)
{
    return SSLSend(recipients, cc, QString(), body, title, bcc);
}

bool TSmtpEx::SSLSend(const QString &recipients, const QString &cc, const QString &attachment, const QString &body,
                      const QString &title, const QString &bcc)
{
    m_lastError.clear();
    log(WLS_Init);
    log(QStringLiteral("Host=") + m_host + QStringLiteral(" Port=") + QString::number(m_port)
        + QStringLiteral(" Account=") + m_user);
    if (m_host.isEmpty())
        return fail(QStringLiteral("Incorrect SMPT host"));
    if (m_port <= 0 || m_port > 65535)
        return fail(QStringLiteral("Incorrect SMPT port"));
    if (m_user.isEmpty())
        return fail(QStringLiteral("SMPT Email is Error"));
    if (recipients.trimmed().isEmpty())
        return fail(QStringLiteral("Recipient can not be empty"));
    // Header and command lines end at a line break: none may come from the settings.
    const std::pair<QString, QString> fields[] = {
        {m_host, lang(FLanguage, "服务器地址", "server")},     {m_user, lang(FLanguage, "邮件地址", "address")},
        {FDisplayName, lang(FLanguage, "显示名称", "display name")}, {recipients, lang(FLanguage, "收件人", "recipients")},
        {cc, lang(FLanguage, "抄送", "copy recipients")},          {bcc, lang(FLanguage, "密送", "blind copy recipients")},
        {title, lang(FLanguage, "邮件标题", "subject")},        {m_password, lang(FLanguage, "密码", "password")}};
    for (const auto &[value, what] : fields)
        if (hasLineBreak(value))
            return fail(lineBreakError(what));
    if (m_host.contains(u'/') || m_host.contains(u'@') || m_host.contains(u' '))
        return fail(QStringLiteral("Incorrect SMPT host"));
    const QString subject = title.trimmed().isEmpty() ? QStringLiteral("Title") : title;
    const QStringList to = Addresses(recipients), copy = Addresses(cc), blind = Addresses(bcc);
    if (to.isEmpty())
        return fail(QStringLiteral("Recipient can not be empty"));
    // A mail without the file it was meant to carry is no success.
    if (!attachment.isEmpty() && !QFileInfo(attachment).isFile())
        return fail(lang(FLanguage, "无法读取附件：", "Cannot read the attachment: ") + attachment);

    initCurlOnce();
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl)
        return fail(QStringLiteral("Cannot start the mail client"));
    CURL *c = curl.get();
    const bool implicitTls = m_port == 465;
    QString host = m_host;
    if (host.contains(u':') && !host.startsWith(u'['))
        host = u'[' + host + u']';
    const QByteArray url = ((implicitTls ? QStringLiteral("smtps://") : QStringLiteral("smtp://")) + host + u':'
                            + QString::number(m_port))
                               .toUtf8();
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(ReadTimeoutMs));
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, long((ReadTimeoutMs + 999) / 1000));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, long((ReadTimeoutMs + 999) / 1000));
    // The server proves who it is with a certificate of the system's CAs or
    // the one the administrator named; the password never goes to an impostor.
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    QByteArray trusted;
    if (!m_trusted.isEmpty()) {
        if (!QFileInfo(m_trusted).isFile())
            return fail(lang(FLanguage, "无法读取受信任的证书：", "Cannot read the trusted certificate: ") + m_trusted);
        // In place of the CA bundle file; the system's CA folder stays trusted.
        trusted = QFile::encodeName(m_trusted);
        curl_easy_setopt(c, CURLOPT_CAINFO, trusted.constData());
    }
    // "SSL" insists on STARTTLS; a plain login takes it whenever the server offers it.
    if (!implicitTls && m_auth == satSASL)
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
    else if (!implicitTls && m_auth == satDefault)
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_TRY));
    const QByteArray user = m_user.toUtf8(), password = m_password.toUtf8();
    if (m_auth != satNone && !m_password.isEmpty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(c, CURLOPT_PASSWORD, password.constData());
        // Never ANONYMOUS or EXTERNAL in place of the credentials given; the
        // strongest of these the server offers is taken.
        curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS,
                         m_auth == satSASL ? "AUTH=CRAM-MD5;AUTH=LOGIN;AUTH=PLAIN" : "AUTH=LOGIN;AUTH=PLAIN");
    }
    const QByteArray from = '<' + m_user.toUtf8() + '>';
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.constData());
    curl_slist *rcpt = nullptr;
    for (const QString &a : to + copy + blind)
        rcpt = append(rcpt, '<' + a.toUtf8() + '>');
    std::unique_ptr<curl_slist, CurlDeleter> rcptList(rcpt);
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt);

    QByteArray sender;
    if (FDisplayName.isEmpty())
        sender = m_user.toUtf8();
    else if (!FDisplayName.contains(u'@'))
        sender = phrase(FDisplayName) + " <" + m_user.toUtf8() + '>';
    else
        sender = EncodeHeader(FDisplayName);
    curl_slist *headers = append(nullptr, "From: " + sender);
    headers = append(headers, "Reply-To: " + m_user.toUtf8());
    headers = append(headers, "To: " + addressHeader(recipients));
    if (!copy.isEmpty())
        headers = append(headers, "Cc: " + addressHeader(cc));
    headers = append(headers, "Subject: " + EncodeHeader(subject));
    headers = append(headers, "Date: " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1());
    const QByteArray domain = m_user.section(u'@', 1).toUtf8();
    headers = append(headers, "Message-ID: <" + QByteArray::number(QRandomGenerator::global()->generate64(), 16) + '.'
                                  + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + '@'
                                  + (domain.isEmpty() ? QByteArray("localhost") : domain) + '>');
    std::unique_ptr<curl_slist, CurlDeleter> headerList(headers);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);

    const QByteArray charset = FCharset.isEmpty() ? QByteArray("utf-8") : FCharset.toLatin1();
    std::unique_ptr<curl_mime, CurlDeleter> mime(curl_mime_init(c));
    curl_mimepart *text = curl_mime_addpart(mime.get());
    const QByteArray bodyBytes = body.toUtf8();
    curl_mime_data(text, bodyBytes.constData(), size_t(bodyBytes.size()));
    curl_mime_type(text, QByteArray("text/html;charset=" + charset).constData());
    curl_mime_encoder(text, "quoted-printable");
    QByteArray attachmentPath;
    if (!attachment.isEmpty()) {
        attachmentPath = QFile::encodeName(attachment);
        curl_mimepart *file = curl_mime_addpart(mime.get());
        curl_mime_filedata(file, attachmentPath.constData());
        curl_mime_encoder(file, "base64");
    }
    curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());

    Exchange x;
    x.smtp = this;
    x.cancel = PIsBreak;
    x.wantsLogin = m_auth != satNone && !m_password.isEmpty();
    x.onRequest = [this] { log(WLS_StartSendMail); };
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, onDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &x);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, onPrereq);
    curl_easy_setopt(c, CURLOPT_PREREQDATA, &x);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &x);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    char errorBuffer[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);

    log(WLS_Connect);
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK && x.noLogin)
        return fail(lang(FLanguage, "SMTP服务器不提供登录，邮件未发送（不会不经验证发送）。",
                         "The SMTP server offers no login: the mail was not sent unauthenticated."));
    if (rc != CURLE_OK) {
        QString text = QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc));
        // The server's own words say most (a refused address, a wrong password).
        const char first = x.lastReply.isEmpty() ? '\0' : x.lastReply.at(0);
        if (first == '4' || first == '5')
            text += QStringLiteral(" (") + QString::fromUtf8(x.lastReply) + u')';
        return fail(text);
    }
    log(WLS_SendOver);
    return true;
}
