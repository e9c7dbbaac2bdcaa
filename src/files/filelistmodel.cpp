#include "files/filelistmodel.h"

#include "files/filetexts.h"

#include <QColor>

#include <algorithm>

TFileListModel::TFileListModel(THS_Language lang, QObject *parent)
    : QAbstractTableModel(parent)
    , m_lang(lang)
{
}

int TFileListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int TFileListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColCount;
}

QVariant TFileListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    const Entry &e = m_rows[size_t(index.row())];
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case ColCaption: return e.row.Caption;
        case ColUser: return e.row.CheckOutUser;
        case ColSize: return e.row.SizeText;
        case ColDate: return e.row.DateText;
        case ColId: return QString::number(e.row.Key);
        case ColIsFolder: return e.row.IsFolder ? QStringLiteral("1") : QStringLiteral("0");
        }
    } else if (role == Qt::ToolTipRole && index.column() == ColCaption) {
        return e.row.Caption;   // names elide in a narrow column: the whole name on hover
    } else if (role == Qt::CheckStateRole && index.column() == ColCaption) {
        return e.checked ? Qt::Checked : Qt::Unchecked;
    } else if (role == Qt::ForegroundRole && index.column() == ColUser) {
        return QColor(Qt::red);
    } else if (role == Qt::DecorationRole && index.column() == ColCaption && FIconFor) {
        return FIconFor(e.row.Icon);
    } else if (role == Qt::BackgroundRole && e.checked) {
        // Ticked rows stand out, so a tick made by a search is never missed.
        return QColor(255, 244, 196);
    } else if (role == Qt::UserRole) {
        return e.row.Icon;
    } else if (role == Qt::TextAlignmentRole && index.column() == ColSize) {
        return int(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

bool TFileListModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole || !index.isValid() || index.column() != ColCaption)
        return false;
    SetChecked(index.row(), value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags TFileListModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == ColCaption)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant TFileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    // A narrowed column shows its whole caption as a tool tip.
    if (role == Qt::ToolTipRole)
        return headerData(section, orientation, Qt::DisplayRole).toString().trimmed();
    switch (section) {
    case ColCaption: return LangText(m_lang, "   文件名", "      File name");
    case ColUser: return LangText(m_lang, "签出用户", "Check out user");
    case ColSize: return LangText(m_lang, "大小(KB)", "Size(KB)");
    case ColDate: return LangText(m_lang, "修改日期", "Modified");
    case ColId: return QStringLiteral("Id");
    case ColIsFolder: return QStringLiteral("IsFolder");
    }
    return {};
}

namespace {
// The size column's text is "bytes div 1024 + 1": digits only, parsed without
// the conversions of QString::toLongLong.
qint64 sizeKey(const QString &text)
{
    qint64 v = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return text.toLongLong();
        v = v * 10 + (c.unicode() - u'0');
    }
    return v;
}
} // namespace

void TFileListModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= ColCount)
        return;
    Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    // Keys are taken out of the rows once: comparing parsed sizes or texts in
    // place costs a parse or a pointer chase per comparison (100 000 rows: seconds).
    const bool ascending = order == Qt::AscendingOrder;
    std::vector<int> perm(m_rows.size());
    if (column == ColSize || column == ColId || column == ColIsFolder) {
        std::vector<std::pair<qint64, int>> keys(m_rows.size());
        for (size_t i = 0; i < keys.size(); ++i) {
            const TFileRow &r = m_rows[i].row;
            keys[i] = {column == ColSize ? sizeKey(r.SizeText) : column == ColId ? r.Key : qint64(r.IsFolder), int(i)};
        }
        // Ties keep their list order, in either direction.
        std::sort(keys.begin(), keys.end(), [ascending](const auto &x, const auto &y) {
            if (x.first != y.first)
                return ascending ? x.first < y.first : y.first < x.first;
            return x.second < y.second;
        });
        for (size_t i = 0; i < keys.size(); ++i)
            perm[i] = keys[i].second;
    } else {
        // Each text's first eight code units after the prefix that all share
        // (dates all start "20", names often alike) decide most comparisons.
        auto textOf = [column](const Entry &e) -> const QString & {
            return column == ColUser ? e.row.CheckOutUser : column == ColDate ? e.row.DateText : e.row.Caption;
        };
        qsizetype common = m_rows.empty() ? 0 : textOf(m_rows.front()).size();
        for (size_t i = 1; i < m_rows.size() && common > 0; ++i) {
            const QString &a = textOf(m_rows.front()), &t = textOf(m_rows[i]);
            qsizetype k = 0;
            while (k < common && k < t.size() && a.at(k) == t.at(k))
                ++k;
            common = k;
        }
        struct TextKey {
            quint64 head1, head2;
            QStringView text;
            int row;
        };
        std::vector<TextKey> keys(m_rows.size());
        for (size_t i = 0; i < keys.size(); ++i) {
            const QString &t = textOf(m_rows[i]);
            quint64 h[2] = {0, 0};
            for (qsizetype k = 0; k < 8; ++k)
                h[k / 4] = (h[k / 4] << 16) | (common + k < t.size() ? t.at(common + k).unicode() : 0u);
            keys[i] = {h[0], h[1], t, int(i)};
        }
        std::sort(keys.begin(), keys.end(), [ascending](const TextKey &x, const TextKey &y) {
            int c = x.head1 != y.head1 ? (x.head1 < y.head1 ? -1 : 1) : x.head2 != y.head2 ? (x.head2 < y.head2 ? -1 : 1) : 0;
            if (c == 0)
                c = x.text.compare(y.text, Qt::CaseSensitive);
            if (c != 0)
                return ascending ? c < 0 : c > 0;
            return x.row < y.row;
        });
        for (size_t i = 0; i < keys.size(); ++i)
            perm[i] = keys[i].row;
    }
    // Rows move in place along the permutation's cycles: a second list of
    // 100 000 rows would cost more in fresh pages than the sort itself.
    std::vector<int> newPos(m_rows.size());
    for (size_t i = 0; i < perm.size(); ++i)
        newPos[size_t(perm[i])] = int(i);
    std::vector<bool> placed(m_rows.size());
    for (size_t start = 0; start < perm.size(); ++start) {
        if (placed[start])
            continue;
        Entry held = std::move(m_rows[start]);
        size_t at = start;
        for (;;) {
            placed[at] = true;
            const size_t from = size_t(perm[at]);
            if (from == start) {
                m_rows[at] = std::move(held);
                break;
            }
            m_rows[at] = std::move(m_rows[from]);
            at = from;
        }
    }
    QModelIndexList after;
    for (const QModelIndex &p : before)
        after << index(newPos[size_t(p.row())], p.column());
    changePersistentIndexList(before, after);
    Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

