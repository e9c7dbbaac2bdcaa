#pragma once
// The organisation as the server describes it: nested groups with their
// members, and one table entry per distinct user.
#include "core/memberpowers.h"
#include "core/wiredate.h"

#include <QHash>
#include <QList>
#include <QString>

#include <iterator>
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

// Only Qt's implicitly shared strings and plain values: lists of it grow by realloc.
Q_DECLARE_TYPEINFO(TOwnerRegInfo, Q_RELOCATABLE_TYPE);

// The user table: one record per distinct user id, in the order users were first
// merged. A full record is twice the size of a user's whole XML entry, and the
// server's replies fill only five of its fields, so an entry keeps just those, with
// its mail address, staff number and bound address in one text shared by the
// table. at(), first() and iteration give whole records.
class TOwnerTable
{
public:
    qsizetype size() const { return qsizetype(m_entries.size()); }
    bool isEmpty() const { return m_entries.empty(); }
    TOwnerRegInfo at(qsizetype i) const;
    TOwnerRegInfo first() const { return at(0); }

    class const_iterator
    {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = TOwnerRegInfo;
        using difference_type = qsizetype;
        using pointer = void;
        using reference = TOwnerRegInfo;
        const_iterator() = default;
        TOwnerRegInfo operator*() const { return m_table->at(m_index); }
        const_iterator &operator++()
        {
            ++m_index;
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator was = *this;
            ++m_index;
            return was;
        }
        bool operator==(const const_iterator &other) const = default;

    private:
        friend class TOwnerTable;
        const_iterator(const TOwnerTable *table, qsizetype index) : m_table(table), m_index(index) {}
        const TOwnerTable *m_table = nullptr;
        qsizetype m_index = 0;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

private:
    friend class TOrgStructure;
    struct Span {
        quint32 At = 0;
        quint32 Size = 0;
    };
    struct Entry {
        qint32 OwnerId = -1;
        bool OnLine = false;
        bool StChanged = false;
        TDateTime LasterLoginTm = 0;
        QString DisplayName;   // shared with the user's member nodes in the tree
        Span Email, CoreId, BindingIp;
    };
    Span keep(QStringView text);
    QString text(Span span) const;
    void clear();

    std::vector<Entry> m_entries;
    QString m_text;   // the spans of every entry, end to end
};

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
    TOwnerTable AOwnerRegInfo;
    QList<qint32> FGroups;
    double FTime_Deff = 0;   // days; client clock minus server clock

    // Every group below the root, depth-first, parents before children.
    QList<const THS_Org *> GroupsBelowRoot() const;

private:
    TOwnerTable::Entry readUser(const QXmlStreamAttributes &attributes, const QString &name, TDateTime now);
    void mergeUser(TOwnerTable::Entry &&info);

    QHash<qint32, qsizetype> m_userIndex;
};
