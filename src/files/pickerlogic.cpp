#include "files/pickerlogic.h"

#include "core/fileext.h"
#include "files/filetexts.h"
#include "model/orgstructure.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

TPickerTexts::TPickerTexts(THS_Language lang)
    : WLS_Select(LangText(lang, "选择", "Select"))
    , WLS_Next(LangText(lang, "下一步", "Next"))
    , WLS_Cancel(LangText(lang, "取消", "Cancel"))
    , WLS_SelectMember(LangText(lang, "选择：", "Select:"))
    , WLS_Members(LangText(lang, "组成员", "Members"))
    , WLS_MemberRoot(LangText(lang, "全部成员", "All Members"))
    , WLS_Hint(LangText(lang, "提示", "Hint"))
{
}

QString OwnerPickMemberCaption(const QString &name, const QString &email, const QString &coreId)
{
    QString caption = name;
    if (!email.isEmpty())
        caption += QStringLiteral(" - ") + email;
    if (!coreId.isEmpty())
        caption += QStringLiteral(" - ") + coreId;
    return caption;
}

namespace {
// The organisation reply is nested by the server; a hostile depth must not
// exhaust the stack while the tree is copied.
constexpr int kMaxGroupDepth = 64;

void fillGroup(const TOrgStructure &org, const THS_Org &group, TOwnerPickNode &node, const QString &members, int depth)
{
    node.Caption = group.Name;
    node.Data = group.Id;
    node.Image = group.Id == 0 ? 0 : 1;
    if (depth >= kMaxGroupDepth)
        return;
    for (const auto &child : group.Childs) {
        TOwnerPickNode sub;
        fillGroup(org, *child, sub, members, depth + 1);
        node.Childs.push_back(std::move(sub));
    }
    if (group.Members.empty())
        return;
    TOwnerPickNode list;
    list.Caption = members;
    list.Data = 0;
    list.Image = 3;
    for (const auto &m : group.Members) {
        const TOwnerRegInfo info = org.GetUsrInfo(m->Id);
        TOwnerPickNode member;
        member.Caption = OwnerPickMemberCaption(m->Name, info.Email, info.CoreId);
        member.Data = m->Id;
        member.Image = 2;
        list.Childs.push_back(std::move(member));
    }
    node.Childs.push_back(std::move(list));
}
} // namespace

TOwnerPickNode OwnerPickTree(const TOrgStructure &org, const QString &membersCaption)
{
    TOwnerPickNode root;
    if (org.PRootOrg)
        fillGroup(org, *org.PRootOrg, root, membersCaption, 0);
    return root;
}

QString FolderPickName(const QStringList &captionsFromRoot)
{
    QString name;
    for (const QString &c : captionsFromRoot)
        name += c + u'\\';
    return name;
}

bool IsNetworkFileSystem(const QString &path)
{
    const QByteArray type = QStorageInfo(path).fileSystemType().toLower();
    static const QList<QByteArray> network{"nfs", "nfs4", "cifs", "smb3", "smbfs", "sshfs", "fuse.sshfs", "9p",
                                           "afs", "ceph", "glusterfs", "davfs", "fuse.davfs", "ncpfs"};
    return network.contains(type);
}

bool LocalFolderReady(const QString &path, bool allowNetDisk)
{
    if (path.trimmed().isEmpty())
        return false;
    const QFileInfo info(path);
    if (!info.isDir() || !info.isReadable() || !info.isExecutable())
        return false;
    return allowNetDisk || !IsNetworkFileSystem(path);
}

TFileTypeChoice::TFileTypeChoice(THS_Language lang)
{
    m_items.append({LangText(lang, "全部文件 (*.*)", "All files (*.*)"), kAllFiles, false});
    static const struct {
        const char *name;
        const char *ext;
    } types[] = {
        {"Txt File", "txt"}, {"Word File", "doc"}, {"Excel File", "xls"}, {"PowerPoint File", "ppt"},
        {"Visio File", "vsd"}, {"PDF file", "pdf"}, {"Word(office2007) File", "docx"},
        {"Excel(office2007) File", "xlsx"}, {"PowerPoint(office2007) File", "pptx"}, {"Htm File", "htm"},
        {"XML File", "xml"}, {"Shtml File", "shtml"}, {"Html File", "html"}, {"C/C++ Header", "h"},
        {"C Source", "c"}, {"C Source File", "cpp"}, {"Java Source File", "java"}, {"Delphi Source File", "pas"},
        {"C# Source File", "cs"}, {"Basic Source", "bas"}, {"Basic Source File", "vb"}, {"PHP Source File", "php"},
        {"ASP Source File", "asp"}, {"ASP.NET Server Page", "aspx"}, {"JavaScript Source", "js"},
        {"BMP File", "bmp"}, {"GIF File", "gif"}, {"JPG File", "jpg"}, {"DWG File", "dwg"}, {"ZIP File", "zip"},
        {"RAR File", "rar"},
    };
    for (const auto &t : types) {
        const quint32 code = ExtCode(QString::fromLatin1(t.ext));
        m_items.append({QString::fromLatin1(t.name) + QStringLiteral(" (*.") + ExtCodeText(code) + u')', code, false});
    }
}

void TFileTypeChoice::SetChecked(int index, bool checked)
{
    if (index < 0 || index >= m_items.size())
        return;
    m_items[index].Checked = checked;
    if (!checked)
        return;
    if (index == 0) {
        for (int i = 1; i < m_items.size(); ++i)
            m_items[i].Checked = false;
    } else {
        m_items[0].Checked = false;
    }
}

void TFileTypeChoice::SetFileTypes(const QList<quint32> &codes)
{
    for (Item &item : m_items)
        item.Checked = false;
    if (codes.isEmpty() || codes.first() == kEveryType) {
        m_items[0].Checked = true;
        return;
    }
    for (int i = 1; i < m_items.size(); ++i)
        m_items[i].Checked = codes.contains(m_items[i].Code);
}

QList<quint32> TFileTypeChoice::GetFileTypes() const
{
    QList<quint32> out;
    if (m_items[0].Checked)
        return out;
    for (int i = 1; i < m_items.size(); ++i)
        if (m_items[i].Checked)
            out << m_items[i].Code;
    return out;
}
