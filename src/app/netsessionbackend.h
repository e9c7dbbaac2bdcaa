#pragma once
// The session's server calls made with the framed protocol and the web pages.
#include "app/sessionbackend.h"

class TNetSessionBackend : public TSessionBackend
{
public:
    bool Login(const TServerAddress &server, THS_Language language, const QString &name, const QString &password,
               TLoginResult &result, QString *error) override;
    bool HttpGet(const QString &url, bool ssl, int timeoutMs, QByteArray &body) override;
    int PollIntervalSeconds(const TServerAddress &server) override;
    bool HasUserMessages(const TServerAddress &server, const QString &encryptId, THS_Language language) override;
    bool DownloadFile(const TServerAddress &server, const QString &encryptId, THS_Language language, qint64 fileKey,
                      qint64 version, const QString &localPath, QString *error) override;
};

// What a refused login tells the user, in the interface language.
QString LoginRefusalText(quint8 status, const QString &serverText, THS_Language language);
