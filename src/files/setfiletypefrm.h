#pragma once
// Picks the file types of a batch task from a check list whose first item,
// "All files", excludes every other.
#include "files/pickerlogic.h"

#include <QDialog>

class QListWidget;
class QListWidgetItem;
class QPushButton;

class TSetFileTypeFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TSetFileTypeFrm(QWidget *parent = nullptr, THS_Language lang = HSL_NONE);

    void SetFileTypes(const QList<quint32> &codes);
    // Empty means every type.
    QList<quint32> GetFileTypes() const { return m_choice.GetFileTypes(); }
    const TFileTypeChoice &Choice() const { return m_choice; }

    QListWidget *lbTypes = nullptr;
    QPushButton *btnOk = nullptr;
    QPushButton *btnCancel = nullptr;

private:
    void itemChanged(QListWidgetItem *item);
    void showChoice();
    TFileTypeChoice m_choice;
};
