#include "model/folderchanges.h"

TFolderChanges &TFolderChanges::Instance()
{
    static TFolderChanges instance;
    return instance;
}

void TFolderChanges::Notify(qint64 ownerId, qint64 folderId)
{
    Q_EMIT Instance().changed(ownerId, folderId);
}
