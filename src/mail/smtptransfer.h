#pragma once
// One mail as the transfer plugin sends it: checked and in its wire form
// already. libcurl lives in that plugin, loaded for the first mail, so a
// resident client that sends none never maps it (nor its TLS, Kerberos and
// LDAP libraries). A plain struct, so no class of ours exists twice.
#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>

struct TSmtpTransfer {
    enum class StartTls { Never, IfOffered, Required };
    QByteArray Url;              // smtp://host:port or smtps://host:port
    QByteArray CaFile;           // PEM in place of the CA bundle; empty: the system's
    StartTls Tls = StartTls::IfOffered;
    QByteArray User, Password;   // empty: no login
    QByteArray LoginOptions;     // the mechanisms allowed, strongest offered wins
    QByteArray MailFrom;         // <address>
    QList<QByteArray> Recipients;  // <address> each
    QList<QByteArray> Headers;   // complete header lines without line breaks
    QByteArray Body, BodyType;   // the HTML text and its content type
    QByteArray AttachmentPath;   // empty: none
    int TimeoutMs = 30000;
    std::atomic<bool> *Cancel = nullptr;
    std::function<void()> OnRequest;   // the login phase is over, the mail goes out
};

struct TSmtpOutcome {
    bool Ok = false;
    bool NoLogin = false;        // stopped: a password was given and the server offered no login
    QString Error;               // the transfer's own words
    QByteArray LastReply;        // the server's last answer line
};

// The one entry point the plugin exports. Another interface version answers
// false without sending, so an old plugin beside a new client is refused.
using TSmtpSendFn = bool (*)(int interfaceVersion, const TSmtpTransfer &mail, TSmtpOutcome *outcome);
inline constexpr char kSmtpSendSymbol[] = "zudivuvo_smtp_send";
inline constexpr int kSmtpInterfaceVersion = 1;
inline constexpr char kSmtpPluginName[] = "zudivuvo_smtp";
