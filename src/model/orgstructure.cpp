#include "model/orgstructure.h"

#include "core/helpers.h"
#include "model/boundedxml.h"

#include <QSet>
#include <QXmlStreamReader>

#include <deque>
#include <limits>

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

namespace {
// The attributes of one element that the tree and the table read, as views into
// the reader's buffer: one walk over them instead of a lookup per name.
struct EntryAttributes {
    QStringView id, name, email, coreId, bindingIp, lastLogin;
};

EntryAttributes entryAttributes(const QXmlStreamAttributes &attributes)
{
    EntryAttributes e;
    bool seen[6] = {};
    auto take = [&seen](int i, QStringView &field, const QXmlStreamAttribute &a) {
        if (!seen[i]) {   // the first one counts, as an attribute lookup would give it
            seen[i] = true;
            field = a.value();
        }
    };
    for (const QXmlStreamAttribute &a : attributes) {
        const QStringView n = a.qualifiedName();
        if (n == u"Id")
            take(0, e.id, a);
        else if (n == u"Name")
            take(1, e.name, a);
        else if (n == u"Email")
            take(2, e.email, a);
        else if (n == u"CoreId")
            take(3, e.coreId, a);
        else if (n == u"BindingIp")
            take(4, e.bindingIp, a);
        else if (n == u"LasterLoginTm")
            take(5, e.lastLogin, a);
    }
    return e;
}
} // namespace

TOwnerTable::Span TOwnerTable::keep(QStringView text)
{
    // The shared text holds at most each attribute of the reply once; a reply of
    // four thousand million characters cannot arrive, so this never drops a text.
    if (text.isEmpty() || m_text.size() + text.size() > std::numeric_limits<quint32>::max())
        return {};
    const Span span{quint32(m_text.size()), quint32(text.size())};
    m_text.append(text);
    return span;
}

QString TOwnerTable::text(Span span) const
{
    return span.Size == 0 ? QString() : m_text.mid(span.At, span.Size);
}

TOwnerRegInfo TOwnerTable::at(qsizetype i) const
{
    const Entry &e = m_entries.at(size_t(i));
    TOwnerRegInfo info;
    info.OwnerId = e.OwnerId;
    info.OnLine = e.OnLine;
    info.StChanged = e.StChanged;
    info.LasterLoginTm = e.LasterLoginTm;
    info.DisplayName = e.DisplayName;
    info.Email = text(e.Email);
    info.CoreId = text(e.CoreId);
    info.BindingIp = text(e.BindingIp);
    return info;
}

void TOwnerTable::clear()
{
    std::vector<Entry>().swap(m_entries);
    m_text = QString();
}

TOwnerTable::Entry TOrgStructure::readUser(const QXmlStreamAttributes &attributes, const QString &name, TDateTime now)
{
    const EntryAttributes e = entryAttributes(attributes);
    TOwnerTable::Entry info;
    info.OwnerId = StrToIntDef(e.id, -1);
    info.DisplayName = name;
    info.Email = AOwnerRegInfo.keep(e.email);
    info.CoreId = AOwnerRegInfo.keep(e.coreId);
    info.BindingIp = AOwnerRegInfo.keep(e.bindingIp);
    info.LasterLoginTm = ParseWireDateTimeDef(e.lastLogin, now - 1.0);
    info.OnLine = (now - FTime_Deff - info.LasterLoginTm) < kOnlineWindowDays;
    info.StChanged = false;
    return info;
}

