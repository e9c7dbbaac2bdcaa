// The mail transfer on libcurl, loaded by the client when it sends its first mail.
#include "mail/smtptransfer.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace {

// What curl's callbacks need; lives on the sending thread's stack.
struct Exchange {
    const TSmtpTransfer *mail = nullptr;
    TSmtpOutcome *outcome = nullptr;
    bool wantsLogin = false;
    bool loginSent = false;   // an AUTH command went out
};

int onDebug(CURL *, curl_infotype type, char *data, size_t size, void *user)
{
    auto *x = static_cast<Exchange *>(user);
    // Only the command word is looked at: the rest of an AUTH line is a credential.
    if (type == CURLINFO_HEADER_OUT && size >= 5 && qstrnicmp(data, "AUTH ", 5) == 0)
        x->loginSent = true;
    // Only what the server says is kept: our own lines carry the credentials.
    if (type == CURLINFO_HEADER_IN) {
        const QByteArray line = QByteArray(data, qsizetype(qMin<size_t>(size, 512))).trimmed();
        if (!line.isEmpty())
            x->outcome->LastReply = line;
    }
    return 0;
}

int onPrereq(void *user, char *, char *, int, int)
{
    auto *x = static_cast<Exchange *>(user);
    // The login phase is over: a password given but never used means the
    // server offered no login, and the mail would go out unauthenticated.
    if (x->wantsLogin && !x->loginSent) {
        x->outcome->NoLogin = true;
        return CURL_PREREQFUNC_ABORT;
    }
    if (x->mail->OnRequest)
        x->mail->OnRequest();
    return CURL_PREREQFUNC_OK;
}

int onProgress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const std::atomic<bool> *cancel = static_cast<Exchange *>(user)->mail->Cancel;
    return cancel && *cancel ? 1 : 0;
}

struct CurlDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
    void operator()(curl_mime *m) const { curl_mime_free(m); }
};

std::unique_ptr<curl_slist, CurlDeleter> slist(const QList<QByteArray> &lines)
{
    curl_slist *list = nullptr;
    for (const QByteArray &line : lines)
        list = curl_slist_append(list, line.constData());
    return std::unique_ptr<curl_slist, CurlDeleter>(list);
}

bool send(const TSmtpTransfer &mail, TSmtpOutcome *outcome)
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        outcome->Error = QStringLiteral("Cannot start the mail client");
        return false;
    }
    CURL *c = curl.get();
    const long seconds = long((mail.TimeoutMs + 999) / 1000);
    curl_easy_setopt(c, CURLOPT_URL, mail.Url.constData());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(mail.TimeoutMs));
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, seconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, seconds);
    // The server proves who it is with a certificate of the system's CAs or
    // the one the administrator named; the password never goes to an impostor.
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!mail.CaFile.isEmpty())
        curl_easy_setopt(c, CURLOPT_CAINFO, mail.CaFile.constData());
    if (mail.Tls == TSmtpTransfer::StartTls::Required)
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
    else if (mail.Tls == TSmtpTransfer::StartTls::IfOffered)
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_TRY));
    const bool login = !mail.User.isEmpty() && !mail.Password.isEmpty();
    if (login) {
        curl_easy_setopt(c, CURLOPT_USERNAME, mail.User.constData());
        curl_easy_setopt(c, CURLOPT_PASSWORD, mail.Password.constData());
        curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, mail.LoginOptions.constData());
    }
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, mail.MailFrom.constData());
    const auto rcpt = slist(mail.Recipients);
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt.get());
    const auto headers = slist(mail.Headers);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

    std::unique_ptr<curl_mime, CurlDeleter> mime(curl_mime_init(c));
    curl_mimepart *text = curl_mime_addpart(mime.get());
    curl_mime_data(text, mail.Body.constData(), size_t(mail.Body.size()));
    curl_mime_type(text, mail.BodyType.constData());
    curl_mime_encoder(text, "quoted-printable");
    if (!mail.AttachmentPath.isEmpty()) {
        curl_mimepart *file = curl_mime_addpart(mime.get());
        curl_mime_filedata(file, mail.AttachmentPath.constData());
        curl_mime_encoder(file, "base64");
    }
    curl_easy_setopt(c, CURLOPT_MIMEPOST, mime.get());

    Exchange x{&mail, outcome, login, false};
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

    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK)
        outcome->Error = QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc));
    outcome->Ok = rc == CURLE_OK;
    return outcome->Ok;
}

} // namespace

extern "C" Q_DECL_EXPORT bool zudivuvo_smtp_send(int interfaceVersion, const TSmtpTransfer &mail, TSmtpOutcome *outcome)
{
    if (interfaceVersion != kSmtpInterfaceVersion || !outcome)
        return false;
    return send(mail, outcome);
}
