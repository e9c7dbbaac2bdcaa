#pragma once
// The message notice shown when the server has unread messages, and the guide
// shown while a file is edited in an outside application.
#include "core/resultcodes.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QRadioButton;
class QTimer;
class TClientConfigX;

class TMessageNoticeFrm : public QWidget
{
    Q_OBJECT
public:
    TMessageNoticeFrm(THS_Language language, QWidget *parent = nullptr);

    QLabel *lbView = nullptr;
    QRadioButton *rbHour = nullptr;
    QRadioButton *rbDay = nullptr;
    QRadioButton *rbWeek = nullptr;
    static constexpr int kLifetimeMs = 30000;

Q_SIGNALS:
    void viewRequested();              // the label: open the server's message page
    void suppressRequested(int kind);  // message 1281 with lParam 1, 2 or 3

private:
    void onClose();
};

class TEditorGuideFrm : public QWidget
{
    Q_OBJECT
public:
    TEditorGuideFrm(TClientConfigX &config, QWidget *parent = nullptr);
    QCheckBox *chbNoMore = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    TClientConfigX &m_config;
};
