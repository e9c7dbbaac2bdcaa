#pragma once
// The edit monitor's window: the current file, the files being watched, the
// log and the tips; a small notice window tells how each edit ended.
#include "edit/editmonitor.h"

#include <QWidget>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTimer;

// The small shared notice ("HintFrm"): hides itself two seconds after its text was set.
class THintFrm : public QWidget
{
    Q_OBJECT
public:
    explicit THintFrm(QWidget *parent = nullptr);
    void ShowNotice(const QString &text, bool ok);
    QString Text() const;
    bool IsSuccess() const { return m_ok; }

private:
    QLabel *m_icon = nullptr;
    QPlainTextEdit *Memo = nullptr;
    QTimer *m_timer = nullptr;
    qint64 m_setAt = 0;
    bool m_ok = false;
};

class TShowEditInfoFrm : public QWidget
{
    Q_OBJECT
public:
    explicit TShowEditInfoFrm(THS_Language language, QWidget *parent = nullptr);

    TEditMonitor &Monitor() { return *m_monitor; }
    THintFrm *Notice() const { return m_notice; }

    QLabel *lbFileName = nullptr;
    QPlainTextEdit *Memo1 = nullptr;
    QListWidget *lvFiles = nullptr;
    // Ends the selected edit (the only end when no sign of the editor can be seen).
    QPushButton *btnFinished = nullptr;

private:
    void refreshList();

    TEditMonitor *m_monitor = nullptr;
    THintFrm *m_notice = nullptr;
};
