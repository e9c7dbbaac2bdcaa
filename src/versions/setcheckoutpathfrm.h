#pragma once
// The work-path dialog: binds a server folder to a local folder (workpath_record.ini),
// or, for folder id 0, sets the work root.
#include "versions/versionsession.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

class TSetCheckOutPathFrm : public QDialog
{
    Q_OBJECT
public:
    TSetCheckOutPathFrm(const TVersionSession &session, QWidget *parent = nullptr);
    void Init(qint64 folderId);
    // "确定": false when the dialog stays open.
    bool Confirm();

    QLineEdit *edPath = nullptr;
    QPushButton *btSelect = nullptr;
    QPushButton *btConfirm = nullptr;
    QPushButton *btCancel = nullptr;
    qint64 FFolderId = 0;

Q_SIGNALS:
    void pathResolved();

private:
    TVersionSession m_session;
    bool m_userChose = false;
};
