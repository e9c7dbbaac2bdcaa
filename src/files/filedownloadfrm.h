#pragma once
// The download window: choose the local folder, then a progress view with one
// log line per file. The work is TDownloadController's.
#include "files/transfer.h"

#include <QUrl>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;

class TFileDownloadFrm : public QWidget
{
    Q_OBJECT
public:
    explicit TFileDownloadFrm(const TServerConn &conn, QWidget *parent = nullptr);

    void Init(const TSelectedInfos &selectedInfo, const QString &workRoot);
    TDownloadController &Controller() { return *m_ctrl; }
    bool InProgressView() const;

    QLineEdit *edPath = nullptr;
    QPushButton *btnSelect = nullptr;
    QPushButton *btnDownload = nullptr;
    QPushButton *btnCancel = nullptr;
    QPushButton *btnClose = nullptr;
    QPushButton *btnRetry = nullptr;
    QPushButton *btnOpenFolder = nullptr;   // after a download without failures
    QLabel *lblFileName = nullptr;
    QLabel *lblSize = nullptr;
    QLabel *lblTotal = nullptr;   // bytes of the whole run, for more than one file
    QProgressBar *pbProgress = nullptr;
    QPlainTextEdit *mmLog = nullptr;

    // Opens the target folder; replaceable so tests start no file manager.
    std::function<bool(const QUrl &)> FOpenUrl;

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    TDownloadController *m_ctrl;
    QStackedWidget *m_views = nullptr;
};
