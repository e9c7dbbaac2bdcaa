#pragma once
// Every message box and question of the client goes through here, so tests can
// answer instead of blocking on a modal box.
#include <QString>

class QWidget;

class TPrompter
{
public:
    virtual ~TPrompter() = default;
    virtual void Info(QWidget *parent, const QString &caption, const QString &text) = 0;
    virtual void Error(QWidget *parent, const QString &caption, const QString &text) = 0;
    // Yes/No; a prompter that cannot ask answers No.
    virtual bool Ask(QWidget *parent, const QString &caption, const QString &text);
    // A line of text; false when the user cancelled.
    virtual bool AskText(QWidget *parent, const QString &caption, const QString &label, QString &text);

    static TPrompter &Instance();
    static void SetInstance(TPrompter *prompter);  // nullptr restores the message boxes
};
