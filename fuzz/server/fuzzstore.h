#pragma once
// A seeded store in a temporary folder, shared by the server's fuzz targets, and
// a session of the demo user so that inputs reach past the session checks.
#include "seed.h"
#include "store.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdlib>

inline Store &fuzzStore()
{
    static int argc = 1;
    static char name[] = "zudivuvo_server_fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir dir;
    static const bool ready = [] {
        QString error;
        if (!Store::initDataDir(dir.path(), &error))
            return false;
        Store s(dir.path());
        return seedDemo(s, &error);
    }();
    if (!ready)
        std::abort();
    static Store store(dir.path());
    return store;
}

// The demo user's session (user 5); a write request may end it, so it is made again then.
inline QString fuzzToken()
{
    static QString token;
    SessionInfo s;
    if (token.isEmpty() || fuzzStore().resolveSession(token, s) != 0)
        token = fuzzStore().createSession(5);
    return token;
}
