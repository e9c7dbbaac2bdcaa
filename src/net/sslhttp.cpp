#include "net/sslhttp.h"

#include "core/threadhandover.h"
#include "core/uitext.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {

// The address as an error text may show it: the query of some requests
// carries credentials (the password change sends the encrypted passwords).
QString shownUrl(const QString &url)
{
    return QUrl(url).adjusted(QUrl::RemoveQuery | QUrl::RemoveUserInfo | QUrl::RemoveFragment).toString();
}

struct Outcome {
    bool ok = false;
    QString error;
};

// One request with its own network access manager and event loop. Runs on a
// thread of its own (see Get), so the caller's events are never re-entered.
Outcome fetch(const QUrl &url, bool tls, bool tls12Only, int timeoutMs, qint64 maxBytes, QByteArray &out)
{
    QNetworkAccessManager nam;
    nam.setProxy(QNetworkProxy::NoProxy);
    nam.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (tls) {
        // The server's certificate is self-made as a rule; the pages carry no secret
        // beyond what the framed protocol already sends the same way.
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
        if (tls12Only)
            ssl.setProtocol(QSsl::TlsV1_2);
        request.setSslConfiguration(ssl);
    }
    std::unique_ptr<QNetworkReply> reply(nam.get(request));
    bool overflow = false;
    bool timedOut = false;
    const auto take = [&] {
        if (overflow || !reply->isOpen())
            return;
        if (out.size() + reply->bytesAvailable() > maxBytes) {
            overflow = true;
            reply->abort();
            return;
        }
        out += reply->readAll();
    };
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, take);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        reply->abort();
    });
    deadline.start(timeoutMs);
    if (!reply->isFinished())
        loop.exec();
    take();
    Outcome o;
    const QString shown = shownUrl(url.toString());
    if (overflow) {
        o.error = UiText("%1 的应答超过 %2 字节", "The answer of %1 is larger than %2 bytes").arg(shown).arg(maxBytes);
    } else if (timedOut) {
        o.error = UiText("无法获取 %1：%2", "Cannot fetch %1: %2")
                      .arg(shown, UiText("%1 毫秒内没有应答", "no answer within %1 ms").arg(timeoutMs));
    } else if (const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
               status > 0 && (status < 200 || status > 299)) {
        // An error page must never pass for an answer, nor a redirection for the page.
        o.error = QStringLiteral("%1 answered HTTP %2").arg(shown).arg(status);
    } else if (status == 0 || reply->error() != QNetworkReply::NoError) {
        // Nothing came, or the answer broke off before its end: no page.
        o.error = UiText("无法获取 %1：%2", "Cannot fetch %1: %2").arg(shown, reply->errorString());
    } else {
        o.ok = true;
    }
    if (!o.ok)
        out.clear();
    return o;
}

} // namespace

TSSLHttp::TSSLHttp(bool isSSL, bool tls12Only)
    : m_isSSL(isSSL)
    , m_tls12Only(tls12Only)
{
}

bool TSSLHttp::Get(const QString &url, int timeoutMs, QByteArray *body, QString *error, qint64 maxBytes) const
{
    QByteArray local;
    QByteArray &out = body ? *body : local;
    out.clear();
    const QUrl u(url);
    const QString scheme = u.scheme().toLower();
    if (!u.isValid() || u.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        if (error)
            *error = UiText("无法获取 %1：地址无效", "Cannot fetch %1: not a web address").arg(shownUrl(url));
        return false;
    }
    const int timeout = timeoutMs > 0 ? timeoutMs : 30000;
    Outcome outcome;
    // A thread of its own: the caller blocks as on a plain socket, and no event
    // of the caller's thread (a window's, when one calls) runs meanwhile.
    const ThreadHandOver handOver;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        outcome = fetch(u, scheme == QLatin1String("https"), m_tls12Only, timeout, maxBytes, out);
        handOver.release();
    }));
    worker->start();
    worker->wait();
    handOver.acquire();
    if (error)
        *error = outcome.error;
    return outcome.ok;
}

QString TSSLHttp::GetText(const QString &url, int timeoutMs) const
{
    QByteArray body;
    if (!Get(url, timeoutMs, &body))
        return {};
    return QString::fromUtf8(body).trimmed();
}
