#pragma once
// The organisation as the server describes it: nested groups with their
// members, and one table entry per distinct user.
#include "core/memberpowers.h"
#include "core/wiredate.h"

#include <QHash>
#include <QList>
#include <QString>

#include <memory>
#include <vector>

class QXmlStreamAttributes;

// Fields ordered to pack: one node per member of every group.
struct THS_Org {
    qint32 Id = 0;
    qint32 OuterID = 0;
    qint32 Display = 0;
    qint32 Order = 0;
    qint32 Depth = 0;
    qint32 From = 0;
    THS_MemberPowers Powers;
    bool FullGroupName = false;
    THS_Org *Father = nullptr;
    QString Name;
    QString Desc;
    QString Text;
    std::vector<std::unique_ptr<THS_Org>> Childs;   // sub-groups, document order
    std::vector<std::unique_ptr<THS_Org>> Members;  // users, document order, no duplicate ids
};

struct TOwnerRegInfo {
    qint32 OwnerId = -1;
    quint8 SC = 0;
    quint8 St = 0;
    bool OnLine = false;
    bool StChanged = false;
    qint32 Order = 0;
    qint32 From = 0;
    TDateTime RegDt = 0;
    TDateTime LasterLoginTm = 0;
    qint64 AllSpace = 0;
    qint64 UserdSpace = 0;
    QString DisplayName, Nick, Alias2, Email, CoreId, QQ, Tel, Ip, Remark, BindingIp, Macs, Portrait, PY;
};

// Only Qt's implicitly shared strings and plain values: the table grows by realloc.
Q_DECLARE_TYPEINFO(TOwnerRegInfo, Q_RELOCATABLE_TYPE);

class TOrgStructure
{
public:
    TOrgStructure();
    ~TOrgStructure();
    TOrgStructure(const TOrgStructure &) = delete;
    TOrgStructure &operator=(const TOrgStructure &) = delete;

    // Replaces tree and table. Malformed input never raises: a document that does not
    // load leaves an empty root; reading stops silently at what it cannot read.
    void ParseOrgStructure(const QString &xmlTxt);
    TOwnerRegInfo GetUsrInfo(qint32 id) const;
    bool InMyGroup(qint32 id) const { return FGroups.contains(id); }
    void ResetUserStatus(const QString &xmlTxt);
    QList<TOwnerRegInfo> GetChangedUsers() const;

    std::unique_ptr<THS_Org> PRootOrg;
    QList<TOwnerRegInfo> AOwnerRegInfo;
    QList<qint32> FGroups;
    double FTime_Deff = 0;   // days; client clock minus server clock

    // Every group below the root, depth-first, parents before children.
    QList<const THS_Org *> GroupsBelowRoot() const;

private:
    TOwnerRegInfo readUser(const QXmlStreamAttributes &attributes, const QString &name, TDateTime now) const;
    void mergeUser(TOwnerRegInfo &&info);

    QHash<qint32, qsizetype> m_userIndex;
};
