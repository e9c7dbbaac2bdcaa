#pragma once
// One mail through an SMTP server, on libcurl: the settings' text form, the
// checks, the progress lines and the choice of login mechanisms. Blocking;
// run it off the GUI thread. Nothing secret reaches a progress line.
#include "core/resultcodes.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

enum TIdSMTPAuthenticationType { satNone = 0, satDefault = 1, satSASL = 2 };

struct TSmtpParams {
    QString Username;
    QString FromDisplayName;
    QString PassWord;
    QString Host;
    qint32 Port = 25;
    TIdSMTPAuthenticationType AuthType = satDefault;
    // A PEM file of the one certificate (or company CA) to trust besides the
    // system's; empty: the system's CAs only.
    QString TrustedCertificate;
};

// The settings from a web command's "params" text.
TSmtpParams StrToSmtpParams(const QString &txt, bool passwordIsEncrypt);

class TSmtpEx
{
public:
    TSmtpEx();

    void SetLanguage(THS_Language value);
    void SetSmtpSrvParams(const TSmtpParams &value);
    bool SendEx(const QString &recipients, const QString &cc, const QString &body, const QString &title,
                const QString &bcc);
    // False with LastError() when a check failed or the server did not take the mail.
    bool SSLSend(const QString &recipients, const QString &cc, const QString &attachment, const QString &body,
                 const QString &title, const QString &bcc);
    QString LastError() const { return m_lastError; }

    // The From header's text before encoding: the address, "name<address>", or a name that is an address.
    QString SenderText() const;
    // The addresses of a list separated by "," or ";", from "Name <a@b>" or bare forms.
    static QStringList Addresses(const QString &list);
    // A header value as RFC 2047 encoded words when it is not plain ASCII.
    static QByteArray EncodeHeader(const QString &value);

    std::function<void(const QString &line)> FOnSmtpLog;
    QString FCharset;
    int ReadTimeoutMs = 30000;
    // Set by the caller to stop a running send (a closing window).
    std::atomic<bool> *PIsBreak = nullptr;

    QString WLS_Init, WLS_Connect, WLS_StartSendMail, WLS_SendOver;

private:
    void log(const QString &line) const;
    bool fail(const QString &text);
    QString lineBreakError(const QString &what) const;

    THS_Language FLanguage = HSL_CN;
    TIdSMTPAuthenticationType m_auth = satDefault;
    QString m_host;
    qint32 m_port = 25;
    QString m_user;
    QString m_password;
    QString m_trusted;
    QString FDisplayName;
    QString m_lastError;
};
