#include "files/setfoldrnamefrm.h"

#include "files/filetexts.h"
#include "platform/prompter.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TSetFoldrNameFrm::TSetFoldrNameFrm(THS_Language lang, QWidget *parent)
    : QDialog(parent)
    , WLS_Caption(LangText(lang, "请输入文件夹名称", "Input Folder Name"))
    , WLS_Label1(LangText(lang, "名称：", "Folder:"))
    , WLS_Confirm(LangText(lang, "确定", "Confirm"))
    , WLS_Cancel(LangText(lang, "取消", "Cancel"))
    , WLS_Hint(LangText(lang, "提示", "Hint"))
{
    setWindowTitle(WLS_Caption);
    if (lang == HSL_ENG)
        setFont(QFont(QStringLiteral("Tahoma"), 9));
    edtFolderName = new QLineEdit(this);
    // The server keeps names to a sane length; more than this is a slip of the hand.
    edtFolderName->setMaxLength(255);
    btnConfirm = new QPushButton(WLS_Confirm, this);
    btnConfirm->setDefault(true);
    btnCancel = new QPushButton(WLS_Cancel, this);
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(WLS_Label1, this));
    row->addWidget(edtFolderName, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnConfirm);
    buttons->addWidget(btnCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addLayout(buttons);
    setMinimumWidth(320);

    connect(btnConfirm, &QPushButton::clicked, this, [this] {
        if (edtFolderName->text().isEmpty()) {
            TPrompter::Instance().Info(this, WLS_Hint, WLS_Caption);
            return;
        }
        IsResultOk = true;
        accept();
    });
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool TSetFoldrNameFrm::Ask(QWidget *parent, THS_Language lang, QString &name)
{
    TSetFoldrNameFrm frm(lang, parent);
    frm.edtFolderName->setText(name);
    frm.edtFolderName->selectAll();
    frm.exec();
    if (!frm.IsResultOk)
        return false;
    name = frm.edtFolderName->text();
    return true;
}
