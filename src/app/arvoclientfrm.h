#pragma once
// The resident main window. For now it shows who is stored and reacts to the
// messages of later launches; login, tray and work windows come on top of it.
#include <QWidget>

class QLabel;
class QPlainTextEdit;
class TClientConfigX;

class TARVOClientFrm : public QWidget
{
    Q_OBJECT
public:
    explicit TARVOClientFrm(TClientConfigX &config, QWidget *parent = nullptr);

public Q_SLOTS:
    // Messages by number, as they arrive from the instance channel.
    void handleMessage(int number, qint64 wParam, qint64 lParam);
    void UMTrayIcon(qint64 lParam);
    void UMBringToFront();

private:
    TClientConfigX &m_config;
    QLabel *m_welcome = nullptr;
    QPlainTextEdit *m_events = nullptr;
};
