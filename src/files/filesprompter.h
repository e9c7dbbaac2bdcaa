#pragma once
// Every message box and question of the file windows goes through here, so
// tests can answer instead of blocking on a modal box.
#include <QString>

class QWidget;

class TFilesPrompter
{
public:
    virtual ~TFilesPrompter() = default;
    virtual void Info(QWidget *parent, const QString &caption, const QString &text) = 0;
    virtual void Error(QWidget *parent, const QString &caption, const QString &text) = 0;
    // Yes/No.
    virtual bool Ask(QWidget *parent, const QString &caption, const QString &text) = 0;
    // A line of text; false when the user cancelled.
    virtual bool AskText(QWidget *parent, const QString &caption, const QString &label, QString &text) = 0;

    static TFilesPrompter &Instance();
    static void SetInstance(TFilesPrompter *prompter);  // nullptr restores the message boxes
};
