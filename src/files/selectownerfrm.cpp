#include "files/selectownerfrm.h"

#include "files/asyncrun.h"
#include "files/filetexts.h"
#include "model/orgstructure.h"
#include "net/neterror.h"
#include "net/robottcpclient.h"
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

namespace {
struct TOrgPick {
    bool Ok = false;
    QString Error;
    TOwnerPickNode Root;
};
} // namespace

TSelectOwnerFrm::TSelectOwnerFrm(const TServerConn &conn, QWidget *parent)
    : QDialog(parent)
    , FHS_Language(conn.Language)
    , Texts(conn.Language)
    , m_conn(conn)
{
    setWindowTitle(Texts.WLS_Select);
    setFont(QFont(FHS_Language == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    tvOwners = new QTreeWidget(this);
    tvOwners->setHeaderHidden(true);
    edName = new QLineEdit(this);
    edName->setReadOnly(true);
    btnNext = new QPushButton(Texts.WLS_Next, this);
    btnNext->setEnabled(false);
    btnNext->setDefault(true);
    btnCancel = new QPushButton(Texts.WLS_Cancel, this);

    auto *nameRow = new QHBoxLayout;
    nameRow->addWidget(new QLabel(Texts.WLS_SelectMember, this));
    nameRow->addWidget(edName, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnNext);
    buttons->addWidget(btnCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(tvOwners, 1);
    layout->addLayout(nameRow);
    layout->addLayout(buttons);
    resize(380, 460);

    connect(tvOwners, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { nodeClicked(item); });
    connect(tvOwners, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem *item) { nodeClicked(item); });
    connect(btnNext, &QPushButton::clicked, this, [this] {
        Q_EMIT UMSelectedOwner(FOwnerId);
        accept();
    });
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::rejected, this, [this] { FOwnerId = -1; });
}

void TSelectOwnerFrm::GetOrgStructure(TTranStyle tranStyle)
{
    const quint64 generation = ++m_generation;
    const TServerConn conn = m_conn;
    const QString members = Texts.WLS_Members;
    RunAsync(this, [conn, tranStyle, members] {
        TOrgPick r;
        try {
            const auto client = conn.MakeClient();
            QString text;
            const quint8 status = client->GetOrgStructure(text, tranStyle);
            if (status != st::Ok) {
                r.Error = text.isEmpty() ? client->GetDesc(status) : text;
                return r;
            }
            TOrgStructure org;
            org.ParseOrgStructure(text);
            r.Root = OwnerPickTree(org, members);
            r.Ok = true;
        } catch (const ENetError &e) {
            r.Error = NetErrorText(e.kind(), e.message(), conn.Language);
        } catch (const std::exception &e) {
            r.Error = QString::fromUtf8(e.what());
        }
        return r;
    }, [this, generation](const TOrgPick &r) {
        if (generation != m_generation)
            return;
        tvOwners->clear();
        if (!r.Ok) {
            TPrompter::Instance().Error(this, Texts.WLS_Hint, r.Error);
            Q_EMIT orgLoaded(false);
            return;
        }
        std::function<void(const TOwnerPickNode &, QTreeWidgetItem *)> add = [&](const TOwnerPickNode &n, QTreeWidgetItem *parent) {
            auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tvOwners);
            item->setText(0, n.Caption);
            item->setData(0, DataRole, n.Data);
            item->setData(0, ImageRole, n.Image);
            const QStyle::StandardPixmap icon = n.Image == 2   ? QStyle::SP_ComputerIcon
                                                : n.Image == 3 ? QStyle::SP_FileDialogDetailedView
                                                               : QStyle::SP_DirHomeIcon;
            item->setIcon(0, StyleIcon(icon));
            for (const TOwnerPickNode &c : n.Childs)
                add(c, item);
        };
        add(r.Root, nullptr);
        tvOwners->topLevelItem(0)->setExpanded(true);
        Q_EMIT orgLoaded(true);
    });
}

void TSelectOwnerFrm::nodeClicked(QTreeWidgetItem *item)
{
    if (!item || item->data(0, DataRole).toInt() == 0)
        return;
    FOwnerId = item->data(0, DataRole).toInt();
    FOwnerName = item->text(0);
    edName->setText(FOwnerName);
    btnNext->setEnabled(true);
}
