#pragma once
// Tells open views that a server folder's content changed through this client
// (an upload, a scan, a check-in, a bulk task), so a list on screen shows the new
// file without the user pressing Refresh. Notify may be called from any thread;
// receivers get the signal on their own thread.
#include <QObject>

class TFolderChanges : public QObject
{
    Q_OBJECT
public:
    static TFolderChanges &Instance();
    static void Notify(qint64 ownerId, qint64 folderId);

Q_SIGNALS:
    void changed(qint64 ownerId, qint64 folderId);
};
