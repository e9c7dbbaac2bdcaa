#pragma once
// One local file-index entry. Declared here because the file channel
// uploads from it; the local file index fills it.
#include "core/wiredate.h"

#include <QString>

struct TTidyFile {
    qint64 PathHash = 0;
    qint32 NameHash = 0;
    qint64 Size = 0;
    quint32 Kind = 0;
    quint8 Dealed = 0;
    qint32 OwnerId = 0;
    qint32 FolderId = 0;
    quint8 OwnerType = 0;
    TDateTime ModifyDT = 0;
    quint8 SC = 0;
    bool DeletedOfServer = false;
    QString Path;
    QString Summary;
    QString FilePrt;
    QString DisplayName;
};
