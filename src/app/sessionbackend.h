#pragma once
// What the session needs from the server, behind one interface so the logic is
// testable without a network. Every call blocks and is made off the GUI thread.
#include "core/resultcodes.h"

#include <QByteArray>
#include <QString>

struct TServerAddress {
    QString Host;
    int Port = 0;
    bool SSL = false;
    QString BaseUrl() const;
};

struct TLoginResult {
    QString UserName;
    QString UserId;  // the server's encrypted user id
    qint32 UserId2 = 0;
};

class TSessionBackend
{
public:
    virtual ~TSessionBackend() = default;

    virtual bool Login(const TServerAddress &server, THS_Language language, const QString &name,
                       const QString &password, TLoginResult &result, QString *error) = 0;
    // Body of a web page; false on any failure, including a non-2xx answer.
    virtual bool HttpGet(const QString &url, bool ssl, int timeoutMs, QByteArray &body) = 0;
    // Poll interval in seconds; 60 when missing, not a number, 0 or on any error.
    virtual int PollIntervalSeconds(const TServerAddress &server) = 0;
    // True only when the server says there are unread messages.
    virtual bool HasUserMessages(const TServerAddress &server, const QString &encryptId, THS_Language language) = 0;
    // A server file into localPath; version < 0 is the current one.
    virtual bool DownloadFile(const TServerAddress &server, const QString &encryptId, THS_Language language,
                              qint64 fileKey, qint64 version, const QString &localPath, QString *error) = 0;
};
