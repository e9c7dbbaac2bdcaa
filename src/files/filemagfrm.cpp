#include "files/filemagfrm.h"

#include "core/clientconfigx.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/webcmd.h"
#include "files/asyncrun.h"
#include "files/filedelfrm.h"
#include "files/filedownloadfrm.h"
#include "files/filemaglogic.h"
#include "model/folderchanges.h"
#include "platform/prompter.h"
#include "platform/styleicons.h"
#include "files/fileuploadfrm.h"
#include "files/setfoldrnamefrm.h"
#include "files/logging.h"
#include "model/orgstructure.h"
#include "model/showfiles.h"
#include "model/showfolder.h"
#include "net/neterror.h"
#include "net/robottcpclient.h"
#include "net/sslhttp.h"
#include "net/webendpoints.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
constexpr int DataRole = Qt::UserRole;
constexpr int ImageRole = Qt::UserRole + 1;
constexpr int kHttpTimeoutMs = 30000;

struct TOrgReply {
    quint8 Status = 0;
    QString Text;
    QString Error;   // a transport error's message
    std::shared_ptr<TOrgStructure> Org;
};

struct TListReply {
    bool Ok = false;
    QString Error;
    std::vector<TFileRow> Rows;
};

// A folder page's answer, or why none came. The error names the server, not
// the address asked, which carries the user's ticket.
struct TPageAnswer {
    bool Ok = false;
    QString Text;
};

TPageAnswer getPage(const QString &url, const QString &baseUrl, bool ssl)
{
    TPageAnswer a;
    QByteArray body;
    a.Ok = TSSLHttp(ssl).Get(url, kHttpTimeoutMs, &body, &a.Text);
    if (a.Ok)
        a.Text = QString::fromUtf8(body).trimmed();
    else
        a.Text.replace(url, baseUrl);
    return a;
}

// A refusal in the server's own words; without any, what failed and what kept the answer away.
QString folderRefusal(THS_Language lang, const QString &what, const QString &name, const TPageAnswer &answer)
{
    if (answer.Ok && !answer.Text.isEmpty())
        return answer.Text;
    const QString why = !answer.Text.isEmpty() ? answer.Text : LangText(lang, "服务器没有给出答复。", "the server gave no answer.");
    return what.arg(name) + why;
}
} // namespace

TFileMagSession TFileMagSession::FromConfig(const TClientConfigX &config)
{
    TFileMagSession s;
    s.Conn = TServerConn::FromConfig(config);
    s.UserId = config.OwnerId2();
    s.UserName = config.OwnerName();
    s.WorkRoot = config.WorkRoot();
    s.ConfigFolder = GetConfigFolder();
    s.LastGroupId = config.LastGroupId();
    return s;
}

TFileMagFrm::TFileMagFrm(QWidget *parent, THS_Language language)
    : QWidget(parent)
    , FHS_Language(language)
    , m_texts(language)
{
    FOpenUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    FAskFolderName = [this](QString &name) { return TSetFoldrNameFrm::Ask(this, FHS_Language, name); };
    m_model = new TFileListModel(language, this);
    m_reloadSoon.setSingleShot(true);
    m_reloadSoon.setInterval(300);
    connect(&m_reloadSoon, &QTimer::timeout, this, &TFileMagFrm::reloadKeepingTicks);
    connect(&TFolderChanges::Instance(), &TFolderChanges::changed, this, &TFileMagFrm::FolderChanged);
    buildUi();
}

TFileMagFrm::~TFileMagFrm()
{
    // The views may lay out once more while the window's children go, after the icons have gone.
    m_model->FIconFor = nullptr;
}

