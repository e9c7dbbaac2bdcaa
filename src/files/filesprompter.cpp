#include "files/filesprompter.h"

#include <QInputDialog>
#include <QMessageBox>

namespace {
class TBoxPrompter : public TFilesPrompter
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

TBoxPrompter g_boxes;
TFilesPrompter *g_current = &g_boxes;
} // namespace

TFilesPrompter &TFilesPrompter::Instance()
{
    return *g_current;
}

void TFilesPrompter::SetInstance(TFilesPrompter *prompter)
{
    g_current = prompter ? prompter : &g_boxes;
}
