#pragma once
// Asks for a folder name (new folder, rename). Only an empty name is refused.
#include "core/resultcodes.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

class TSetFoldrNameFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TSetFoldrNameFrm(THS_Language lang, QWidget *parent = nullptr);

    QLineEdit *edtFolderName = nullptr;
    QPushButton *btnConfirm = nullptr;
    QPushButton *btnCancel = nullptr;
    bool IsResultOk = false;

    QString WLS_Caption, WLS_Label1, WLS_Confirm, WLS_Cancel, WLS_Hint;

    // Modal: the typed name into name (which also gives the starting text); false when cancelled.
    static bool Ask(QWidget *parent, THS_Language lang, QString &name);
};
