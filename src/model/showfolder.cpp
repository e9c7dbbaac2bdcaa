#include "model/showfolder.h"

#include "core/helpers.h"
#include "model/boundedxml.h"
#include "net/neterror.h"
#include "net/robottcpclient.h"

namespace {
void addOwnerFolders(const TXmlNode &childs, std::vector<TFolderNode> &out, int depth)
{
    for (const auto &e : childs.Children) {
        TFolderNode n;
        const TXmlNode *path = e->Child(QStringLiteral("Path"));
        n.Caption = path ? path->Text : QString();
        n.Data = StrToIntDef(e->Attr(QStringLiteral("Id")), -1);
        n.Image = img::OwnerFolder;
        if (const TXmlNode *sub = e->Child(QStringLiteral("Childs")); sub && depth < kMaxXmlDepth)
            addOwnerFolders(*sub, n.Childs, depth + 1);
        out.push_back(std::move(n));
    }
}
} // namespace

std::vector<TFolderNode> TShowFolder::ParseSubFolders(const QString &xmlTxt)
{
    std::vector<TFolderNode> out;
    const bool ok = ForEachRootChild(xmlTxt, [&out](const TXmlNode &e) {
        TFolderNode n;
        const TXmlNode *path = e.Child(QStringLiteral("Path"));
        n.Caption = path ? path->Text : QString();
        n.Data = StrToIntDef(e.Attr(QStringLiteral("Id")), -1);
        n.Image = StrToIntDef(e.Attr(QStringLiteral("ChildNum")), 0) > 0 ? img::HasChilds : img::Loaded;
        out.push_back(std::move(n));
    });
    if (!ok)
        out.clear();
    return out;
}

std::vector<TFolderNode> TShowFolder::ParseOwnerFolders(const QString &xmlTxt)
{
    std::vector<TFolderNode> out;
    const std::unique_ptr<TXmlNode> doc = LoadBoundedXml(xmlTxt);
    if (!doc)
        return out;
    const TXmlNode *item = doc->Child(QStringLiteral("Item"));
    const TXmlNode *childs = item ? item->Child(QStringLiteral("Childs")) : nullptr;
    if (childs)
        addOwnerFolders(*childs, out, 0);
    return out;
}

TFolderFill TShowFolder::GetSubFolders(qint32 ownerId, qint32 parentData)
{
    TFolderFill fill;
    FOwnerId = ownerId;
    FFolderId = -1;
    FFolderName.clear();
    const qint32 folderId = parentData <= 1 ? 0 : parentData;
    try {
        const std::unique_ptr<TRobotTcpClient> client = m_conn.MakeClient();
        QString reply;
        const quint8 status = client->GetSubFolders(ownerId, folderId, reply);
        if (folderId == 0 && reply.isEmpty()) {
            QString owner;
            client->GetOwnerFolders(ownerId, owner);
            fill.Nodes = ParseOwnerFolders(owner);
        } else if (status != st::Ok) {
            fill.ErrorText = reply.isEmpty() ? client->GetLastError() : reply;
            // A refusal without words still needs some for the user.
            if (fill.ErrorText.isEmpty())
                fill.ErrorText = client->GetDesc(status);
            if (fill.ErrorText.isEmpty())
                fill.ErrorText = (m_conn.Language == HSL_CN ? QStringLiteral("服务器拒绝列出子文件夹（代码 %1）。")
                                                            : QStringLiteral("The server refused to list the sub-folders (code %1)."))
                                     .arg(status);
            return fill;
        } else {
            fill.Nodes = ParseSubFolders(reply);
        }
        fill.Ok = true;
    } catch (const ENetError &e) {
        fill.ErrorText = NetErrorText(e.kind(), e.message(), m_conn.Language);
    } catch (const std::exception &e) {
        fill.ErrorText = QString::fromUtf8(e.what());
    }
    return fill;
}
