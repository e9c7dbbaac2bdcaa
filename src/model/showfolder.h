#pragma once
// One lazy fill of a folder tree: the direct sub-folders of one folder of an
// owner, as nodes carrying caption, folder id and the image number that also
// records whether their own sub-folders were loaded.
#include "model/serverconn.h"

#include <QList>
#include <QString>
#include <vector>

// Image numbers shared with the windows that own the trees.
namespace img {
constexpr int Loaded = 1;        // sub-folders loaded, or none
constexpr int User = 3;          // the user's own node in the organisation tree
constexpr int Owner = 4;         // owner root (data 1); groups in the organisation tree
constexpr int Back = 5;          // leads back to the organisation (data 0)
constexpr int HasChilds = 6;     // sub-folders not loaded yet
constexpr int OwnerFolder = 7;   // from the owner-folder reply, not loaded yet
}

struct TFolderNode {
    QString Caption;
    qint32 Data = 0;   // folder id; -1 when the reply's id was not a number
    int Image = img::Loaded;
    std::vector<TFolderNode> Childs;
};

struct TFolderFill {
    bool Ok = false;
    QString ErrorText;            // shown to the user when not Ok
    std::vector<TFolderNode> Nodes;
};

class TShowFolder
{
public:
    explicit TShowFolder(const TServerConn &conn) : m_conn(conn) {}

    // parentData is the node's data: 1 or less means the owner's top level. Blocking;
    // call it off the GUI thread. Never raises.
    TFolderFill GetSubFolders(qint32 ownerId, qint32 parentData);

    static std::vector<TFolderNode> ParseSubFolders(const QString &xmlTxt);
    static std::vector<TFolderNode> ParseOwnerFolders(const QString &xmlTxt);

    qint32 FOwnerId = -1;
    qint64 FFolderId = -1;
    QString FFolderName;

private:
    TServerConn m_conn;
};
