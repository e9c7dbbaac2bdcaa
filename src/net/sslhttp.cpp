#include "net/sslhttp.h"

#include "core/uitext.h"

#include <QUrl>

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <memory>
#include <mutex>

namespace {

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
    QByteArray *body;
    qint64 max;
    bool overflow = false;
};

size_t writeBody(char *data, size_t size, size_t count, void *user)
{
    auto *sink = static_cast<Sink *>(user);
    const size_t n = size * count;
    if (sink->body->size() + qint64(n) > sink->max) {
        sink->overflow = true;
        return 0;  // makes curl stop with a write error
    }
    sink->body->append(data, qsizetype(n));
    return n;
}

// The address as an error text may show it: the query of some requests
// carries credentials (the password change sends the encrypted passwords).
QString shownUrl(const QString &url)
{
    return QUrl(url).adjusted(QUrl::RemoveQuery | QUrl::RemoveUserInfo | QUrl::RemoveFragment).toString();
}

// Requests run on pool threads that live on to the end of the process, where
// OpenSSL's own clean-up can come before the thread's end and leave its
// per-thread state (error queue, random generator) unfreed: free it here.
struct ThreadStateRelease {
    ThreadStateRelease() = default;
    ThreadStateRelease(const ThreadStateRelease &) = delete;
    ThreadStateRelease &operator=(const ThreadStateRelease &) = delete;
    ~ThreadStateRelease() { OPENSSL_thread_stop(); }
};

} // namespace

TSSLHttp::TSSLHttp(bool isSSL, bool tls12Only)
    : m_isSSL(isSSL)
    , m_tls12Only(tls12Only)
{
    initCurlOnce();
}

bool TSSLHttp::Get(const QString &url, int timeoutMs, QByteArray *body, QString *error, qint64 maxBytes) const
{
    const ThreadStateRelease release;  // after the handle's clean-up below
    QByteArray local;
    QByteArray &out = body ? *body : local;
    out.clear();
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        if (error)
            *error = UiText("无法发起 HTTP 请求", "Cannot start an HTTP request");
        return false;
    }
    const QByteArray u = url.toUtf8();
    Sink sink{&out, maxBytes};
    char curlError[CURL_ERROR_SIZE] = {0};
    CURL *c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, u.constData());
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long(timeoutMs > 0 ? timeoutMs : 30000));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(timeoutMs > 0 ? std::min(timeoutMs, 20000) : 20000));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, curlError);
    // The server's certificate is self-made as a rule; the pages carry no secret
    // beyond what the framed protocol already sends the same way.
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    if (m_tls12Only)
        curl_easy_setopt(c, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2) | long(CURL_SSLVERSION_MAX_TLSv1_2));

    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        if (error) {
            if (sink.overflow)
                *error = UiText("%1 的应答超过 %2 字节", "The answer of %1 is larger than %2 bytes").arg(shownUrl(url)).arg(maxBytes);
            else
                *error = UiText("无法获取 %1：%2", "Cannot fetch %1: %2")
                             .arg(shownUrl(url), QString::fromUtf8(curlError[0] ? curlError : curl_easy_strerror(rc)));
        }
        out.clear();
        return false;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        if (error)
            *error = QStringLiteral("%1 answered HTTP %2").arg(shownUrl(url)).arg(status);
        out.clear();
        return false;
    }
    return true;
}

QString TSSLHttp::GetText(const QString &url, int timeoutMs) const
{
    QByteArray body;
    if (!Get(url, timeoutMs, &body))
        return {};
    return QString::fromUtf8(body).trimmed();
}
