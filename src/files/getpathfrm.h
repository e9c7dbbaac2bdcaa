#pragma once
// Picks a local folder from a tree of the file system. OK is offered only for a
// folder that exists and can be listed (and, unless allowed, not on a network
// file system).
#include "core/resultcodes.h"

#include <QDialog>

class QFileSystemModel;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

class TGetPathFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TGetPathFrm(QWidget *parent = nullptr, THS_Language lang = HSL_NONE);

    void LanguageInit(THS_Language lang);
    // Shows value in the path box; an existing folder also becomes FPath and the tree moves to it.
    void SetSelectedPath(const QString &value);

    QString FPath;              // the result; empty after Cancel
    bool FAllowNetDisk = true;

    QLabel *lblPath = nullptr;
    QLineEdit *edPath = nullptr;
    QTreeView *tvFolders = nullptr;
    QPushButton *btnOk = nullptr;
    QPushButton *btnCancel = nullptr;

    // A modal picker: the chosen folder, or empty when cancelled.
    static QString Pick(QWidget *parent, THS_Language lang, const QString &caption, const QString &start);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void folderChanged(const QString &path);
    void showCurrent();
    QFileSystemModel *m_fs = nullptr;
};