void TFileMagFrm::buildUi()
{
    const bool en = FHS_Language == HSL_ENG;
    auto tx = [this](const char *cn, const char *e) { return LangText(FHS_Language, cn, e); };
    setFont(QFont(en ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));

    tbTools = new QToolBar(this);
    // Captions under small icons: every tool fits the starting width.
    tbTools->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    tbTools->setIconSize(QSize(16, 16));
    // Tight buttons: all nine English captions fit beside the icon bar at 800 pixels.
    tbTools->setStyleSheet(QStringLiteral("QToolBar { spacing: 0px; padding: 0px; } QToolButton { padding: 1px 0px; }"));
    auto add = [this](const QString &text, QStyle::StandardPixmap icon, auto slot) {
        QAction *a = tbTools->addAction(StyleIcon(icon), text);
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    add(tx("刷新", "Refresh"), QStyle::SP_BrowserReload, [this] { Refresh(); });
    add(tx("上传", "Upload"), QStyle::SP_ArrowUp, [this] { Upload(); });
    add(tx("下载", "Download"), QStyle::SP_ArrowDown, [this] { Download(); });
    add(tx("预览", "Preview"), QStyle::SP_FileDialogContentsView, [this] { Preview(); });
    const QString delText = tx("删除", "Delete");
    add(delText, QStyle::SP_TrashIcon, [this] { Delete(); });
    add(tx("摘要", "Summary"), QStyle::SP_FileDialogInfoView, [this] { Summary(); });
    add(tx("新建文件夹", "New Folder"), QStyle::SP_FileDialogNewFolder, [this] { NewFolder(); });
    const QString bulkUp = tx("批量上传", "Bluk upload"), bulkDown = tx("批量下载", "Bluk download");
    add(bulkUp, QStyle::SP_DriveNetIcon, [this] { BulkUpload(); });
    add(bulkDown, QStyle::SP_DriveNetIcon, [this] { BulkDownload(); });

    pmList = new QMenu(this);
    connect(pmList->addAction(tx("上传文件", "Upload file")), &QAction::triggered, this, [this] { Upload(); });
    connect(pmList->addAction(tx("下载文件", "Download file")), &QAction::triggered, this, [this] { Download(); });
    connect(pmList->addAction(tx("预览文件", "Preview file")), &QAction::triggered, this, [this] { Preview(); });
    connect(pmList->addAction(tx("删除文件", "Delete file")), &QAction::triggered, this, [this] { Delete(); });
    connect(pmList->addAction(tx("签出", "Check out")), &QAction::triggered, this, [this] { VersionAction(18); });
    connect(pmList->addAction(tx("签入", "Check in")), &QAction::triggered, this, [this] { VersionAction(20); });
    connect(pmList->addAction(tx("取消签出", "Cancel check out")), &QAction::triggered, this, [this] { VersionAction(19); });
    pmFolder = new QMenu(this);
    connect(pmFolder->addAction(tx("新建文件夹", "New Folder")), &QAction::triggered, this, [this] { NewFolder(); });
    connect(pmFolder->addAction(tx("文件夹重命名", "Rename Folder")), &QAction::triggered, this, [this] { RenameFolder(); });
    connect(pmFolder->addAction(bulkUp), &QAction::triggered, this, [this] { BulkUpload(); });
    connect(pmFolder->addAction(bulkDown), &QAction::triggered, this, [this] { BulkDownload(); });
    connect(pmFolder->addAction(tx("显示差异", "Show differences")), &QAction::triggered, this, [this] { ShowDiff(); });

    m_left = new QStackedWidget(this);
    tvOrg = new QTreeWidget(m_left);
    tvOrg->setHeaderHidden(true);
    tvFolder = new QTreeWidget(m_left);
    tvFolder->setHeaderHidden(true);
    tvFolder->setContextMenuPolicy(Qt::CustomContextMenu);
    m_left->addWidget(tvOrg);
    m_left->addWidget(tvFolder);

    chbAllFile = new QCheckBox(tx("全部", "All"), this);
    lblTicked = new QLabel(this);
    edSearch = new QLineEdit(this);
    edSearch->setPlaceholderText(tx("输入文件名称", "Input search name"));
    auto *btnSearch = new QPushButton(tx("搜索", "Search"), this);
    lvFiles = new QTreeView(this);
    lvFiles->setModel(m_model);
    lvFiles->setRootIsDecorated(false);
    lvFiles->setUniformRowHeights(true);   // keeps 100 000 rows cheap to lay out
    // By item, the hidden key columns count as columns to scroll to: a bar shows though all fits.
    lvFiles->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    lvFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvFiles->setContextMenuPolicy(Qt::CustomContextMenu);
    lvFiles->header()->setSectionsClickable(true);
    // The other columns are as wide as their caption and a full date; the name
    // column takes the rest of the list, until the user sizes a column himself.
    {
        QHeaderView *h = lvFiles->header();
        h->setStretchLastSection(false);
        h->setSectionResizeMode(QHeaderView::Interactive);
        h->setMinimumSectionSize(24);
        const QFontMetrics fm(font());
        auto fit = [&](int col, const QString &sample) {
            const QString caption = m_model->headerData(col, Qt::Horizontal, Qt::DisplayRole).toString();
            h->resizeSection(col, qMax(fm.horizontalAdvance(caption), fm.horizontalAdvance(sample)) + 14);
        };
        fit(TFileListModel::ColUser, QString());
        fit(TFileListModel::ColSize, QStringLiteral("9999999"));
        fit(TFileListModel::ColDate, QStringLiteral("2000-00-00 00:00:00"));
        h->resizeSection(TFileListModel::ColCaption, NameColumnMinimum());
        // Hidden only now: setting the modes of every section kept the hidden ones' width in the
        // header's length, which showed a scroll bar though every column fitted.
        lvFiles->setColumnHidden(TFileListModel::ColId, true);
        lvFiles->setColumnHidden(TFileListModel::ColIsFolder, true);
        connect(h, &QHeaderView::sectionResized, this, [this](int, int, int) {
            if (!m_fittingColumns)
                m_userSizedColumns = true;
        });
        if (!m_columnState.isEmpty())
            RestoreColumnState(m_columnState);
    }
    lvFiles->viewport()->setAcceptDrops(true);
    lvFiles->viewport()->installEventFilter(this);
    m_dropTarget = lvFiles->viewport();
    plWait = new QLabel(tx("正在加载文件，请稍后····", "Loading the file, please wait..."), this);
    plWait->setAlignment(Qt::AlignCenter);
    plWait->hide();
    m_model->FIconFor = [this](int iconClass) -> QVariant {
        return icon(iconClass == kFolderIcon ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
    };

    auto *right = new QWidget(this);
    auto *searchRow = new QHBoxLayout;
    searchRow->addWidget(chbAllFile);
    searchRow->addWidget(lblTicked);
    searchRow->addStretch();
    searchRow->addWidget(edSearch);
    searchRow->addWidget(btnSearch);
    auto *rl = new QVBoxLayout(right);
    rl->setContentsMargins(0, 0, 0, 0);
    rl->addLayout(searchRow);
    rl->addWidget(plWait);
    rl->addWidget(lvFiles, 1);
    auto *split = new QSplitter(this);
    split->addWidget(m_left);
    split->addWidget(right);
    split->setStretchFactor(1, 1);
    // The folder tree starts wide enough for folder names; the file names need the room more
    // than the back node's long caption, which the tree scrolls to.
    split->setSizes({qBound(165, QFontMetrics(font()).horizontalAdvance(m_texts.WLS_SelGroup) + 64, 170), 600});
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tbTools);
    layout->addWidget(split, 1);

    connect(tvOrg, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { chooseOwner(item); });
    connect(tvOrg, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem *item) {
        // The double-click that chose an owner must not also fold its node.
        if (!FAllowDBClickEvent) {
            FAllowDBClickEvent = true;
            tvOrg->collapseItem(item);
        }
    });
    connect(tvFolder, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem *item) {
        // Opened by its arrow: the sub-folders are asked for now, not at the next selection.
        if (NodeImage(item) == img::HasChilds || NodeImage(item) == img::OwnerFolder) {
            setImage(item, img::Loaded);
            fillSubFolders(item);
        }
    });
    connect(tvFolder, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem *current) {
        if (current)
            folderSelected(current);
    });
    connect(tvFolder, &QWidget::customContextMenuRequested, this, [this](const QPoint &p) { contextMenu(p, false); });
    connect(lvFiles, &QWidget::customContextMenuRequested, this, [this](const QPoint &p) { contextMenu(p, true); });
    connect(lvFiles->header(), &QHeaderView::sectionClicked, this, [this](int column) {
        const Qt::SortOrder order = m_model->SortByHeaderClick(column);
        lvFiles->header()->setSortIndicatorShown(column != TFileListModel::ColCaption);
        // Qt draws its ascending mark pointing down; desktops show ascending pointing up.
        lvFiles->header()->setSortIndicator(column, order == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder);
    });
    connect(lvFiles, &QAbstractItemView::clicked, this, [this](const QModelIndex &index) {
        if (index.isValid() && index.row() < m_model->rowCount() && m_model->Row(index.row()).IsFolder)
            openFolderRow(index.row());
    });
    connect(lvFiles->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection &selected, const QItemSelection &deselected) {
                auto fileRow = [this](const QModelIndex &i) {
                    return i.isValid() && i.column() == 0 && i.row() < m_model->rowCount() && !m_model->Row(i.row()).IsFolder;
                };
                for (const QModelIndex &i : selected.indexes())
                    if (fileRow(i))
                        m_model->SetChecked(i.row(), true);
                for (const QModelIndex &i : deselected.indexes())
                    if (fileRow(i))
                        m_model->SetChecked(i.row(), false);
            });
    connect(chbAllFile, &QCheckBox::clicked, this, [this](bool on) { m_model->SetAllChecked(on); });
    connect(m_model, &TFileListModel::checkedCountChanged, this, &TFileMagFrm::updateTicked);
    connect(lvFiles, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &index) {
        if (index.isValid() && index.row() < m_model->rowCount() && !m_model->Row(index.row()).IsFolder) {
            const TFileRow &r = m_model->Row(index.row());
            previewFile(TSelectedInfo{r.Key, r.Caption, index.row(), false});
        }
    });
    auto *tickAll = new QAction(lvFiles);
    tickAll->setShortcut(QKeySequence::SelectAll);
    tickAll->setShortcutContext(Qt::WidgetShortcut);
    lvFiles->addAction(tickAll);
    connect(tickAll, &QAction::triggered, this, [this] { m_model->SetAllChecked(true); });
    auto *del = new QAction(this);
    del->setShortcut(QKeySequence::Delete);
    del->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(del);
    connect(del, &QAction::triggered, this, [this] { Delete(); });
    auto *refresh = new QAction(this);
    refresh->setShortcut(QKeySequence(Qt::Key_F5));
    refresh->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(refresh);
    connect(refresh, &QAction::triggered, this, [this] { Refresh(); });
    // The second press of a double-click that chose an owner lands on the folder
    // tree that replaced the organisation, where it would pick the back node.
    tvFolder->viewport()->installEventFilter(this);
    m_folderViewport = tvFolder->viewport();
    auto search = [this] {
        if (!edSearch->text().trimmed().isEmpty())
            m_model->SearchNames(edSearch->text());
    };
    connect(btnSearch, &QPushButton::clicked, this, search);
    connect(edSearch, &QLineEdit::returnPressed, this, search);
}

