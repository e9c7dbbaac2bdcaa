#include "files/setfiletypefrm.h"

#include "files/filetexts.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QListWidget>
#include <QMimeDatabase>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace {
QIcon typeIcon(const QStyle *style, const QString &caption, quint32 code)
{
    if (code == TFileTypeChoice::kAllFiles)
        return style->standardIcon(QStyle::SP_DirIcon);
    // The caption ends with "(*.ext)".
    const qsizetype dot = caption.lastIndexOf(QStringLiteral("(*."));
    const QString ext = dot < 0 ? QString() : caption.mid(dot + 3).chopped(1);
    const QMimeType mime = QMimeDatabase().mimeTypeForFile(QStringLiteral("x.") + ext, QMimeDatabase::MatchExtension);
    return QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName(), style->standardIcon(QStyle::SP_FileIcon)));
}
} // namespace

TSetFileTypeFrm::TSetFileTypeFrm(QWidget *parent, THS_Language lang)
    : QDialog(parent)
    , m_choice(lang)
{
    setWindowTitle(LangText(lang, "文件类型", "File types"));
    setFont(QFont(lang == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    lbTypes = new QListWidget(this);
    lbTypes->setIconSize(QSize(16, 16));
    for (const TFileTypeChoice::Item &item : m_choice.Items()) {
        auto *row = new QListWidgetItem(typeIcon(style(), item.Caption, item.Code), item.Caption, lbTypes);
        row->setData(Qt::UserRole, item.Code);
        row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    }
    btnOk = new QPushButton(LangText(lang, "确定", "Confirm"), this);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(LangText(lang, "取消", "Cancel"), this);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lbTypes, 1);
    layout->addLayout(buttons);
    resize(340, 480);
    showChoice();

    connect(lbTypes, &QListWidget::itemChanged, this, &TSetFileTypeFrm::itemChanged);
    connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TSetFileTypeFrm::SetFileTypes(const QList<quint32> &codes)
{
    m_choice.SetFileTypes(codes);
    showChoice();
}

void TSetFileTypeFrm::itemChanged(QListWidgetItem *item)
{
    m_choice.SetChecked(lbTypes->row(item), item->checkState() == Qt::Checked);
    showChoice();
}

void TSetFileTypeFrm::showChoice()
{
    const QSignalBlocker block(lbTypes);
    const QList<TFileTypeChoice::Item> &items = m_choice.Items();
    for (int i = 0; i < items.size(); ++i)
        lbTypes->item(i)->setCheckState(items[i].Checked ? Qt::Checked : Qt::Unchecked);
}
