#include "mail/smtpex.h"

#include "core/aes.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "mail/logging.h"
#include "mail/smtptransfer.h"
#include "platform/plugins.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

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

// The transfer plugin, loaded once; null with the reason when it cannot be.
TSmtpSendFn smtpTransfer(QString *error)
{
    static std::once_flag once;
    static TSmtpSendFn send = nullptr;
    static QString failure;
    std::call_once(once, [] {
        send = reinterpret_cast<TSmtpSendFn>(Plugins::Resolve(QLatin1String(kSmtpPluginName), kSmtpSendSymbol, &failure));
        if (!failure.isEmpty())
            qCWarning(lcMail).noquote() << "mail:" << failure;
    });
    *error = failure;
    return send;
}

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

    TSmtpTransfer mail;
    const bool implicitTls = m_port == 465;
    QString host = m_host;
    if (host.contains(u':') && !host.startsWith(u'['))
        host = u'[' + host + u']';
    mail.Url = ((implicitTls ? QStringLiteral("smtps://") : QStringLiteral("smtp://")) + host + u':' + QString::number(m_port)).toUtf8();
    mail.TimeoutMs = ReadTimeoutMs;
    if (!m_trusted.isEmpty()) {
        if (!QFileInfo(m_trusted).isFile())
            return fail(lang(FLanguage, "无法读取受信任的证书：", "Cannot read the trusted certificate: ") + m_trusted);
        // In place of the CA bundle file; the system's CA folder stays trusted.
        mail.CaFile = QFile::encodeName(m_trusted);
    }
    // "SSL" insists on STARTTLS; a plain login takes it whenever the server offers it.
    mail.Tls = implicitTls || m_auth == satNone ? TSmtpTransfer::StartTls::Never
               : m_auth == satSASL              ? TSmtpTransfer::StartTls::Required
                                                : TSmtpTransfer::StartTls::IfOffered;
    if (m_auth != satNone && !m_password.isEmpty()) {
        mail.User = m_user.toUtf8();
        mail.Password = m_password.toUtf8();
        // Never ANONYMOUS or EXTERNAL in place of the credentials given; the
        // strongest of these the server offers is taken.
        mail.LoginOptions = m_auth == satSASL ? "AUTH=CRAM-MD5;AUTH=LOGIN;AUTH=PLAIN" : "AUTH=LOGIN;AUTH=PLAIN";
    }
    mail.MailFrom = '<' + m_user.toUtf8() + '>';
    for (const QString &a : to + copy + blind)
        mail.Recipients << '<' + a.toUtf8() + '>';

    QByteArray sender;
    if (FDisplayName.isEmpty())
        sender = m_user.toUtf8();
    else if (!FDisplayName.contains(u'@'))
        sender = phrase(FDisplayName) + " <" + m_user.toUtf8() + '>';
    else
        sender = EncodeHeader(FDisplayName);
    mail.Headers << "From: " + sender << "Reply-To: " + m_user.toUtf8() << "To: " + addressHeader(recipients);
    if (!copy.isEmpty())
        mail.Headers << "Cc: " + addressHeader(cc);
    mail.Headers << "Subject: " + EncodeHeader(subject)
                 << "Date: " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1();
    const QByteArray domain = m_user.section(u'@', 1).toUtf8();
    mail.Headers << "Message-ID: <" + QByteArray::number(QRandomGenerator::global()->generate64(), 16) + '.'
                        + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + '@'
                        + (domain.isEmpty() ? QByteArray("localhost") : domain) + '>';
    const QByteArray charset = FCharset.isEmpty() ? QByteArray("utf-8") : FCharset.toLatin1();
    mail.Body = body.toUtf8();
    mail.BodyType = "text/html;charset=" + charset;
    if (!attachment.isEmpty())
        mail.AttachmentPath = QFile::encodeName(attachment);
    mail.Cancel = PIsBreak;
    mail.OnRequest = [this] { log(WLS_StartSendMail); };

    QString pluginError;
    const TSmtpSendFn send = smtpTransfer(&pluginError);
    if (!send)
        return fail(lang(FLanguage, "无法加载邮件发送组件：", "Cannot load the mail sender: ") + pluginError);
    log(WLS_Connect);
    TSmtpOutcome x;
    if (!send(kSmtpInterfaceVersion, mail, &x) && x.NoLogin)
        return fail(lang(FLanguage, "SMTP服务器不提供登录，邮件未发送（不会不经验证发送）。",
                         "The SMTP server offers no login: the mail was not sent unauthenticated."));
    if (!x.Ok) {
        QString text = x.Error.isEmpty() ? lang(FLanguage, "邮件未发送", "The mail was not sent") : x.Error;
        // The server's own words say most (a refused address, a wrong password).
        const char first = x.LastReply.isEmpty() ? '\0' : x.LastReply.at(0);
        if (first == '4' || first == '5')
            text += QStringLiteral(" (") + QString::fromUtf8(x.LastReply) + u')';
        return fail(text);
    }
    log(WLS_SendOver);
    return true;
}