void TFileMagFrm::SetSession(const TFileMagSession &session)
{
    m_session = session;
    if (FHS_Language != session.Conn.Language) {
        m_columnState = ColumnState();
        // Texts follow the session's language; the window is rebuilt once.
        FHS_Language = session.Conn.Language;
        m_texts = TFileMagTexts(FHS_Language);
        m_dropTarget = nullptr;
        m_folderViewport = nullptr;
        qDeleteAll(actions());   // the window's shortcuts, made again below
        qDeleteAll(findChildren<QWidget *>(Qt::FindDirectChildrenOnly));
        delete layout();
        delete m_model;
        m_model = new TFileListModel(FHS_Language, this);
        buildUi();
    }
    FAppPath = session.ConfigFolder;
}

int TFileMagFrm::NodeData(const QTreeWidgetItem *item)
{
    return item ? item->data(0, DataRole).toInt() : 0;
}

int TFileMagFrm::NodeImage(const QTreeWidgetItem *item)
{
    return item ? item->data(0, ImageRole).toInt() : 0;
}

QIcon TFileMagFrm::icon(QStyle::StandardPixmap which)
{
    // One icon of each kind for all rows: they share its pictures.
    auto it = m_icons.find(int(which));
    if (it == m_icons.end())
        it = m_icons.insert(int(which), StyleIcon(which));
    return *it;
}

