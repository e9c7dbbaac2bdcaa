#include "platform/prompter.h"

#include <QInputDialog>
#include <QMessageBox>

bool TPrompter::Ask(QWidget *, const QString &, const QString &)
{
    return false;
}

bool TPrompter::AskText(QWidget *, const QString &, const QString &, QString &)
{
    return false;
}

namespace {

class BoxPrompter : public TPrompter
{
public:
    void Info(QWidget *parent, const QString &caption, const QString &text) override
    {
        QMessageBox::information(parent, caption, text);
    }
    void Error(QWidget *parent, const QString &caption, const QString &text) override
    {
        QMessageBox::critical(parent, caption, text);
    }
    bool Ask(QWidget *parent, const QString &caption, const QString &text) override
    {
        return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    }
    bool AskText(QWidget *parent, const QString &caption, const QString &label, QString &text) override
    {
        bool ok = false;
        const QString answer = QInputDialog::getText(parent, caption, label, QLineEdit::Normal, text, &ok);
        if (ok)
            text = answer;
        return ok;
    }
};

BoxPrompter g_boxes;
TPrompter *g_current = &g_boxes;

} // namespace

TPrompter &TPrompter::Instance()
{
    return *g_current;
}

void TPrompter::SetInstance(TPrompter *prompter)
{
    g_current = prompter ? prompter : &g_boxes;
}
