#pragma once
// The client pointed at a server under test, and a login to it as the client
// makes it; a failed login ends the test binary, since nothing after it could
// mean anything.
#include "model/serverconn.h"

#include <QString>

struct TestLogin {
    TServerConn conn;   // 127.0.0.1, the session's code
    qint32 userId = 0;  // the user's own owner id
};

// The client's stored settings name the server under test on 127.0.0.1; false when they could not be saved.
bool pointClientAt(quint16 port, int language = 1);

TestLogin logIn(quint16 port, const QString &name = QStringLiteral("demo"), const QString &password = QStringLiteral("demo"),
                THS_Language language = HSL_ENG);