void TFileMagFrm::setImage(QTreeWidgetItem *item, int image)
{
    item->setData(0, ImageRole, image);
    QStyle::StandardPixmap icon = QStyle::SP_DirIcon;
    switch (image) {
    case img::User: icon = QStyle::SP_ComputerIcon; break;
    case img::Owner: icon = QStyle::SP_DirHomeIcon; break;
    case img::Back: icon = QStyle::SP_ArrowBack; break;
    case img::HasChilds:
    case img::OwnerFolder: icon = QStyle::SP_DirClosedIcon; break;
    default: break;
    }
    item->setIcon(0, this->icon(icon));
    // Unloaded folders show an expander so the user sees there is more.
    item->setChildIndicatorPolicy(image == img::HasChilds || image == img::OwnerFolder
                                      ? QTreeWidgetItem::ShowIndicator
                                      : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

QTreeWidgetItem *TFileMagFrm::addNode(QTreeWidgetItem *parent, const QString &caption, int data, int image)
{
    auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tvFolder);
    item->setText(0, caption);
    item->setData(0, DataRole, data);
    setImage(item, image);
    return item;
}

void TFileMagFrm::showError(const QString &text)
{
    TPrompter::Instance().Error(this, m_texts.WLS_Hint, text);
}

void TFileMagFrm::showInfo(const QString &text)
{
    TPrompter::Instance().Info(this, m_texts.WLS_Hint, text);
}

void TFileMagFrm::updateTicked(int count)
{
    lblTicked->setText(count > 0 ? LangText(FHS_Language, "已勾选 %1 项", "%1 ticked").arg(count) : QString());
    chbAllFile->setChecked(count > 0 && count == m_model->rowCount());
}

QByteArray TFileMagFrm::ColumnState() const
{
    // Widths we fitted ourselves follow the window; only the user's are kept.
    return m_userSizedColumns ? lvFiles->header()->saveState() : QByteArray();
}

void TFileMagFrm::RestoreColumnState(const QByteArray &state)
{
    m_columnState = state;
    if (state.isEmpty() || !lvFiles)
        return;
    QHeaderView *h = lvFiles->header();
    m_fittingColumns = true;
    if (h->restoreState(state)) {
        // Older states kept the name column stretched, which the user could not size:
        // those widths were ours, not the user's.
        m_userSizedColumns = h->sectionResizeMode(TFileListModel::ColCaption) != QHeaderView::Stretch;
        h->setSectionResizeMode(QHeaderView::Interactive);
        h->setStretchLastSection(false);
    }
    m_fittingColumns = false;
    fitNameColumn();
}

int TFileMagFrm::NameColumnMinimum() const
{
    // A typical document name with its tick box and icon, in the list's font.
    return QFontMetrics(lvFiles->font()).horizontalAdvance(QStringLiteral("Quarterly meeting notes.docx")) + 36;
}

void TFileMagFrm::fitNameColumn()
{
    if (m_userSizedColumns || !lvFiles)
        return;
    QHeaderView *h = lvFiles->header();
    m_fittingColumns = true;
    // The check-out column is mostly empty: on a narrow list it gives up room before the names do.
    const QFontMetrics fm(h->font());
    const QString userCaption = m_model->headerData(TFileListModel::ColUser, Qt::Horizontal, Qt::DisplayRole).toString();
    h->resizeSection(TFileListModel::ColUser, fm.horizontalAdvance(userCaption) + 14);
    int others = 0;
    for (int col = 0; col < h->count(); ++col)
        if (col != TFileListModel::ColCaption && !h->isSectionHidden(col))
            others += h->sectionSize(col);
    const int shortBy = NameColumnMinimum() + others - lvFiles->viewport()->width();
    if (shortBy > 0) {
        const int user = h->sectionSize(TFileListModel::ColUser);
        const int narrowed = qMax(fm.horizontalAdvance(QStringLiteral("Check")) + 14, user - shortBy);
        h->resizeSection(TFileListModel::ColUser, narrowed);
        others -= user - narrowed;
    }
    h->resizeSection(TFileListModel::ColCaption, qMax(NameColumnMinimum(), lvFiles->viewport()->width() - others));
    m_fittingColumns = false;
}

void TFileMagFrm::PlaceOver(QWidget *dialog) const
{
    const QWidget *main = window();
    if (!main || !main->isVisible())
        return;
    const QSize size = dialog->size().expandedTo(dialog->minimumSizeHint());
    dialog->move(main->frameGeometry().center() - QPoint(size.width() / 2, size.height() / 2));
}

void TFileMagFrm::ClearSession()
{
    ++m_orgGeneration;
    ++m_treeGeneration;
    tvOrg->clear();
    tvFolder->clear();
    m_left->setCurrentWidget(tvOrg);
    clearList();
    FGroupId = -1;
    FFolderId = 0;
    FLastId = 0;
    m_session = TFileMagSession();
}

void TFileMagFrm::Delete()
{
    if (!TPrompter::Instance().Ask(this, m_texts.WLS_Hint, m_texts.WLS_DEL))
        return;
    TSelectedInfos rows;
    if (!chooseRows(false, false, rows))
        return;
    auto *frm = new TFileDelFrm(m_session.Conn, this);
    m_delete = frm;
    frm->Init(rows, FGroupId, m_model);
    connect(&frm->Deleter(), &TFileDeleter::finished, this, [this, deleter = &frm->Deleter()] {
        afterDelete(deleter->DeletedFolders);
    });
    PlaceOver(frm);
    frm->show();
    frm->DeleteFiles();
}

void TFileMagFrm::afterDelete(const QSet<qint64> &deletedFolders)
{
    QTreeWidgetItem *node = m_left->currentWidget() == tvFolder ? tvFolder->currentItem() : nullptr;
    if (!node || (NodeData(node) == 0 && NodeImage(node) == img::Back)) {
        Q_EMIT deleteFinished();
        return;
    }
    // The user may have gone into a folder that is gone now: stand on the
    // nearest folder above it that still exists.
    for (QTreeWidgetItem *n = node; n && n->parent(); n = n->parent())
        if (deletedFolders.contains(NodeData(n)))
            node = n->parent();
    // Answers on their way for the nodes removed below must not land.
    ++m_treeGeneration;
    {
        const QSignalBlocker block(tvFolder);
        tvFolder->setCurrentItem(node);
        qDeleteAll(node->takeChildren());
    }
    // Its sub-folders and its list are fetched again, as for a new selection.
    setImage(node, img::HasChilds);
    folderSelected(node);
    Q_EMIT deleteFinished();
}

void TFileMagFrm::BulkUpload()
{
    if (!FOnBatchFileDeal)
        return;
    if (FFolderId <= 0) {
        showError(m_texts.WLS_SelFolder);
        return;
    }
    TBatchTransport task;
    NewBatchTransport(task);
    task.TranStyle = TS_Upload;
    task.FF = FF_Folder;
    task.DestOwnerId = FGroupId;
    task.DestFolderId = FFolderId;
    const QTreeWidgetItem *node = tvFolder->currentItem();
    task.DestFolderName = node ? node->text(0) : QString();
    FOnBatchFileDeal(task);
}

void TFileMagFrm::BulkDownload()
{
    if (!FOnBatchFileDeal)
        return;
    TBatchTransport task;
    NewBatchTransport(task);
    task.TranStyle = TS_Download;
    task.FF = FF_Folder;
    task.SourceOwnerId = FGroupId;
    const QTreeWidgetItem *node = m_left->currentWidget() == tvFolder ? tvFolder->currentItem() : nullptr;
    task.SourceFolderId = node ? FFolderId : 0;
    task.SourceFolderName = node ? node->text(0) : QString();
    FOnBatchFileDeal(task);
}

void TFileMagFrm::VersionAction(int op)
{
    TSelectedInfos rows;
    if (!chooseRows(true, false, rows))
        return;
    if (!FOnVersionControl) {
        NotAvailableYet(op == 18 ? LangText(FHS_Language, "签出", "Check out") : LangText(FHS_Language, "签入", "Check in"));
        return;
    }
    QStringList keys, names;
    for (const TSelectedInfo &r : rows) {
        keys << QString::number(r.FileKey);
        names << r.FileName;
    }
    FOnVersionControl(op, keys, names);
}

void TFileMagFrm::ShowDiff()
{
    if (FGroupId <= 0) {
        showError(m_texts.WLS_SelGroup);
        return;
    }
    if (FFolderId <= 0) {
        showError(m_texts.WLS_SelFolder);
        return;
    }
    if (!FOnShowDiff) {
        NotAvailableYet(LangText(FHS_Language, "显示差异", "Show differences"));
        return;
    }
    FOnShowDiff(FGroupId, FFolderId);
}

void TFileMagFrm::ReloadList()
{
    clearList();
    loadList();
}

void TFileMagFrm::NotAvailableYet(const QString &action)
{
    showInfo(action + QStringLiteral(": ") + LangText(FHS_Language, "此功能尚未提供。", "This function is not available yet."));
}

void TFileMagFrm::Init()
{
    tvOrg->clear();
    // Only the newest answer builds the tree: two loads must not show everyone twice.
    const quint64 generation = ++m_orgGeneration;
    const TServerConn conn = m_session.Conn;
    RunAsync(this, [conn] {
        TOrgReply r;
        try {
            const auto client = conn.MakeClient();
            r.Status = client->GetOrgStructure(r.Text, TS_Default);
            if (r.Status == st::Ok) {
                r.Org = std::make_shared<TOrgStructure>();
                r.Org->ParseOrgStructure(r.Text);
            }
        } catch (const ENetError &e) {
            r.Error = NetErrorText(e.kind(), e.message(), conn.Language);
        } catch (const std::exception &e) {
            r.Error = QString::fromUtf8(e.what());
        }
        return r;
    }, [this, generation](const TOrgReply &r) {
        if (generation != m_orgGeneration)
            return;
        const QString what = LangText(FHS_Language, "无法读取组织结构：", "The organisation could not be loaded: ");
        const QString todo = LangText(FHS_Language, "\n请确认服务器正在运行，然后点击“刷新”。",
                                      "\nCheck that the server is running, then press Refresh.");
        if (!r.Error.isEmpty()) {
            showError(what + r.Error + todo);
        } else if (r.Status != st::Ok) {
            showError(what + (r.Text.isEmpty() ? ResultCodeText(r.Status, FHS_Language == HSL_ENG ? HSL_ENG : HSL_CN) : r.Text) + todo);
        } else {
            std::function<void(const THS_Org &, QTreeWidgetItem *)> addGroups = [&](const THS_Org &g, QTreeWidgetItem *parent) {
                for (const auto &child : g.Childs) {
                    auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tvOrg);
                    item->setText(0, child->Name);
                    item->setData(0, DataRole, child->Id);
                    setImage(item, img::Owner);
                    addGroups(*child, item);
                }
            };
            addGroups(*r.Org->PRootOrg, nullptr);
        }
        auto *me = new QTreeWidgetItem(tvOrg);
        me->setText(0, m_session.UserName);
        me->setData(0, DataRole, m_session.UserId);
        setImage(me, img::User);
        if (FLastId == 0)
            FGroupId = m_session.UserId;
        Q_EMIT orgLoaded();
    });
}

