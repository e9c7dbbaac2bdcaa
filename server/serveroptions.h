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
    // A paused batch worker keeps its transfer open for minutes; first lines must come quickly.
    int idleTimeoutMs = 10 * 60 * 1000;
    int firstLineTimeoutMs = 30 * 1000;
    int maxThreads = 200; // idle first lines time out, so this bounds slow clients too
};
