#include "app/prompter.h"

#include <QMessageBox>

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