void TFileMagFrm::ToFront()
{
    show();
    raise();
}

void TFileMagFrm::ToTopFolder()
{
    if (tvOrg->topLevelItemCount() > 0)
        chooseOwner(tvOrg->topLevelItem(0));
}

void TFileMagFrm::UMSelectedOwner2()
{
    if (FGroupId > 0)
        return;
    FLastId = m_session.LastGroupId;
    FGroupId = qint32(FLastId);
    Init();
}

void TFileMagFrm::Refresh()
{
    // What is shown is fetched again: the owners, and the open folder's sub-folders and files.
    Init();
    QTreeWidgetItem *node = m_left->currentWidget() == tvFolder ? tvFolder->currentItem() : nullptr;
    if (!node || (NodeData(node) == 0 && NodeImage(node) == img::Back)) {
        clearList();
        return;
    }
    // Answers on their way for the nodes removed below must not land.
    ++m_treeGeneration;
    {
        const QSignalBlocker block(tvFolder);
        qDeleteAll(node->takeChildren());
    }
    if (node->parent()) {
        setImage(node, img::HasChilds);
        folderSelected(node);
    } else {
        clearList();
        fillSubFolders(node);
    }
}

void TFileMagFrm::FolderChanged(qint64 ownerId, qint64 folderId)
{
    // A file stored through this client elsewhere (a bulk task, a scan, an edit) shows in the open list.
    if (ownerId != FGroupId || folderId != FFolderId || FFolderId <= 0 || m_left->currentWidget() != tvFolder)
        return;
    m_reloadSoon.start();
}

