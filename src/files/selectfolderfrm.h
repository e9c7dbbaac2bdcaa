#pragma once
// Picks a folder of one owner on the server: the owner's top-level folders,
// each loaded further when first selected.
#include "files/pickerlogic.h"
#include "model/serverconn.h"

#include <QDialog>

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

class TSelectFolderFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TSelectFolderFrm(const TServerConn &conn, QWidget *parent = nullptr);

    // Fills the owner's top-level folders when the server answers (foldersLoaded
    // with no node); may be called before the modal show.
    void GetFrame(qint32 memberId);

    qint32 FOwnerId = -1;
    qint64 FFolderId = -1;   // -1 until a choice, and after Cancel
    QString FFolderName;     // "A\B\C\" for folder C under B under A
    THS_Language FHS_Language;

    QTreeWidget *tvFolders = nullptr;
    QLineEdit *edName = nullptr;
    QPushButton *btnNext = nullptr;
    QPushButton *btnCancel = nullptr;

    static constexpr int DataRole = Qt::UserRole;
    static constexpr int ImageRole = Qt::UserRole + 1;

Q_SIGNALS:
    // node is null for the top level.
    void foldersLoaded(QTreeWidgetItem *node);
    void loadFailed(const QString &text);

private:
    void nodeSelected(QTreeWidgetItem *node);
    // image: the node's mark before the load, given back when the load fails.
    void fill(QTreeWidgetItem *node, int image = 0);
    TServerConn m_conn;
    quint64 m_generation = 0;
};
