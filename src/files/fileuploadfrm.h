#pragma once
// The upload window: one picked file or a dropped list into the folder open in
// the file manager. The work is TUploadController's; this only shows it.
#include "files/transfer.h"

#include <QList>
#include <QWidget>

class QGridLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

class TFileUploadFrm : public QWidget
{
    Q_OBJECT
public:
    explicit TFileUploadFrm(const TServerConn &conn, QWidget *parent = nullptr);

    void Init(qint32 groupId, qint64 folderId, TFileListModel *listItems);
    void UploadList(const QString &sourceFolder, const QStringList &files);
    void UploadPath(const QString &path);   // the Upload button with this path typed

    TUploadController &Controller() { return *m_ctrl; }
    QLineEdit *edPath = nullptr;
    QPushButton *btnSelect = nullptr;
    QPushButton *btnUpload = nullptr;
    QPushButton *btnClose = nullptr;
    QProgressBar *pbProgress = nullptr;
    QLabel *lblSize = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    TUploadController *m_ctrl;
};

// The layout pieces of the transfer windows: an empty progress bar; a label,
// path box and Select button as one grid row; buttons at the right of a row
// spanning the grid's three columns.
QProgressBar *NewTransferBar(QWidget *parent);
void AddPathRow(QGridLayout *grid, int row, const QString &label, QLineEdit *edit, QPushButton *select);
void AddButtonRow(QGridLayout *grid, int row, const QList<QPushButton *> &buttons);

// Shows a transfer controller's per-block progress in a bar and a size label.
void BindTransferProgress(TTransferBase *controller, QProgressBar *bar, QLabel *sizeLabel);
// A transfer window closing: while its worker runs the user is asked first (false:
// the window stays); once closed, the window goes when the worker is done.
bool MayCloseTransferWindow(QWidget *window, TTransferBase *controller, const QString &hint, const QString &question);
void DeleteAfterTransfer(QWidget *window, TTransferBase *controller);