Qt::SortOrder TFileListModel::SortByHeaderClick(int column)
{
    const Qt::SortOrder order = FLastIndex == column ? Qt::DescendingOrder : Qt::AscendingOrder;
    FLastIndex = order == Qt::AscendingOrder ? column : -1;
    FSortCol = column;
    sort(column, order);
    return order;
}

void TFileListModel::SetRows(std::vector<TFileRow> rows)
{
    beginResetModel();
    m_rows.clear();
    m_rows.reserve(rows.size());
    for (TFileRow &r : rows)
        m_rows.push_back(Entry{std::move(r), false, false});
    m_searchInit = false;
    m_checkedCount = 0;
    endResetModel();
    Q_EMIT checkedCountChanged(0);
}

void TFileListModel::Clear()
{
    SetRows({});
}

void TFileListModel::AddRow(const TFileRow &row)
{
    beginInsertRows({}, int(m_rows.size()), int(m_rows.size()));
    m_rows.push_back(Entry{row, false, false});
    endInsertRows();
}

bool TFileListModel::RemoveEntry(int index, qint64 key, bool isFolder)
{
    auto matches = [&](int i) {
        const TFileRow &r = m_rows[size_t(i)].row;
        return r.Key == key && r.IsFolder == isFolder;
    };
    int at = index >= 0 && index < int(m_rows.size()) && matches(index) ? index : -1;
    for (int i = 0; at < 0 && i < int(m_rows.size()); ++i)
        if (matches(i))
            at = i;
    if (at < 0)
        return false;
    const bool wasChecked = m_rows[size_t(at)].checked;
    beginRemoveRows({}, at, at);
    m_rows.erase(m_rows.begin() + at);
    endRemoveRows();
    if (wasChecked) {
        --m_checkedCount;
        Q_EMIT checkedCountChanged(m_checkedCount);
    }
    return true;
}

bool TFileListModel::HasCaption(const QString &caption) const
{
    return std::any_of(m_rows.begin(), m_rows.end(), [&](const Entry &e) { return e.row.Caption == caption; });
}

void TFileListModel::SetChecked(int i, bool checked)
{
    if (i < 0 || i >= int(m_rows.size()) || m_rows[size_t(i)].checked == checked)
        return;
    m_rows[size_t(i)].checked = checked;
    m_rows[size_t(i)].bySearch = false;
    m_checkedCount += checked ? 1 : -1;
    Q_EMIT dataChanged(index(i, 0), index(i, ColCount - 1), {Qt::CheckStateRole, Qt::BackgroundRole});
    Q_EMIT checkedCountChanged(m_checkedCount);
}

void TFileListModel::SetAllChecked(bool checked)
{
    for (Entry &e : m_rows) {
        e.checked = checked;
        e.bySearch = false;
    }
    m_searchInit = false;
    m_checkedCount = checked ? int(m_rows.size()) : 0;
    emitAllChanged();
}

void TFileListModel::emitAllChanged()
{
    if (!m_rows.empty())
        Q_EMIT dataChanged(index(0, 0), index(int(m_rows.size()) - 1, ColCount - 1), {Qt::CheckStateRole, Qt::BackgroundRole});
    Q_EMIT checkedCountChanged(m_checkedCount);
}

void TFileListModel::SearchNames(const QString &text)
{
    const QString needle = text.trimmed().toLower();
    // A new search takes back the ticks of the one before; the user's own stay.
    for (Entry &e : m_rows) {
        if (!m_searchInit || e.bySearch)
            e.checked = false;
        e.bySearch = false;
    }
    m_searchInit = true;
    if (!needle.isEmpty()) {
        for (Entry &e : m_rows)
            if (!e.checked && e.row.Caption.toLower().contains(needle))
                e.checked = e.bySearch = true;
    }
    m_checkedCount = int(std::count_if(m_rows.begin(), m_rows.end(), [](const Entry &e) { return e.checked; }));
    emitAllChanged();
}

TChooseResult TFileListModel::Choose(bool filesOnly, bool exactlyOne, TSelectedInfos &out) const
{
    out.clear();
    for (size_t i = 0; i < m_rows.size(); ++i) {
        const Entry &e = m_rows[i];
        if (!e.checked || (filesOnly && e.row.IsFolder))
            continue;
        out.append(TSelectedInfo{e.row.Key, e.row.Caption, int(i), e.row.IsFolder, e.row.IsFolder ? -1 : sizeKey(e.row.SizeText)});
    }
    if (out.isEmpty())
        return TChooseResult::SelOne2;
    if (exactlyOne && out.size() > 1)
        return TChooseResult::SelOne;
    return TChooseResult::Ok;
}
