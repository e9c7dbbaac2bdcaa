#pragma once
// The server's web pages on the same host and port as the framed protocol.
// Blocking GETs with a per-request time-out, usable from any thread.
#include <QByteArray>
#include <QString>

class TSSLHttp
{
public:
    // TLS is used when the address says https; without verification, as the
    // server's certificate is usually self-made. tls12Only pins TLS 1.2.
    explicit TSSLHttp(bool isSSL = false, bool tls12Only = false);

    // False on a transport error, a time-out, a body above maxBytes or a non-2xx
    // answer (an error page must never pass for an answer); *error says which.
    bool Get(const QString &url, int timeoutMs, QByteArray *body, QString *error = nullptr,
             qint64 maxBytes = kDefaultMaxBytes) const;
    // The answer as trimmed UTF-8 text; empty on any failure, as callers expect.
    QString GetText(const QString &url, int timeoutMs) const;

    bool IsSSL() const { return m_isSSL; }
    static constexpr qint64 kDefaultMaxBytes = 64 * 1024 * 1024;

private:
    bool m_isSSL;
    bool m_tls12Only;
};
