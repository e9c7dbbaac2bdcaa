#pragma once
// Picks an owner (a group or a person) from the organisation for another window.
// Next also tells whoever listens to UMSelectedOwner, as the window that asked
// to be notified hears of the choice.
#include "files/pickerlogic.h"
#include "model/serverconn.h"

#include <QDialog>

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

class TSelectOwnerFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TSelectOwnerFrm(const TServerConn &conn, QWidget *parent = nullptr);

    // Asks the server for the organisation and fills the tree when it answers
    // (orgLoaded); may be called before the modal show.
    void GetOrgStructure(TTranStyle tranStyle);

    qint32 FOwnerId = -1;   // -1 until a choice, and after Cancel
    QString FOwnerName;
    THS_Language FHS_Language;
    TPickerTexts Texts;

    QTreeWidget *tvOwners = nullptr;
    QLineEdit *edName = nullptr;
    QPushButton *btnNext = nullptr;
    QPushButton *btnCancel = nullptr;

    static constexpr int DataRole = Qt::UserRole;
    static constexpr int ImageRole = Qt::UserRole + 1;

Q_SIGNALS:
    void orgLoaded(bool ok);
    void UMSelectedOwner(qint32 ownerId);

private:
    void nodeClicked(QTreeWidgetItem *item);
    TServerConn m_conn;
    quint64 m_generation = 0;
};
