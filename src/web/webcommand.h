#pragma once
// First-in, first-out queue of commands handed over by web pages.
#include "core/webcmd.h"

#include <QList>
#include <QMutex>

class TWebCommand
{
public:
    void Add(const TWebCmd &cmd);
    bool Pop(TWebCmd &cmd);
    bool IsEmpty() const;

private:
    mutable QMutex FLock;
    QList<TWebCmd> FList;
};

// Reads a hand-off file's text into a command; a missing Cmd gives an empty text.
TWebCmd ParseWebCmdText(const QString &text);