void TFileMagFrm::chooseOwner(QTreeWidgetItem *item)
{
    if (!item)
        return;
    FAllowDBClickEvent = false;
    m_ownerChosen.start();
    FFolderId = 0;
    clearList();
    FGroupId = NodeData(item);
    FLastId = FGroupId;
    m_left->setCurrentWidget(tvFolder);
    const QSignalBlocker block(tvFolder);
    ++m_treeGeneration;
    tvFolder->clear();
    addNode(nullptr, m_texts.WLS_SelGroup, 0, img::Back);
    QTreeWidgetItem *owner = addNode(nullptr, item->text(0), 1, img::Owner);
    fillSubFolders(owner);
}

void TFileMagFrm::fillSubFolders(QTreeWidgetItem *node)
{
    const TServerConn conn = m_session.Conn;
    const qint32 owner = FGroupId;
    const int data = NodeData(node);
    const quint64 generation = m_treeGeneration;
    RunAsync(this, [conn, owner, data] { return TShowFolder(conn).GetSubFolders(owner, data); },
             [this, node, generation](const TFolderFill &fill) {
                 // The tree was rebuilt meanwhile: node is gone, and so is the question.
                 if (generation != m_treeGeneration)
                     return;
                 if (!fill.Ok) {
                     // Asked again at the next expand or selection.
                     if (node->parent() && NodeImage(node) == img::Loaded && node->childCount() == 0)
                         setImage(node, img::HasChilds);
                     showError(fill.ErrorText);
                     return;
                 }
                 // A child opened from the list before this answer came is already there.
                 auto existing = [](QTreeWidgetItem *parent, int data) -> QTreeWidgetItem * {
                     for (int i = 0; i < parent->childCount(); ++i)
                         if (NodeData(parent->child(i)) == data)
                             return parent->child(i);
                     return nullptr;
                 };
                 std::function<void(QTreeWidgetItem *, const std::vector<TFolderNode> &)> add =
                     [&](QTreeWidgetItem *parent, const std::vector<TFolderNode> &nodes) {
                         for (const TFolderNode &n : nodes) {
                             QTreeWidgetItem *item = existing(parent, n.Data);
                             if (!item)
                                 item = addNode(parent, n.Caption, n.Data, n.Image);
                             else if (NodeImage(item) == img::HasChilds && !n.Childs.empty())
                                 setImage(item, n.Image);
                             add(item, n.Childs);
                         }
                     };
                 add(node, fill.Nodes);
                 node->setExpanded(true);
                 Q_EMIT foldersLoaded(node);
             });
}

void TFileMagFrm::folderSelected(QTreeWidgetItem *node)
{
    if (NodeData(node) == 0 && NodeImage(node) == img::Back) {
        FAllowDBClickEvent = true;
        m_left->setCurrentWidget(tvOrg);
        clearList();
        FFolderId = 0;
        return;
    }
    chbAllFile->setChecked(false);
    if (NodeImage(node) == img::HasChilds || NodeImage(node) == img::OwnerFolder) {
        setImage(node, img::Loaded);
        fillSubFolders(node);
    }
    clearList();
    if (node->parent()) {
        FFolderId = NodeData(node);
        if (FFolderId > 0)
            loadList();
    } else {
        FFolderId = 0;
    }
}

void TFileMagFrm::clearList()
{
    ++m_listGeneration;
    plWait->hide();
    m_model->Clear();
}

namespace {
// Folders and files are numbered apart; a folder's key stands negative here.
qint64 tickKey(const TFileRow &row)
{
    return row.IsFolder ? -row.Key : row.Key;
}
} // namespace

void TFileMagFrm::reloadKeepingTicks()
{
    if (FFolderId <= 0)
        return;
    QSet<qint64> ticked;
    for (int i = 0; i < m_model->rowCount(); ++i)
        if (m_model->IsChecked(i))
            ticked.insert(tickKey(m_model->Row(i)));
    loadList(ticked);
}

void TFileMagFrm::loadList(const QSet<qint64> &keepTicked)
{
    if (FFolderId < 0)
        return;
    plWait->show();
    const quint64 generation = ++m_listGeneration;
    const TServerConn conn = m_session.Conn;
    const qint64 owner = FGroupId, folder = FFolderId;
    RunAsync(this, [conn, owner, folder] {
        TListReply r;
        TShowFiles files(conn);
        files.Init(owner, folder);
        r.Ok = files.GetFileList(r.Rows, &r.Error);
        return r;
    }, [this, generation, keepTicked](TListReply r) {
        if (generation != m_listGeneration)
            return;   // the user moved on to another folder
        plWait->hide();
        if (!r.Ok) {
            showError(r.Error);
            return;
        }
        m_model->SetRows(std::move(r.Rows));
        if (m_model->FSortCol >= 0)
            m_model->sort(m_model->FSortCol, m_model->FLastIndex == m_model->FSortCol ? Qt::AscendingOrder : Qt::DescendingOrder);
        for (int i = 0; !keepTicked.isEmpty() && i < m_model->rowCount(); ++i)
            if (keepTicked.contains(tickKey(m_model->Row(i))))
                m_model->SetChecked(i, true);
        Q_EMIT listLoaded();
    });
}

