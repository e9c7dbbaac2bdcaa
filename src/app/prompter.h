#pragma once
// Every message box of the client goes through here, so tests can answer
// instead of blocking on a modal box.
#include <QString>

class QWidget;

class TPrompter
{
public:
    virtual ~TPrompter() = default;
    virtual void Info(QWidget *parent, const QString &caption, const QString &text) = 0;
    virtual void Error(QWidget *parent, const QString &caption, const QString &text) = 0;

    static TPrompter &Instance();
    static void SetInstance(TPrompter *prompter);  // nullptr restores the message boxes
};
