#include "model/orgstructure.h"

#include "core/helpers.h"
#include "model/boundedxml.h"

#include <QSet>
#include <QXmlStreamReader>

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
    // One streaming pass in document order: an organisation of 50 000 users never
    // exists as a second, generic tree. The contexts mirror the elements we read.
    enum class Kind { Root, Group, Members, Childs, Ignore };
    struct Context {
        Kind kind = Kind::Ignore;
        THS_Org *group = nullptr;
        bool membersSeen = false;
        bool childsSeen = false;
        QSet<qint32> memberIds;
    };
    auto ctx = [](Kind kind, THS_Org *group = nullptr) {
        Context c;
        c.kind = kind;
        c.group = group;
        return c;
    };
    std::vector<Context> stack;
    QXmlStreamReader reader(xmlTxt);
    const TDateTime now = NowDateTime();
    bool rootSeen = false;
    qsizetype elements = 0;
    int groupDepth = 0;
    auto fail = [this] {
        AOwnerRegInfo.clear();
        m_userIndex.clear();
        PRootOrg = std::make_unique<THS_Org>();
    };
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement) {
            if (!stack.empty()) {
                if (stack.back().kind == Kind::Group)
                    --groupDepth;
                stack.pop_back();
            }
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        if (++elements > kMaxXmlElements || int(stack.size()) >= kMaxXmlDepth)
            return fail();
        const QStringView name = reader.name();
        const QXmlStreamAttributes a = reader.attributes();
        if (stack.empty()) {
            stack.push_back(ctx(Kind::Root));
            continue;
        }
        Context &top = stack.back();
        switch (top.kind) {
        case Kind::Root:
            if (name == QLatin1String("GroupItem") && !rootSeen) {
                rootSeen = true;
                PRootOrg->Name = a.value(QStringLiteral("Name")).toString();
                PRootOrg->Id = StrToIntDef(a.value(QStringLiteral("Id")).toString(), -1);
                ++groupDepth;
                stack.push_back(ctx(Kind::Group, PRootOrg.get()));
            } else {
                stack.push_back(ctx(Kind::Ignore));
            }
            break;
        case Kind::Group:
            if (name == QLatin1String("Members") && !top.membersSeen) {
                top.membersSeen = true;
                stack.push_back(ctx(Kind::Members, top.group));
            } else if (name == QLatin1String("Childs") && !top.childsSeen && groupDepth <= kMaxGroupDepth) {
                top.childsSeen = true;
                stack.push_back(ctx(Kind::Childs, top.group));
            } else {
                stack.push_back(ctx(Kind::Ignore));
            }
            break;
        case Kind::Members: {
            THS_Org &group = *top.group;
            const qint32 id = StrToIntDef(a.value(QStringLiteral("Id")).toString(), -1);
            if (!top.memberIds.contains(id)) {
                top.memberIds.insert(id);
                auto node = std::make_unique<THS_Org>();
                node->Id = id;
                node->Name = a.value(QStringLiteral("Name")).toString();
                node->Father = &group;
                group.Members.push_back(std::move(node));
            }
            TXmlNode user;
            user.Attributes = a;
            const auto it = m_userIndex.constFind(id);
            mergeUser(readUser(user, it == m_userIndex.constEnd() ? nullptr : &AOwnerRegInfo.at(*it), now));
            stack.push_back(ctx(Kind::Ignore));
            break;
        }
        case Kind::Childs: {
            auto node = std::make_unique<THS_Org>();
            node->Name = a.value(QStringLiteral("Name")).toString();
            node->Id = StrToIntDef(a.value(QStringLiteral("Id")).toString(), -1);
            node->Father = top.group;
            THS_Org *raw = node.get();
            top.group->Childs.push_back(std::move(node));
            ++groupDepth;
            stack.push_back(ctx(Kind::Group, raw));
            break;
        }
        case Kind::Ignore:
            stack.push_back(ctx(Kind::Ignore));
            break;
        }
    }
    // A document that does not load as a whole gives nothing, as a DOM load would.
    if (reader.hasError())
        fail();
}

TOwnerRegInfo TOrgStructure::readUser(const TXmlNode &element, const TOwnerRegInfo *previous, TDateTime now) const
{
    TOwnerRegInfo info;
    if (previous)
        info.OnLine = previous->OnLine;
    info.OwnerId = StrToIntDef(element.Attr(QStringLiteral("Id")), -1);
    info.DisplayName = element.Attr(QStringLiteral("Name"));
    info.Email = element.Attr(QStringLiteral("Email"));
    info.CoreId = element.Attr(QStringLiteral("CoreId"));
    info.BindingIp = element.Attr(QStringLiteral("BindingIp"));
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
    const TDateTime now = NowDateTime();
    ForEachRootChild(xmlTxt, [this, now](const TXmlNode &user) {
        const qint32 id = StrToIntDef(user.Attr(QStringLiteral("Id")), -1);
        const auto it = m_userIndex.constFind(id);
        mergeUser(readUser(user, it == m_userIndex.constEnd() ? nullptr : &AOwnerRegInfo.at(*it), now));
    });
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