void TFileMagFrm::openFolderRow(int row)
{
    const qint64 id = m_model->Row(row).Key;
    if (id <= 0)
        return;
    QTreeWidgetItem *current = tvFolder->currentItem();
    if (!current) {
        FFolderId = id;
        clearList();
        loadList();
        return;
    }
    current->setExpanded(true);
    for (int i = 0; i < current->childCount(); ++i) {
        if (NodeData(current->child(i)) == id) {
            tvFolder->setCurrentItem(current->child(i));
            return;
        }
    }
    // Its node is not there yet (the sub-folders are on their way, or someone
    // made the folder since): add it, so the tree's selection and FFolderId agree.
    QTreeWidgetItem *child = addNode(current, m_model->Row(row).Caption, int(id), img::HasChilds);
    tvFolder->setCurrentItem(child);
}

bool TFileMagFrm::chooseRows(bool filesOnly, bool exactlyOne, TSelectedInfos &out)
{
    switch (m_model->Choose(filesOnly, exactlyOne, out)) {
    case TChooseResult::Ok: return true;
    case TChooseResult::SelOne: showError(m_texts.WLS_SelOne); return false;
    case TChooseResult::SelOne2: showError(m_texts.WLS_SelOne2); return false;
    }
    return false;
}

void TFileMagFrm::Upload()
{
    if (FGroupId <= 0) {
        showError(m_texts.WLS_SelGroup);
        return;
    }
    if (FFolderId <= 0) {
        showError(m_texts.WLS_SelFolder);
        return;
    }
    m_upload = new TFileUploadFrm(m_session.Conn, this);
    m_upload->Init(FGroupId, FFolderId, m_model);
    PlaceOver(m_upload);
    m_upload->show();
}

void TFileMagFrm::Download()
{
    TSelectedInfos files;
    if (!chooseRows(true, false, files))
        return;
    m_download = new TFileDownloadFrm(m_session.Conn, this);
    // The folder chosen last time wins over the proposed mirror of the server path.
    if (!FLastDownloadPath.isEmpty())
        m_download->edPath->setText(FLastDownloadPath);
    m_download->Init(files, m_session.WorkRoot);
    connect(&m_download->Controller(), &TDownloadController::started, this,
            [this, ctrl = &m_download->Controller()] { FLastDownloadPath = ctrl->FPath; });
    PlaceOver(m_download);
    m_download->show();
}

void TFileMagFrm::Preview()
{
    TSelectedInfos files;
    if (chooseRows(true, true, files))
        previewFile(files.first());
}

void TFileMagFrm::previewFile(const TSelectedInfo &f)
{
    const bool inClient = FShowsInClient && FShowsInClient(f.FileName);
    const TPreviewRoute route =
        PreviewRoute(f.FileKey, f.FileName, m_session.Conn.BaseUrl(), m_session.Conn.EncryptId, inClient);
    if (route.HandOff) {
        QString error;
        if (!WriteWebCmdFile(IncludeTrailingSlash(m_session.ConfigFolder) + kWebCmdFileName, route.Cmd, &error))
            showError(error);
        return;
    }
    // The address carries the session's ticket: the user is told only which file.
    if (!FOpenUrl(QUrl(route.Url)))
        showError(LangText(FHS_Language, "无法在浏览器中打开文件“%1”的预览页面。",
                           "The preview page of \"%1\" could not be opened in the web browser.")
                      .arg(f.FileName));
}

void TFileMagFrm::Summary()
{
    TSelectedInfos rows;
    const TChooseResult chosen = m_model->Choose(false, true, rows);
    if (chosen == TChooseResult::SelOne) {
        showError(m_texts.WLS_SelOne);
        return;
    }
    // No row, or a folder: nothing happens.
    if (chosen != TChooseResult::Ok || rows.first().IsFolder)
        return;
    const TServerConn conn = m_session.Conn;
    const qint64 key = rows.first().FileKey;
    struct Desc {
        quint8 Status = 0;
        QString Text;
    };
    RunAsync(this, [conn, key] {
        Desc d;
        try {
            d.Status = conn.MakeClient()->RetrieveFileDesc(d.Text, key);
        } catch (const std::exception &e) {
            d.Text = QString::fromUtf8(e.what());
        }
        return d;
    }, [this, conn, key](const Desc &d) {
        if (d.Status != st::NameOk) {
            showInfo(d.Text);
            return;
        }
        QDialog dialog(this);
        dialog.setWindowTitle(LangText(FHS_Language, "摘要", "Summary"));
        auto *memo = new QPlainTextEdit(d.Text, &dialog);
        auto *buttons = new QDialogButtonBox(&dialog);
        buttons->addButton(LangText(FHS_Language, "修改", "Modify"), QDialogButtonBox::AcceptRole);
        buttons->addButton(LangText(FHS_Language, "关闭", "Close"), QDialogButtonBox::RejectRole);
        connect(buttons, &QDialogButtonBox::accepted, &dialog, [this, &dialog, memo] {
            // The server would keep only the text before it; the user keeps editing instead.
            if (!TagValueFits(memo->toPlainText(), QStringLiteral("desc"))) {
                TPrompter::Instance().Error(&dialog, m_texts.WLS_Hint,
                                            LangText(FHS_Language, "摘要中不能含有“[/desc]”。",
                                                     "The summary may not contain \"[/desc]\"."));
                return;
            }
            dialog.accept();
        });
        connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        auto *l = new QVBoxLayout(&dialog);
        l->addWidget(memo);
        l->addWidget(buttons);
        if (dialog.exec() != QDialog::Accepted)
            return;
        const QString text = memo->toPlainText();
        const THS_Language lang = FHS_Language == HSL_ENG ? HSL_ENG : HSL_CN;
        RunAsync(this, [conn, key, text, lang] {
            try {
                // The server answers a stored summary as it answers a read one.
                const quint8 status = conn.MakeClient()->UpdateFileDesc(text, key);
                return status == st::NameOk || status == st::Ok ? QString() : ResultCodeText(status, lang);
            } catch (const ENetError &e) {
                return NetErrorText(e.kind(), e.message(), conn.Language);
            } catch (const std::exception &e) {
                return QString::fromUtf8(e.what());
            }
        }, [this](const QString &error) {
            // The user's text is not on the server: he must not think it is.
            if (!error.isEmpty())
                showError(LangText(FHS_Language, "摘要没有保存：", "The summary was not saved: ") + error);
        });
    });
}

