#include "model/orgstructure.h"

#include "core/helpers.h"
#include "model/boundedxml.h"

#include <QSet>

namespace {
// Groups nest two XML levels per step; the XML bound already stops deeper replies.
constexpr int kMaxGroupDepth = kMaxXmlDepth / 2;
constexpr double kOnlineWindowDays = 2.0 / 1440.0;
} // namespace

TOrgStructure::TOrgStructure()
    : PRootOrg(std::make_unique<THS_Org>())
{
}

TOrgStructure::~TOrgStructure() = default;

void TOrgStructure::ParseOrgStructure(const QString &xmlTxt)
{
    AOwnerRegInfo.clear();
    m_userIndex.clear();
    PRootOrg = std::make_unique<THS_Org>();
    if (xmlTxt.isEmpty())
        return;
    const std::unique_ptr<TXmlNode> doc = LoadBoundedXml(xmlTxt);
    if (!doc)
        return;
    const TXmlNode *groupItem = doc->Child(QStringLiteral("GroupItem"));
    if (!groupItem)
        return;
    PRootOrg->Name = groupItem->Attr(QStringLiteral("Name"));
    PRootOrg->Id = StrToIntDef(groupItem->Attr(QStringLiteral("Id")), -1);
    parseGroup(*groupItem, *PRootOrg, 0);
}

void TOrgStructure::parseGroup(const TXmlNode &element, THS_Org &group, int depth)
{
    if (const TXmlNode *members = element.Child(QStringLiteral("Members"))) {
        QSet<qint32> seen;
        for (const auto &m : group.Members)
            seen.insert(m->Id);
        for (const auto &user : members->Children) {
            const qint32 id = StrToIntDef(user->Attr(QStringLiteral("Id")), -1);
            if (!seen.contains(id)) {
                seen.insert(id);
                auto node = std::make_unique<THS_Org>();
                node->Id = id;
                node->Name = user->Attr(QStringLiteral("Name"));
                node->Father = &group;
                group.Members.push_back(std::move(node));
            }
            const auto it = m_userIndex.constFind(id);
            mergeUser(readUser(*user, it == m_userIndex.constEnd() ? nullptr : &AOwnerRegInfo.at(*it)));
        }
    }
    if (depth >= kMaxGroupDepth)
        return;
    if (const TXmlNode *childs = element.Child(QStringLiteral("Childs"))) {
        for (const auto &sub : childs->Children) {
            auto node = std::make_unique<THS_Org>();
            node->Name = sub->Attr(QStringLiteral("Name"));
            node->Id = StrToIntDef(sub->Attr(QStringLiteral("Id")), -1);
            node->Father = &group;
            THS_Org &raw = *node;
            group.Childs.push_back(std::move(node));
            parseGroup(*sub, raw, depth + 1);
        }
    }
}

TOwnerRegInfo TOrgStructure::readUser(const TXmlNode &element, const TOwnerRegInfo *previous) const
{
    TOwnerRegInfo info;
    if (previous)
        info.OnLine = previous->OnLine;
    info.OwnerId = StrToIntDef(element.Attr(QStringLiteral("Id")), -1);
    info.DisplayName = element.Attr(QStringLiteral("Name"));
    info.Email = element.Attr(QStringLiteral("Email"));
    info.CoreId = element.Attr(QStringLiteral("CoreId"));
    info.BindingIp = element.Attr(QStringLiteral("BindingIp"));
    const TDateTime now = NowDateTime();
    info.LasterLoginTm = ParseWireDateTimeDef(element.Attr(QStringLiteral("LasterLoginTm")), now - 1.0);
    info.OnLine = (now - FTime_Deff - info.LasterLoginTm) < kOnlineWindowDays;
    info.StChanged = false;
    return info;
}

void TOrgStructure::mergeUser(const TOwnerRegInfo &info)
{
    const auto it = m_userIndex.constFind(info.OwnerId);
    if (it == m_userIndex.constEnd()) {
        m_userIndex.insert(info.OwnerId, AOwnerRegInfo.size());
        AOwnerRegInfo.append(info);
        return;
    }
    TOwnerRegInfo &old = AOwnerRegInfo[*it];
    const bool wasOnline = old.OnLine;
    old = info;
    old.StChanged = info.OnLine && !wasOnline;
}

TOwnerRegInfo TOrgStructure::GetUsrInfo(qint32 id) const
{
    const auto it = m_userIndex.constFind(id);
    if (it == m_userIndex.constEnd() || id == -1)
        return TOwnerRegInfo();
    return AOwnerRegInfo.at(*it);
}

void TOrgStructure::ResetUserStatus(const QString &xmlTxt)
{
    const std::unique_ptr<TXmlNode> doc = LoadBoundedXml(xmlTxt);
    if (!doc)
        return;
    for (const auto &user : doc->Children) {
        const qint32 id = StrToIntDef(user->Attr(QStringLiteral("Id")), -1);
        const auto it = m_userIndex.constFind(id);
        mergeUser(readUser(*user, it == m_userIndex.constEnd() ? nullptr : &AOwnerRegInfo.at(*it)));
    }
}

QList<TOwnerRegInfo> TOrgStructure::GetChangedUsers() const
{
    for (const TOwnerRegInfo &u : AOwnerRegInfo)
        if (u.StChanged)
            return {u};
    return {};
}

QList<const THS_Org *> TOrgStructure::GroupsBelowRoot() const
{
    QList<const THS_Org *> out;
    // Explicit stack: a deep tree must not deepen the call stack here either.
    std::vector<const THS_Org *> stack;
    for (auto it = PRootOrg->Childs.rbegin(); it != PRootOrg->Childs.rend(); ++it)
        stack.push_back(it->get());
    while (!stack.empty()) {
        const THS_Org *g = stack.back();
        stack.pop_back();
        out.append(g);
        for (auto it = g->Childs.rbegin(); it != g->Childs.rend(); ++it)
            stack.push_back(it->get());
    }
    return out;
}
