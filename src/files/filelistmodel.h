#pragma once
// The file manager's list: the parsed rows of one server folder with a check
// box each, header-click sorting, select-all and name search. One model row per
// server entry, so a folder of 100 000 files stays one cheap view.
#include "core/resultcodes.h"
#include "model/showfiles.h"

#include <QAbstractTableModel>
#include <QList>
#include <functional>
#include <vector>

struct TSelectedInfo {
    qint64 FileKey = 0;
    QString FileName;
    int Index = 0;
    bool IsFolder = false;
    qint64 SizeKB = -1;   // as the list showed it; -1 when unknown
};
using TSelectedInfos = QList<TSelectedInfo>;

enum class TChooseResult { Ok, SelOne, SelOne2 };

class TFileListModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { ColCaption = 0, ColUser, ColSize, ColDate, ColId, ColIsFolder, ColCount };

    explicit TFileListModel(THS_Language lang = HSL_NONE, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    void SetRows(std::vector<TFileRow> rows);
    void Clear();
    void AddRow(const TFileRow &row);
    bool HasCaption(const QString &caption) const;
    // Removes the row of this key at index, or wherever it went if the list moved
    // meanwhile; false when it is no longer there.
    bool RemoveEntry(int index, qint64 key, bool isFolder);
    const TFileRow &Row(int i) const { return m_rows[size_t(i)].row; }
    bool IsChecked(int i) const { return m_rows[size_t(i)].checked; }
    void SetChecked(int i, bool checked);

    // A header click: the same column again flips the order. Returns the order used.
    Qt::SortOrder SortByHeaderClick(int column);
    int FSortCol = -1;
    // Picture of an icon class; set by the window (the model knows no pictures).
    std::function<QVariant(int iconClass)> FIconFor;
    int FLastIndex = -1;   // column sorted ascending last

    void SetAllChecked(bool checked);
    // First use after ResetSearch unchecks every row, a later one the rows the
    // search before it ticked; then rows whose name contains the trimmed text
    // (case-insensitive) are checked.
    void SearchNames(const QString &text);
    void ResetSearch() { m_searchInit = false; }

    // Checked rows in list order; files only or files and folders; exactly one or any number.
    TChooseResult Choose(bool filesOnly, bool exactlyOne, TSelectedInfos &out) const;
    int CheckedCount() const { return m_checkedCount; }

Q_SIGNALS:
    void checkedCountChanged(int count);

private:
    void emitAllChanged();
    struct Entry {
        TFileRow row;
        bool checked = false;
        bool bySearch = false;   // ticked by the last search, not by the user
    };
    int m_checkedCount = 0;
    std::vector<Entry> m_rows;
    THS_Language m_lang;
    bool m_searchInit = false;
};
