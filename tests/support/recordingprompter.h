#pragma once
// Answers message boxes for window tests: records what would have been shown.
#include "platform/prompter.h"

#include <QStringList>

struct RecordingPrompter : TPrompter {
    QStringList shown;
    void Info(QWidget *, const QString &, const QString &text) override { shown << text; }
    void Error(QWidget *, const QString &, const QString &text) override { shown << text; }
};
