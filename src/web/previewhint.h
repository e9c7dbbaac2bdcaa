#pragma once
// The small window in which web commands show their errors and progress.
#include "core/resultcodes.h"

#include <QWidget>

class QLabel;
class QPlainTextEdit;

class TPreViewHint : public QWidget
{
    Q_OBJECT
public:
    explicit TPreViewHint(THS_Language language, QWidget *parent = nullptr);

    QString Text() const;

public Q_SLOTS:
    void ShowText(const QString &text);

private:
    QPlainTextEdit *m_memo = nullptr;
    QLabel *m_picture = nullptr;
};