void TFileMagFrm::NewFolder()
{
    if (m_session.UserId <= 0)
        return;
    QTreeWidgetItem *node = tvFolder->currentItem();
    if (!node || m_left->currentWidget() != tvFolder) {
        showError(m_texts.WLS_SelFolder);
        return;
    }
    QString name;
    if (!FAskFolderName(name) || name.trimmed().isEmpty())
        return;
    name = name.trimmed();
    const QString base = m_session.Conn.BaseUrl();
    const QString url = WebEndpoints::FolderAdd(base, m_session.Conn.EncryptId, FGroupId, FFolderId, name);
    const bool ssl = m_session.Conn.SSL;
    const quint64 generation = m_treeGeneration;
    RunAsync(this, [url, base, ssl] { return getPage(url, base, ssl); },
             [this, node, name, generation](const TPageAnswer &answer) {
                 const qint64 id = answer.Ok ? StrToInt64Def(answer.Text, 0) : 0;
                 if (id <= 0) {
                     const QString what = LangText(FHS_Language, "无法创建文件夹“%1”：", "The folder \"%1\" could not be created: ");
                     showError(folderRefusal(FHS_Language, what, name, answer));
                     return;
                 }
                 showInfo(m_texts.WLS_NewFolder);
                 if (generation != m_treeGeneration)
                     return;   // the tree was rebuilt meanwhile
                 QTreeWidgetItem *child = addNode(node, name, int(id), img::Loaded);
                 node->setExpanded(true);
                 Q_EMIT folderAdded(child);
             });
}

void TFileMagFrm::RenameFolder()
{
    if (m_session.UserId <= 0)
        return;
    QTreeWidgetItem *node = tvFolder->currentItem();
    if (FFolderId <= 0 || !node) {
        showError(m_texts.WLS_SelFolder);
        return;
    }
    QString name = node->text(0);
    if (!FAskFolderName(name) || name.trimmed().isEmpty())
        return;
    name = name.trimmed();
    const QString base = m_session.Conn.BaseUrl();
    const QString url = WebEndpoints::FolderRename(base, m_session.Conn.EncryptId, FGroupId, FFolderId, name);
    const bool ssl = m_session.Conn.SSL;
    const quint64 generation = m_treeGeneration;
    RunAsync(this, [url, base, ssl] { return getPage(url, base, ssl); },
             [this, node, name, generation](const TPageAnswer &answer) {
                 if (!answer.Ok || answer.Text != QStringLiteral("ok")) {
                     const QString what =
                         LangText(FHS_Language, "无法将文件夹重命名为“%1”：", "The folder could not be renamed to \"%1\": ");
                     showError(folderRefusal(FHS_Language, what, name, answer));
                     return;
                 }
                 if (generation == m_treeGeneration) {
                     node->setText(0, name);
                     Q_EMIT folderRenamed(node);
                 }
                 showInfo(m_texts.WLS_RenameFolder);
             });
}

void TFileMagFrm::DropPaths(const QStringList &dropped)
{
    if (dropped.isEmpty())
        return;
    const QStringList paths = OrderDroppedPaths(dropped);
    if (!TPrompter::Instance().Ask(this, m_texts.WLS_Hint, DropQuestion(m_texts, paths)))
        return;
    if (FGroupId <= 0) {
        showError(m_texts.WLS_SelGroup);
        return;
    }
    if (FFolderId <= 0) {
        showError(m_texts.WLS_SelFolder);
        return;
    }
    const QString source = DropSourceFolder(paths);
    auto *frm = new TFileUploadFrm(m_session.Conn, this);
    m_upload = frm;
    frm->Init(FGroupId, FFolderId, m_model);
    PlaceOver(frm);
    frm->show();
    connect(&frm->Controller(), &TUploadController::listFinished, this, [this, frm] {
        m_model->Clear();
        loadList();
        frm->close();
        Q_EMIT dropUploadFinished();
    });
    // A dropped folder may hold many files: the scan runs off the GUI thread.
    QPointer<TFileUploadFrm> guard = frm;
    RunAsync(this, [paths] { return ExpandDroppedFolders(paths); }, [guard, source](const QStringList &files) {
        if (guard)
            guard->UploadList(source, files);
    });
}

void TFileMagFrm::contextMenu(const QPoint &pos, bool onList)
{
    if (onList)
        pmList->popup(lvFiles->viewport()->mapToGlobal(pos));
    else
        pmFolder->popup(tvFolder->viewport()->mapToGlobal(pos));
}

bool TFileMagFrm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched && watched == m_dropTarget && event->type() == QEvent::Resize)
        fitNameColumn();
    if (watched && watched == m_folderViewport && event->type() == QEvent::MouseButtonDblClick && m_ownerChosen.isValid()
        && m_ownerChosen.elapsed() <= QApplication::doubleClickInterval()) {
        m_ownerChosen.invalidate();
        return true;
    }
    if (watched && watched == m_dropTarget) {
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto *e = static_cast<QDropEvent *>(event);
            if (e->mimeData()->hasUrls()) {
                e->acceptProposedAction();
                return true;
            }
        } else if (event->type() == QEvent::Drop) {
            auto *e = static_cast<QDropEvent *>(event);
            QStringList paths;
            for (const QUrl &u : e->mimeData()->urls())
                if (u.isLocalFile())
                    paths << u.toLocalFile();
            e->acceptProposedAction();
            // Asked after the drop has ended, so the source application is not held.
            QMetaObject::invokeMethod(this, [this, paths] { DropPaths(paths); }, Qt::QueuedConnection);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
