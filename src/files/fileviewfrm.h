#pragma once
// The list windows the task editor opens: TServerFolderFileView picks one file
// of a server folder, TSelectFileView lets the user leave local files out of a
// batch task. TFileViewFrm is their common list with sorting, select-all and
// name search; the rows live in TFileViewModel.
#include "core/wiredate.h"
#include "files/filetexts.h"
#include "model/serverconn.h"
#include "net/tidyfile.h"

#include <QAbstractTableModel>
#include <QDialog>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QTreeView;

struct TFileViewRow {
    QString Name;
    QString SourcePath;
    qint64 Size = 0;
    TDateTime ModifyDT = 0;
    QString Status;
    int Icon = 0;
    bool Checked = false;
    qint64 Id = 0;        // server view: the file key
    QString FullText;     // server view: the element's text
    qint64 PathHash = 0;  // select view: the index entry's hash
};

class TFileViewModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { ColName = 0, ColSource, ColSize, ColDate, ColStatus, ColCount };
    explicit TFileViewModel(THS_Language lang, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Splits pathText at its last "/" or "\" into source path and name.
    void AddRow(TFileViewRow row, const QString &pathText);
    const TFileViewRow &Row(int i) const { return m_rows[size_t(i)]; }
    void SetChecked(int i, bool checked);

    // Name by name, size by number, others by text; case-insensitive in the user's
    // locale. The same column again reverses the order.
    Qt::SortOrder SortByHeaderClick(int column);
    int FLastIndex = -1;
    int FSortCol = -1;

    void SetAllChecked(bool checked);
    bool AllChecked() const;
    void SearchNames(const QString &text);
    QList<qint64> UncheckedPathHashes() const;

private:
    std::vector<TFileViewRow> m_rows;
    THS_Language m_lang;
    bool FSearchInit = false;
};

class TFileViewFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TFileViewFrm(THS_Language lang, QWidget *parent = nullptr);
    TFileViewModel &Model() { return *m_model; }
    // The confirm button: closes the window when Check() agrees.
    void Confirm();
    void UpdateCount();
    // Sizes the columns to what the rows hold (after filling, and when shown).
    void FitColumns();

    QTreeView *lvFiles = nullptr;
    QCheckBox *chbAll = nullptr;
    QLineEdit *edSearch = nullptr;
    QLabel *lblCount = nullptr;

protected:
    virtual bool Check() { return false; }
    void showEvent(QShowEvent *event) override;
    THS_Language FHS_Language;
    TFileViewModel *m_model;
};

class TServerFolderFileView : public TFileViewFrm
{
    Q_OBJECT
public:
    TServerFolderFileView(const TServerConn &conn, QWidget *parent = nullptr);
    // Fills the list off the GUI thread; loaded() follows.
    void LoadFile(qint64 ownerId, qint64 folderId);
    qint64 FFileId = -1;
    QString FFileName;

Q_SIGNALS:
    void loaded();

protected:
    bool Check() override;

private:
    TServerConn m_conn;
};

class TSelectFileView : public TFileViewFrm
{
    Q_OBJECT
public:
    explicit TSelectFileView(THS_Language lang, QWidget *parent = nullptr);
    void AddFiles(const TTidyFile &p);
    QList<qint64> GetUnSelectedKeys() const { return m_model->UncheckedPathHashes(); }
    bool FSelectKey = false;

protected:
    bool Check() override;
};
