#pragma once
// An immutable snapshot of what a server client needs, taken on the GUI thread
// from the configuration store and handed to workers.
#include "core/resultcodes.h"

#include <QString>
#include <memory>

class TClientConfigX;
class TRobotTcpClient;

struct TServerConn {
    QString Host;
    quint16 Port = 0;
    bool SSL = false;
    QString EncryptId;
    THS_Language Language = HSL_NONE;

    static TServerConn FromConfig(const TClientConfigX &config);
    std::unique_ptr<TRobotTcpClient> MakeClient(int readTimeout = 30000) const;
    QString BaseUrl() const;
};
