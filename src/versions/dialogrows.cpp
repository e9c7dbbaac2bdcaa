#include "versions/dialogrows.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

QLabel *addTitleRow(QVBoxLayout *layout, const QString &text, QWidget *owner)
{
    auto *title = new QLabel(text, owner);
    QFont bold = owner->font();
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);
    return title;
}

PathRow addPathRow(QVBoxLayout *layout, const QString &label, const QString &select, int minWidth, bool readOnly, QWidget *owner)
{
    PathRow r;
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(label, owner));
    r.edit = new QLineEdit(owner);
    r.edit->setReadOnly(readOnly);
    r.edit->setMinimumWidth(minWidth);
    row->addWidget(r.edit, 1);
    r.select = new QPushButton(select, owner);
    row->addWidget(r.select);
    layout->addLayout(row);
    return r;
}

ConfirmRow addConfirmRow(QVBoxLayout *layout, const QString &confirm, const QString &cancel, QWidget *owner)
{
    ConfirmRow r;
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    r.confirm = new QPushButton(confirm, owner);
    r.cancel = new QPushButton(cancel, owner);
    buttons->addWidget(r.confirm);
    buttons->addWidget(r.cancel);
    layout->addLayout(buttons);
    return r;
}
