#include "files/selectfolderfrm.h"

#include "files/asyncrun.h"
#include "files/filetexts.h"
#include "model/showfolder.h"
#include "platform/prompter.h"
#include "platform/styleicons.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <functional>

TSelectFolderFrm::TSelectFolderFrm(const TServerConn &conn, QWidget *parent)
    : QDialog(parent)
    , FHS_Language(conn.Language)
    , m_conn(conn)
{
    const THS_Language lang = conn.Language;
    setWindowTitle(LangText(lang, "选择组或者目录", "Select group or directory"));
    setFont(QFont(lang == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    tvFolders = new QTreeWidget(this);
    tvFolders->setHeaderHidden(true);
    edName = new QLineEdit(this);
    edName->setReadOnly(true);
    btnNext = new QPushButton(LangText(lang, "下一步", "Next"), this);
    btnNext->setEnabled(false);
    btnNext->setDefault(true);
    btnCancel = new QPushButton(LangText(lang, "取消", "Cancel"), this);

    auto *nameRow = new QHBoxLayout;
    nameRow->addWidget(new QLabel(LangText(lang, "选择", "Select"), this));
    nameRow->addWidget(edName, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnNext);
    buttons->addWidget(btnCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(tvFolders, 1);
    layout->addLayout(nameRow);
    layout->addLayout(buttons);
    resize(380, 460);

    connect(tvFolders, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem *node) {
        if (node)
            nodeSelected(node);
    });
    connect(btnNext, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::rejected, this, [this] { FFolderId = -1; });
}

void TSelectFolderFrm::GetFrame(qint32 memberId)
{
    FOwnerId = memberId;
    ++m_generation;
    tvFolders->clear();
    FFolderId = -1;
    FFolderName.clear();
    edName->clear();
    btnNext->setEnabled(false);
    fill(nullptr);
}

void TSelectFolderFrm::fill(QTreeWidgetItem *node, int image)
{
    const TServerConn conn = m_conn;
    const qint32 owner = FOwnerId;
    const qint32 data = node ? node->data(0, DataRole).toInt() : 0;
    const quint64 generation = m_generation;
    RunAsync(this, [conn, owner, data] { return TShowFolder(conn).GetSubFolders(owner, data); },
             [this, node, image, generation](const TFolderFill &f) {
                 // The tree was filled again for another owner: node is gone.
                 if (generation != m_generation)
                     return;
                 if (!f.Ok) {
                     // Not loaded after all: choosing the node again asks again.
                     if (node) {
                         node->setData(0, ImageRole, image);
                         node->setChildIndicatorPolicy(image == img::HasChilds
                                                           ? QTreeWidgetItem::ShowIndicator
                                                           : QTreeWidgetItem::DontShowIndicatorWhenChildless);
                     }
                     TPrompter::Instance().Error(this, LangText(FHS_Language, "提示", "Hint"), f.ErrorText);
                     Q_EMIT loadFailed(f.ErrorText);
                     return;
                 }
                 std::function<void(QTreeWidgetItem *, const std::vector<TFolderNode> &)> add =
                     [&](QTreeWidgetItem *parent, const std::vector<TFolderNode> &nodes) {
                         for (const TFolderNode &n : nodes) {
                             auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tvFolders);
                             item->setText(0, n.Caption);
                             item->setData(0, DataRole, n.Data);
                             item->setData(0, ImageRole, n.Image);
                             item->setIcon(0, StyleIcon(QStyle::SP_DirIcon));
                             item->setChildIndicatorPolicy(n.Image == img::HasChilds
                                                               ? QTreeWidgetItem::ShowIndicator
                                                               : QTreeWidgetItem::DontShowIndicatorWhenChildless);
                             add(item, n.Childs);
                         }
                     };
                 add(node, f.Nodes);
                 if (node)
                     node->setExpanded(true);
                 Q_EMIT foldersLoaded(node);
             });
}

void TSelectFolderFrm::nodeSelected(QTreeWidgetItem *node)
{
    const int image = node->data(0, ImageRole).toInt();
    // Top-level folders from the owner's whole tree arrive with their children;
    // only those still marked as not loaded are asked for.
    if (image == img::HasChilds || (image == img::OwnerFolder && node->childCount() == 0)) {
        // Marked at once, so a second choice meanwhile asks nothing more.
        node->setData(0, ImageRole, img::Loaded);
        node->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
        fill(node, image);
    }
    QStringList captions;
    for (QTreeWidgetItem *n = node; n; n = n->parent())
        captions.prepend(n->text(0));
    FFolderId = node->data(0, DataRole).toLongLong();
    FFolderName = FolderPickName(captions);
    edName->setText(FFolderName);
    btnNext->setEnabled(true);
}
