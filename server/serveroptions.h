#pragma once
#include <QHostAddress>
#include <QString>

struct ServerOptions
{
    QString dataDir;
    QHostAddress listenAddress = QHostAddress::LocalHost;
    quint16 port = 8088;
    bool tls = false;
    QString certFile; // empty: generated into the data folder
    QString keyFile;
    // Also offer the TLS ciphers without forward secrecy, for old clients.
    bool tlsLegacyCiphers = false;
    // A paused batch worker keeps its transfer open for minutes; this applies only
    // once a transfer has been accepted for a valid session.
    int idleTimeoutMs = 10 * 60 * 1000;
    // One deadline for the whole opening of a connection: TLS handshake, request
    // line, headers or parameter line, request frame.
    int firstLineTimeoutMs = 5 * 1000;
    // Connections served at once, and from one address; more are refused at once.
    // The server lowers the first to what its descriptor limit allows.
    int maxConnections = 1000;
    int maxPerAddress = 64;
    // Partial uploads are kept this long for resume, and swept on this period.
    qint64 stagingMaxAgeMs = 24LL * 3600 * 1000;
    int stagingSweepMs = 10 * 60 * 1000;
    // Uploads are refused when they would leave less free disk space than this.
    qint64 diskReserveBytes = 256LL * 1024 * 1024;
};
