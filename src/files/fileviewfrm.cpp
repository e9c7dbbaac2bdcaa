#include "files/fileviewfrm.h"

#include "core/helpers.h"
#include "files/asyncrun.h"
#include "platform/prompter.h"
#include "model/showfiles.h"
#include "net/neterror.h"
#include "net/robottcpclient.h"

#include <QCheckBox>
#include <QCollator>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

TFileViewModel::TFileViewModel(THS_Language lang, QObject *parent)
    : QAbstractTableModel(parent)
    , m_lang(lang)
{
}

int TFileViewModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int TFileViewModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColCount;
}

QVariant TFileViewModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    const TFileViewRow &r = m_rows[size_t(index.row())];
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case ColName: return r.Name;
        case ColSource: return r.SourcePath;
        case ColSize: return SizeKBText(r.Size);
        case ColDate: return FormatWireDateTime(r.ModifyDT);
        case ColStatus: return r.Status;
        }
    } else if (role == Qt::CheckStateRole && index.column() == ColName) {
        return r.Checked ? Qt::Checked : Qt::Unchecked;
    } else if (role == Qt::UserRole) {
        return r.Icon;
    }
    return {};
}

bool TFileViewModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole || !index.isValid() || index.column() != ColName)
        return false;
    SetChecked(index.row(), value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags TFileViewModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == ColName)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant TFileViewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    // In the interface's language: Chinese captions over an English window read as a fault.
    static const char *const chinese[] = {"名称", "源路径", "大小(KB)", "修改时间", "状态"};
    static const char *const english[] = {"Name", "Source path", "Size(KB)", "Modified", "Status"};
    if (section < 0 || section >= ColCount)
        return {};
    return QString::fromUtf8(m_lang == HSL_ENG ? english[section] : chinese[section]);
}

void TFileViewModel::AddRow(TFileViewRow row, const QString &pathText)
{
    const qsizetype cut = qMax(pathText.lastIndexOf(u'/'), pathText.lastIndexOf(u'\\'));
    row.SourcePath = pathText.left(cut + 1);
    row.Name = pathText.mid(cut + 1);
    beginInsertRows({}, int(m_rows.size()), int(m_rows.size()));
    m_rows.push_back(std::move(row));
    endInsertRows();
}

void TFileViewModel::SetChecked(int i, bool checked)
{
    if (i < 0 || i >= int(m_rows.size()))
        return;
    m_rows[size_t(i)].Checked = checked;
    Q_EMIT dataChanged(index(i, ColName), index(i, ColName), {Qt::CheckStateRole});
}

Qt::SortOrder TFileViewModel::SortByHeaderClick(int column)
{
    const Qt::SortOrder order = FLastIndex == column ? Qt::DescendingOrder : Qt::AscendingOrder;
    FLastIndex = order == Qt::DescendingOrder ? -1 : column;
    FSortCol = column;
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    const bool asc = order == Qt::AscendingOrder;
    Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::stable_sort(m_rows.begin(), m_rows.end(), [&](const TFileViewRow &a, const TFileViewRow &b) {
        if (column == ColSize)
            return asc ? a.Size / 1024 < b.Size / 1024 : b.Size / 1024 < a.Size / 1024;
        auto text = [column](const TFileViewRow &r) {
            switch (column) {
            case ColSource: return r.SourcePath;
            case ColDate: return FormatWireDateTime(r.ModifyDT);
            case ColStatus: return r.Status;
            default: return r.Name;
            }
        };
        const int c = collator.compare(text(a), text(b));
        return asc ? c < 0 : c > 0;
    });
    Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    return order;
}

bool TFileViewModel::AllChecked() const
{
    return !m_rows.empty() && std::all_of(m_rows.begin(), m_rows.end(), [](const TFileViewRow &r) { return r.Checked; });
}

