#pragma once
// What the pickers decide without a window: the owner tree built from the
// organisation, the name of a picked server folder, whether a local folder can
// be chosen, and the file-type check list with its "All files" rule.
#include "core/resultcodes.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <vector>

class TOrgStructure;

struct TPickerTexts {
    explicit TPickerTexts(THS_Language lang);
    QString WLS_Select, WLS_Next, WLS_Cancel, WLS_SelectMember, WLS_Members, WLS_MemberRoot, WLS_Hint;
};

// One node of the owner picker's tree; image numbers as the picker draws them.
struct TOwnerPickNode {
    QString Caption;
    qint32 Data = 0;   // owner id; 0 is not a choice
    int Image = 1;     // 0 root group with id 0, 1 group, 2 member, 3 the members' node
    std::vector<TOwnerPickNode> Childs;
};

// The root group first, its sub-groups below it, each group's members under one
// "members" node at the end of its children.
TOwnerPickNode OwnerPickTree(const TOrgStructure &org, const QString &membersCaption);
// Name, then " - " and the e-mail when known, then " - " and the staff number when known.
QString OwnerPickMemberCaption(const QString &name, const QString &email, const QString &coreId);

// Captions from the root down to the picked node, each followed by "\".
QString FolderPickName(const QStringList &captionsFromRoot);

// The local folder picker's OK: an existing folder that can be listed; a folder
// on a network file system only when those are allowed.
bool LocalFolderReady(const QString &path, bool allowNetDisk);
bool IsNetworkFileSystem(const QString &path);

// The file-type picker's list: "All files" first (value 1), then the known types.
class TFileTypeChoice
{
public:
    struct Item {
        QString Caption;
        quint32 Code = 0;
        bool Checked = false;
    };
    static constexpr quint32 kAllFiles = 1;
    static constexpr quint32 kEveryType = 42;   // the server's "every type" code

    explicit TFileTypeChoice(THS_Language lang);
    const QList<Item> &Items() const { return m_items; }
    // Checking "All files" unchecks the rest; checking any other item unchecks "All files".
    void SetChecked(int index, bool checked);
    void SetFileTypes(const QList<quint32> &codes);
    // Empty when "All files" is checked (every type), else the checked codes in list order.
    QList<quint32> GetFileTypes() const;

private:
    QList<Item> m_items;
};
