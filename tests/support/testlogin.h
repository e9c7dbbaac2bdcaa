#pragma once
// A login to a server under test, as the client makes it; a failed login ends
// the test binary, since nothing after it could mean anything.
#include "model/serverconn.h"

#include <QString>

struct TestLogin {
    TServerConn conn;   // 127.0.0.1, the session's code
    qint32 userId = 0;  // the user's own owner id
};

TestLogin logIn(quint16 port, const QString &name = QStringLiteral("demo"), const QString &password = QStringLiteral("demo"),
                THS_Language language = HSL_ENG);