void TFileViewModel::SetAllChecked(bool checked)
{
    for (TFileViewRow &r : m_rows)
        r.Checked = checked;
    FSearchInit = false;
    if (!m_rows.empty())
        Q_EMIT dataChanged(index(0, ColName), index(int(m_rows.size()) - 1, ColName), {Qt::CheckStateRole});
}

void TFileViewModel::SearchNames(const QString &text)
{
    const QString needle = text.trimmed().toLower();
    if (!FSearchInit) {
        for (TFileViewRow &r : m_rows)
            r.Checked = false;
        FSearchInit = true;
    }
    for (TFileViewRow &r : m_rows)
        if (!needle.isEmpty() && r.Name.toLower().contains(needle))
            r.Checked = true;
    if (!m_rows.empty())
        Q_EMIT dataChanged(index(0, ColName), index(int(m_rows.size()) - 1, ColName), {Qt::CheckStateRole});
}

QList<qint64> TFileViewModel::UncheckedPathHashes() const
{
    QList<qint64> out;
    for (const TFileViewRow &r : m_rows)
        if (!r.Checked)
            out.append(r.PathHash);
    return out;
}

// ---- windows

TFileViewFrm::TFileViewFrm(THS_Language lang, QWidget *parent)
    : QDialog(parent)
    , FHS_Language(lang)
    , m_model(new TFileViewModel(lang, this))
{
    setFont(QFont(lang == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    lvFiles = new QTreeView(this);
    lvFiles->setModel(m_model);
    lvFiles->setRootIsDecorated(false);
    lvFiles->setUniformRowHeights(true);
    lvFiles->header()->setSectionsClickable(true);
    chbAll = new QCheckBox(LangText(lang, "全部", "All"), this);
    edSearch = new QLineEdit(this);
    edSearch->setPlaceholderText(LangText(lang, "输入文件名称", "Input search name"));
    auto *btnSearch = new QPushButton(LangText(lang, "搜索", "Search"), this);
    auto *btnOk = new QPushButton(LangText(lang, "确定", "Confirm"), this);
    auto *btnClose = new QPushButton(LangText(lang, "关闭", "Close"), this);
    lblCount = new QLabel(this);
    auto *top = new QHBoxLayout;
    top->addWidget(chbAll);
    top->addStretch();
    top->addWidget(edSearch);
    top->addWidget(btnSearch);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(lblCount);
    bottom->addStretch();
    bottom->addWidget(btnOk);
    bottom->addWidget(btnClose);
    auto *l = new QVBoxLayout(this);
    l->addLayout(top);
    l->addWidget(lvFiles, 1);
    l->addLayout(bottom);
    resize(700, 450);
    connect(lvFiles->header(), &QHeaderView::sectionClicked, this, [this](int column) {
        lvFiles->header()->setSortIndicatorShown(true);
        lvFiles->header()->setSortIndicator(column, m_model->SortByHeaderClick(column));
    });
    connect(chbAll, &QCheckBox::clicked, m_model, &TFileViewModel::SetAllChecked);
    // "All" tells the truth about the rows: ticked when every row is, whoever ticked them.
    auto syncAll = [this] { chbAll->setChecked(m_model->AllChecked()); };
    connect(m_model, &QAbstractItemModel::dataChanged, this, syncAll);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, syncAll);
    connect(m_model, &QAbstractItemModel::modelReset, this, syncAll);
    connect(btnSearch, &QPushButton::clicked, this, [this] {
        if (!edSearch->text().trimmed().isEmpty())
            m_model->SearchNames(edSearch->text());
    });
    connect(btnOk, &QPushButton::clicked, this, &TFileViewFrm::Confirm);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::reject);
}

void TFileViewFrm::Confirm()
{
    if (Check())
        accept();
}

