#pragma once
// The snapshot a batch worker needs, from a real login to a server under test.
#include "batch/batchtransport.h"
#include "testlogin.h"

inline TBatchSettings batchLogin(quint16 port, const QString &indexFolder = {}, int *ownerId = nullptr)
{
    const TestLogin login = logIn(port);
    TBatchSettings s;
    s.Conn = login.conn;
    s.IndexFolder = indexFolder;
    s.ConfigFolder = indexFolder;
    if (ownerId)
        *ownerId = login.userId;
    return s;
}
