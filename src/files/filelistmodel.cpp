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
    } else if (role == Qt::CheckStateRole && index.column() == ColCaption) {
        return e.checked ? Qt::Checked : Qt::Unchecked;
    } else if (role == Qt::ForegroundRole && index.column() == ColUser) {
        return QColor(Qt::red);
    } else if (role == Qt::DecorationRole && index.column() == ColCaption && FIconFor) {
        return FIconFor(e.row.Icon);
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
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
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

void TFileListModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= ColCount)
        return;
    Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> perm(m_rows.size());
    for (size_t i = 0; i < perm.size(); ++i)
        perm[i] = int(i);
    auto number = [column](const Entry &e) -> qint64 {
        return column == ColSize ? e.row.SizeKB() : column == ColId ? e.row.Key : qint64(e.row.IsFolder);
    };
    auto text = [column](const Entry &e) -> const QString & {
        return column == ColUser ? e.row.CheckOutUser : column == ColDate ? e.row.DateText : e.row.Caption;
    };
    const bool ascending = order == Qt::AscendingOrder;
    if (column == ColSize || column == ColId || column == ColIsFolder) {
        std::stable_sort(perm.begin(), perm.end(), [&](int a, int b) {
            const qint64 x = number(m_rows[size_t(a)]), y = number(m_rows[size_t(b)]);
            return ascending ? x < y : y < x;
        });
    } else {
        std::stable_sort(perm.begin(), perm.end(), [&](int a, int b) {
            const int c = QString::compare(text(m_rows[size_t(a)]), text(m_rows[size_t(b)]), Qt::CaseSensitive);
            return ascending ? c < 0 : c > 0;
        });
    }
    std::vector<Entry> sorted;
    sorted.reserve(m_rows.size());
    std::vector<int> newPos(m_rows.size());
    for (size_t i = 0; i < perm.size(); ++i) {
        newPos[size_t(perm[i])] = int(i);
        sorted.push_back(std::move(m_rows[size_t(perm[i])]));
    }
    m_rows = std::move(sorted);
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
        m_rows.push_back(Entry{std::move(r), false});
    m_searchInit = false;
    endResetModel();
}

void TFileListModel::Clear()
{
    SetRows({});
}

void TFileListModel::AddRow(const TFileRow &row)
{
    beginInsertRows({}, int(m_rows.size()), int(m_rows.size()));
    m_rows.push_back(Entry{row, false});
    endInsertRows();
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
    const QModelIndex idx = index(i, ColCaption);
    Q_EMIT dataChanged(idx, idx, {Qt::CheckStateRole});
}

void TFileListModel::SetAllChecked(bool checked)
{
    for (Entry &e : m_rows)
        e.checked = checked;
    m_searchInit = false;
    if (!m_rows.empty())
        Q_EMIT dataChanged(index(0, ColCaption), index(int(m_rows.size()) - 1, ColCaption), {Qt::CheckStateRole});
}

void TFileListModel::SearchNames(const QString &text)
{
    const QString needle = text.trimmed().toLower();
    if (!m_searchInit) {
        for (Entry &e : m_rows)
            e.checked = false;
        m_searchInit = true;
    }
    if (!needle.isEmpty()) {
        for (Entry &e : m_rows)
            if (e.row.Caption.toLower().contains(needle))
                e.checked = true;
    }
    if (!m_rows.empty())
        Q_EMIT dataChanged(index(0, ColCaption), index(int(m_rows.size()) - 1, ColCaption), {Qt::CheckStateRole});
}

TChooseResult TFileListModel::Choose(bool filesOnly, bool exactlyOne, TSelectedInfos &out) const
{
    out.clear();
    for (size_t i = 0; i < m_rows.size(); ++i) {
        const Entry &e = m_rows[i];
        if (!e.checked || (filesOnly && e.row.IsFolder))
            continue;
        out.append(TSelectedInfo{e.row.Key, e.row.Caption, int(i), e.row.IsFolder});
    }
    if (out.isEmpty())
        return TChooseResult::SelOne2;
    if (exactlyOne && out.size() > 1)
        return TChooseResult::SelOne;
    return TChooseResult::Ok;
}
