#include "files/getpathfrm.h"

#include "files/filetexts.h"
#include "files/pickerlogic.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

TGetPathFrm::TGetPathFrm(QWidget *parent, THS_Language lang)
    : QDialog(parent)
{
    lblPath = new QLabel(this);
    edPath = new QLineEdit(this);
    tvFolders = new QTreeView(this);
    m_fs = new QFileSystemModel(this);
    m_fs->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    m_fs->setReadOnly(true);
    // Shows the folders it lists; no watcher on every folder the user passes.
    m_fs->setOption(QFileSystemModel::DontWatchForChanges);
    m_fs->setRootPath(QDir::rootPath());
    tvFolders->setModel(m_fs);
    for (int c = 1; c < m_fs->columnCount(); ++c)
        tvFolders->setColumnHidden(c, true);
    tvFolders->setHeaderHidden(true);
    tvFolders->setRootIndex(m_fs->index(QDir::rootPath()));
    btnOk = new QPushButton(this);
    btnOk->setDefault(true);
    btnOk->setEnabled(false);
    btnCancel = new QPushButton(this);

    auto *pathRow = new QHBoxLayout;
    pathRow->addWidget(lblPath);
    pathRow->addWidget(edPath, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(pathRow);
    layout->addWidget(tvFolders, 1);
    layout->addLayout(buttons);
    resize(420, 480);
    LanguageInit(lang);

    connect(tvFolders->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) {
                if (current.isValid())
                    folderChanged(m_fs->filePath(current));
            });
    // The tree lists folders on its own thread: once the chosen one's parent is
    // there, bring it into view.
    connect(m_fs, &QFileSystemModel::directoryLoaded, this, [this](const QString &path) {
        const QModelIndex current = tvFolders->currentIndex();
        if (current.isValid() && m_fs->filePath(current.parent()) == path)
            QMetaObject::invokeMethod(this, &TGetPathFrm::showCurrent, Qt::QueuedConnection);
    });
    // A typed path is taken as typed, so OK follows it as it follows the tree.
    connect(edPath, &QLineEdit::textEdited, this, [this](const QString &text) {
        edPath->setToolTip(text);
        btnOk->setEnabled(LocalFolderReady(text, FAllowNetDisk));
    });
    connect(btnOk, &QPushButton::clicked, this, [this] {
        FPath = edPath->text();
        accept();
    });
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::rejected, this, [this] { FPath.clear(); });
}

void TGetPathFrm::LanguageInit(THS_Language lang)
{
    setWindowTitle(LangText(lang, "文件夹选择", "Select folder"));
    setFont(QFont(lang == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    lblPath->setText(LangText(lang, "选择文件夹：", "Select folder:"));
    btnOk->setText(LangText(lang, "确定", "Ok"));
    btnCancel->setText(LangText(lang, "取消", "Cancel"));
}

void TGetPathFrm::SetSelectedPath(const QString &value)
{
    edPath->setText(value);
    btnOk->setEnabled(LocalFolderReady(value, FAllowNetDisk));
    if (value.isEmpty() || !QFileInfo(value).isDir())
        return;
    FPath = value;
    const QModelIndex index = m_fs->index(QDir::cleanPath(QFileInfo(value).absoluteFilePath()));
    if (!index.isValid())
        return;
    for (QModelIndex p = index.parent(); p.isValid(); p = p.parent())
        tvFolders->expand(p);
    tvFolders->setCurrentIndex(index);
    tvFolders->scrollTo(index, QAbstractItemView::PositionAtCenter);
    // Moving the tree puts the cleaned path in the box: keep the caller's spelling.
    edPath->setText(value);
    edPath->setToolTip(value);
}

void TGetPathFrm::folderChanged(const QString &path)
{
    edPath->setText(QDir::toNativeSeparators(path));
    edPath->setToolTip(edPath->text());
    btnOk->setEnabled(LocalFolderReady(path, FAllowNetDisk));
}

QString TGetPathFrm::Pick(QWidget *parent, THS_Language lang, const QString &caption, const QString &start)
{
    // Opens at the field's folder, else where the user picked last, else at home; never at "/".
    static QString lastPicked;
    QString from = start;
    if (!QFileInfo(from).isDir())
        from = QFileInfo(lastPicked).isDir() ? lastPicked : QDir::homePath();
    TGetPathFrm frm(parent, lang);
    if (!caption.isEmpty())
        frm.setWindowTitle(caption);
    frm.SetSelectedPath(from);
    if (frm.exec() != QDialog::Accepted)
        return {};
    if (!frm.FPath.isEmpty())
        lastPicked = frm.FPath;
    return frm.FPath;
}

void TGetPathFrm::showCurrent()
{
    if (tvFolders->currentIndex().isValid())
        tvFolders->scrollTo(tvFolders->currentIndex(), QAbstractItemView::PositionAtCenter);
}

void TGetPathFrm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // A view scrolled while hidden forgets it.
    QMetaObject::invokeMethod(this, &TGetPathFrm::showCurrent, Qt::QueuedConnection);
}
