#include "model/showfolder.h"

#include "core/helpers.h"
#include "model/boundedxml.h"
#include "net/neterror.h"
#include "net/robottcpclient.h"

#include <QXmlStreamReader>

namespace {
// Character data of blanks only is no text (as a run of it in the bounded XML tree).
bool isBlank(QStringView text)
{
    for (QChar c : text)
        if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r')
            return false;
    return true;
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
    // One streaming pass: an owner's tree never exists as a generic XML tree as well,
    // which took eleven times the reply for 100 000 folders. The folders are the
    // elements of the first "Childs" of the document element's first "Item", each
    // with its first "Path" and, nested alike, its first "Childs".
    enum class Kind { Document, Item, List, Folder, Path, Ignore };
    struct Frame {
        Kind kind = Kind::Ignore;
        std::vector<TFolderNode> *list = nullptr;   // List: where its folders go
        TFolderNode *folder = nullptr;              // Folder, Path: the folder being read
        bool firstTaken = false;                    // Document "Item", Item "Childs", Folder "Path"
        bool childsTaken = false;                   // Folder "Childs"
    };
    std::vector<TFolderNode> out;
    if (xmlTxt.trimmed().isEmpty())
        return out;
    // A folder's node stays in place while it is read: its parent's list grows only
    // by the folder's later siblings.
    std::vector<Frame> stack;
    QString run;   // character data since the last other token
    TXmlFeed feed(xmlTxt);
    QXmlStreamReader &reader = feed.reader();
    qsizetype elements = 0;
    bool rootSeen = false;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = feed.next();
        if (token == QXmlStreamReader::Characters) {
            run += reader.text();
            continue;
        }
        if (!stack.empty() && stack.back().kind == Kind::Path && !isBlank(run))
            stack.back().folder->Caption += run;
        run.clear();
        if (token == QXmlStreamReader::EndElement) {
            if (!stack.empty())
                stack.pop_back();
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        if (++elements > kMaxXmlElements || int(stack.size()) >= kMaxXmlDepth || (stack.empty() && rootSeen))
            return {};
        Frame next;
        if (stack.empty()) {
            rootSeen = true;
            next.kind = Kind::Document;
            stack.push_back(next);
            continue;
        }
        Frame &top = stack.back();
        const QStringView name = reader.name();
        switch (top.kind) {
        case Kind::Document:
            if (name == u"Item" && !top.firstTaken) {
                top.firstTaken = true;
                next.kind = Kind::Item;
            }
            break;
        case Kind::Item:
            if (name == u"Childs" && !top.firstTaken) {
                top.firstTaken = true;
                next.kind = Kind::List;
                next.list = &out;
            }
            break;
        case Kind::List: {
            TFolderNode &n = top.list->emplace_back();
            n.Data = StrToIntDef(reader.attributes().value(QLatin1String("Id")), -1);
            n.Image = img::OwnerFolder;
            next.kind = Kind::Folder;
            next.folder = &n;
            break;
        }
        case Kind::Folder:
            if (name == u"Path" && !top.firstTaken) {
                top.firstTaken = true;
                next.kind = Kind::Path;
                next.folder = top.folder;
            } else if (name == u"Childs" && !top.childsTaken) {
                top.childsTaken = true;
                next.kind = Kind::List;
                next.list = &top.folder->Childs;
            }
            break;
        case Kind::Path:
        case Kind::Ignore:
            break;
        }
        stack.push_back(next);
    }
    // A document that does not load as a whole gives nothing.
    if (reader.hasError() || !rootSeen)
        return {};
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