void TFileViewFrm::FitColumns()
{
    // Paths, sizes, times and states whole; the name takes the rest and elides.
    QHeaderView *h = lvFiles->header();
    for (int col : {TFileViewModel::ColSource, TFileViewModel::ColSize, TFileViewModel::ColDate, TFileViewModel::ColStatus})
        lvFiles->resizeColumnToContents(col);
    h->resizeSection(TFileViewModel::ColSource, qMin(h->sectionSize(TFileViewModel::ColSource), lvFiles->viewport()->width() / 2));
    int others = 0;
    for (int col = TFileViewModel::ColSource; col < TFileViewModel::ColCount; ++col)
        others += h->sectionSize(col);
    h->resizeSection(TFileViewModel::ColName, qMax(fontMetrics().horizontalAdvance(QStringLiteral("Quarterly report.docx")) + 40,
                                                   lvFiles->viewport()->width() - others));
}

void TFileViewFrm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    FitColumns();
}

void TFileViewFrm::UpdateCount()
{
    lblCount->setText(LangText(FHS_Language, "文件总数：", "Total files:") + QString::number(m_model->rowCount()));
}

TServerFolderFileView::TServerFolderFileView(const TServerConn &conn, QWidget *parent)
    : TFileViewFrm(conn.Language, parent)
    , m_conn(conn)
{
}

void TServerFolderFileView::LoadFile(qint64 ownerId, qint64 folderId)
{
    struct Reply {
        quint8 Status = 0;
        QString Text;
        std::vector<TServerFileEntry> Files;
    };
    const TServerConn conn = m_conn;
    RunAsync(this, [conn, ownerId, folderId] {
        Reply r;
        try {
            r.Status = conn.MakeClient()->LoadFolderFiles(ownerId, folderId, r.Text);
            if (r.Status == st::Ok)
                r.Files = ParseFolderFilesXml(r.Text);
        } catch (const ENetError &e) {
            r.Text = NetErrorText(e.kind(), e.message(), conn.Language);
        } catch (const std::exception &e) {
            r.Text = QString::fromUtf8(e.what());
        }
        return r;
    }, [this](const Reply &r) {
        if (r.Status != st::Ok) {
            TPrompter::Instance().Error(this, LangText(FHS_Language, "提示", "Hint"), r.Text);
        } else {
            for (const TServerFileEntry &f : r.Files) {
                TFileViewRow row;
                row.Size = f.Size;
                row.ModifyDT = f.ModifyDT;
                row.Icon = f.Icon;
                row.Id = f.Id;
                row.FullText = f.SourcePath + f.Name;
                m_model->AddRow(row, row.FullText);
            }
        }
        UpdateCount();
        FitColumns();
        Q_EMIT loaded();
    });
}

bool TServerFolderFileView::Check()
{
    const QModelIndex current = lvFiles->currentIndex();
    if (!current.isValid()) {
        TPrompter::Instance().Error(this, LangText(FHS_Language, "提示", "Hint"),
                                         LangText(FHS_Language, "选择文件!", "Select file!"));
        return false;
    }
    const TFileViewRow &row = m_model->Row(current.row());
    FFileId = row.Id;
    FFileName = row.FullText;
    return true;
}

TSelectFileView::TSelectFileView(THS_Language lang, QWidget *parent)
    : TFileViewFrm(lang, parent)
{
}

void TSelectFileView::AddFiles(const TTidyFile &p)
{
    TFileViewRow row;
    if (p.Dealed == 'c') {
        row.Status = LangText(FHS_Language, "已删除", "Deleted");
        row.Checked = false;
    } else if (p.Dealed == 'd') {
        row.Status = LangText(FHS_Language, "已完成", "Completed ");
        row.Checked = true;
    } else {
        row.Checked = true;
    }
    row.Size = p.Size;
    row.ModifyDT = p.ModifyDT;
    row.Icon = FileViewIconClass(p.Kind);
    row.PathHash = p.PathHash;
    m_model->AddRow(row, p.Path);
    UpdateCount();
}

bool TSelectFileView::Check()
{
    FSelectKey = true;
    return true;
}