void TOrgStructure::ParseOrgStructure(const QString &xmlTxt)
{
    AOwnerRegInfo.clear();
    m_userIndex.clear();
    PRootOrg = std::make_unique<THS_Org>();
    if (xmlTxt.isEmpty())
        return;
    // Every entry is an element, so the "<" count bounds the table; with a floor on an
    // entry's length for hostile replies. Untouched capacity costs address space only,
    // while growing by copies would hold the table twice.
    const qsizetype bound = qMin(QStringView(xmlTxt).count(u'<'), xmlTxt.size() / 24);
    AOwnerRegInfo.m_entries.reserve(size_t(bound));
    m_userIndex.reserve(bound);
    // One streaming pass: an organisation of 50 000 users never exists as a second,
    // generic tree. Users reach the table in the order "Members" before "Childs" of
    // each group, whatever the document's order, since the later entry of a user wins.
    // A group's sub-groups read before its members wait in its deferred list, and
    // that list follows the members into the group's own sink (null: the table).
    enum class Kind { Root, Group, Members, Childs, Ignore };
    struct Context {
        Kind kind = Kind::Ignore;
        THS_Org *group = nullptr;
        Context *owner = nullptr;                       // Members, Childs: their group
        std::vector<TOwnerTable::Entry> *sink = nullptr;  // Group: where its users go
        std::vector<TOwnerTable::Entry> deferred;         // Group: sub-groups' users before its members
        QSet<qint32> memberIds;                         // Members
        bool membersSeen = false;
        bool childsSeen = false;
    };
    std::deque<Context> stack;   // a deque keeps the addresses of the contexts below
    auto push = [&stack](Kind kind, THS_Org *group = nullptr, Context *owner = nullptr) -> Context & {
        Context &c = stack.emplace_back();
        c.kind = kind;
        c.group = group;
        c.owner = owner;
        return c;
    };
    auto deliver = [this](TOwnerTable::Entry &&info, std::vector<TOwnerTable::Entry> *sink) {
        if (sink)
            sink->push_back(std::move(info));
        else
            mergeUser(std::move(info));
    };
    auto flush = [&deliver](Context &group) {
        for (TOwnerTable::Entry &u : group.deferred)
            deliver(std::move(u), group.sink);
        std::vector<TOwnerTable::Entry>().swap(group.deferred);
    };
    TXmlFeed feed(xmlTxt);
    QXmlStreamReader &reader = feed.reader();
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
        const QXmlStreamReader::TokenType token = feed.next();
        if (token == QXmlStreamReader::EndElement) {
            if (stack.empty())
                continue;
            Context &done = stack.back();
            if (done.kind == Kind::Group) {
                --groupDepth;
                flush(done);   // sub-groups' users of a group without members
            } else if (done.kind == Kind::Members) {
                flush(*done.owner);
            }
            stack.pop_back();
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        if (++elements > kMaxXmlElements || int(stack.size()) >= kMaxXmlDepth)
            return fail();
        if (stack.empty()) {
            push(Kind::Root);
            continue;
        }
        const QStringView name = reader.name();
        Context &top = stack.back();
        switch (top.kind) {
        case Kind::Root:
            if (name == u"GroupItem" && !rootSeen) {
                rootSeen = true;
                const EntryAttributes e = entryAttributes(reader.attributes());
                PRootOrg->Name = e.name.toString();
                PRootOrg->Id = StrToIntDef(e.id, -1);
                ++groupDepth;
                push(Kind::Group, PRootOrg.get());
            } else {
                push(Kind::Ignore);
            }
            break;
        case Kind::Group:
            if (name == u"Members" && !top.membersSeen) {
                top.membersSeen = true;
                push(Kind::Members, top.group, &top);
            } else if (name == u"Childs" && !top.childsSeen && groupDepth <= kMaxGroupDepth) {
                top.childsSeen = true;
                push(Kind::Childs, top.group, &top);
            } else {
                push(Kind::Ignore);
            }
            break;
        case Kind::Members: {
            const QXmlStreamAttributes a = reader.attributes();
            const EntryAttributes e = entryAttributes(a);
            const qint32 id = StrToIntDef(e.id, -1);
            const QString memberName = e.name.toString();
            if (!top.memberIds.contains(id)) {
                top.memberIds.insert(id);
                auto node = std::make_unique<THS_Org>();
                node->Id = id;
                node->Name = memberName;   // shared with the table entry
                node->Father = top.group;
                top.group->Members.push_back(std::move(node));
            }
            Context *group = top.owner;
            deliver(readUser(a, memberName, now), group->sink);
            push(Kind::Ignore);
            break;
        }
        case Kind::Childs: {
            const EntryAttributes e = entryAttributes(reader.attributes());
            auto node = std::make_unique<THS_Org>();
            node->Name = e.name.toString();
            node->Id = StrToIntDef(e.id, -1);
            node->Father = top.group;
            THS_Org *raw = node.get();
            top.group->Childs.push_back(std::move(node));
            ++groupDepth;
            Context *parent = top.owner;
            Context &child = push(Kind::Group, raw);
            child.sink = parent->membersSeen ? parent->sink : &parent->deferred;
            break;
        }
        case Kind::Ignore:
            push(Kind::Ignore);
            break;
        }
    }
    // A document that does not load as a whole gives nothing, as a DOM load would.
    if (reader.hasError())
        fail();
}

void TOrgStructure::mergeUser(TOwnerTable::Entry &&info)
{
    const auto it = m_userIndex.constFind(info.OwnerId);
    if (it == m_userIndex.constEnd()) {
        m_userIndex.insert(info.OwnerId, AOwnerRegInfo.size());
        AOwnerRegInfo.m_entries.push_back(std::move(info));
        return;
    }
    TOwnerTable::Entry &old = AOwnerRegInfo.m_entries[size_t(*it)];
    const bool wasOnline = old.OnLine;
    old = std::move(info);
    old.StChanged = old.OnLine && !wasOnline;
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
        mergeUser(readUser(user.Attributes, user.Attr(QStringLiteral("Name")), now));
    });
}

QList<TOwnerRegInfo> TOrgStructure::GetChangedUsers() const
{
    for (qsizetype i = 0; i < AOwnerRegInfo.size(); ++i)
        if (AOwnerRegInfo.m_entries[size_t(i)].StChanged)
            return {AOwnerRegInfo.at(i)};
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
