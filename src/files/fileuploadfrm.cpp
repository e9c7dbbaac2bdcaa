#include "files/fileuploadfrm.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include "platform/prompter.h"
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

TFileUploadFrm::TFileUploadFrm(const TServerConn &conn, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_ctrl(new TUploadController(conn, this))
{
    const THS_Language lang = conn.Language;
    m_ctrl->FPromptParent = [this] { return static_cast<QWidget *>(this); };
    setWindowTitle(LangText(lang, "文件上传", "File Upload"));
    setFont(QFont(lang == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    edPath = new QLineEdit(this);
    btnSelect = new QPushButton(LangText(lang, "选择", "Select"), this);
    btnUpload = new QPushButton(LangText(lang, "上传", "Upload"), this);
    btnClose = new QPushButton(LangText(lang, "取消", "Cancel"), this);
    pbProgress = NewTransferBar(this);
    lblSize = new QLabel(this);
    auto *grid = new QGridLayout(this);
    AddPathRow(grid, 0, LangText(lang, "路径：", "Path:"), edPath, btnSelect);
    grid->addWidget(new QLabel(LangText(lang, "进度：", "Progress:"), this), 1, 0);
    grid->addWidget(pbProgress, 1, 1);
    grid->addWidget(lblSize, 1, 2);
    AddButtonRow(grid, 2, {btnUpload, btnClose});
    resize(460, 130);

    connect(btnSelect, &QPushButton::clicked, this, [this] {
        const QString f = QFileDialog::getOpenFileName(this);
        if (!f.isEmpty())
            edPath->setText(QDir::toNativeSeparators(f));
    });
    connect(btnUpload, &QPushButton::clicked, this, [this] { UploadPath(edPath->text()); });
    connect(btnClose, &QPushButton::clicked, this, &QWidget::close);
    connect(m_ctrl, &TUploadController::inputsEnabled, this, [this](bool on) {
        edPath->setEnabled(on);
        btnSelect->setEnabled(on);
        btnUpload->setEnabled(on);
    });
    connect(m_ctrl, &TUploadController::currentName, edPath, &QLineEdit::setText);
    BindTransferProgress(m_ctrl, pbProgress, lblSize);
    connect(m_ctrl, &TUploadController::fileStored, this, [this] {
        pbProgress->setRange(0, qMax(1, pbProgress->maximum()));
        pbProgress->setValue(pbProgress->maximum());
    });
    connect(m_ctrl, &TUploadController::singleFinished, edPath, &QLineEdit::clear);
}

void TFileUploadFrm::Init(qint32 groupId, qint64 folderId, TFileListModel *listItems)
{
    m_ctrl->Init(groupId, folderId, listItems);
}

void TFileUploadFrm::UploadList(const QString &sourceFolder, const QStringList &files)
{
    edPath->clear();
    m_ctrl->UploadList(sourceFolder, files);
}

void TFileUploadFrm::UploadPath(const QString &path)
{
    if (!m_ctrl->IsBusy())
        m_ctrl->UploadSingle(QDir::fromNativeSeparators(path.trimmed()));
}

void TFileUploadFrm::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !event->modifiers()) {
        if (btnUpload->isEnabled())
            btnUpload->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TFileUploadFrm::closeEvent(QCloseEvent *event)
{
    if (!MayCloseTransferWindow(this, m_ctrl, m_ctrl->Texts().WLS_Hint,
                                LangText(m_ctrl->Language(), "正在上传文件，是否停止上传并关闭窗口？",
                                         "A file is being uploaded. Stop and close the window?"))) {
        event->ignore();
        return;
    }
    // The running file stops after its block.
    m_ctrl->RequestClose();
    event->accept();
    DeleteAfterTransfer(this, m_ctrl);
}

QProgressBar *NewTransferBar(QWidget *parent)
{
    auto *bar = new QProgressBar(parent);
    bar->setRange(0, 1);   // empty until a file's first block
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

void AddPathRow(QGridLayout *grid, int row, const QString &label, QLineEdit *edit, QPushButton *select)
{
    grid->addWidget(new QLabel(label, grid->parentWidget()), row, 0);
    grid->addWidget(edit, row, 1);
    grid->addWidget(select, row, 2);
}

void AddButtonRow(QGridLayout *grid, int row, const QList<QPushButton *> &buttons)
{
    auto *line = new QHBoxLayout;
    line->addStretch();
    for (QPushButton *b : buttons)
        line->addWidget(b);
    grid->addLayout(line, row, 0, 1, 3);
}

bool MayCloseTransferWindow(QWidget *window, TTransferBase *controller, const QString &hint, const QString &question)
{
    return !controller->IsBusy() || TPrompter::Instance().Ask(window, hint, question);
}

void DeleteAfterTransfer(QWidget *window, TTransferBase *controller)
{
    if (!controller->IsBusy()) {
        window->deleteLater();
        return;
    }
    QObject::connect(controller, &TTransferBase::busyChanged, window, [window](bool busy) {
        if (!busy)
            window->deleteLater();
    });
}

void BindTransferProgress(TTransferBase *controller, QProgressBar *bar, QLabel *sizeLabel)
{
    // An empty bar shows "nothing sent yet"; each file sets its own scale at its first block.
    auto scaled = std::make_shared<bool>(false);
    // Room for a large file's label from the start: the bar never jumps, the label is never cut.
    sizeLabel->setMinimumWidth(sizeLabel->fontMetrics().horizontalAdvance(QStringLiteral("9999999/9999999K")));
    QObject::connect(controller, &TTransferBase::fileStarted, bar, [bar, sizeLabel, scaled] {
        *scaled = false;
        bar->setRange(0, 1);
        bar->setValue(0);
        sizeLabel->clear();
    });
    QObject::connect(controller, &TTransferBase::progress, bar, [bar, sizeLabel, scaled](qint64 all, qint64 done) {
        const TProgressView v = ProgressStep(*scaled ? bar->maximum() : 0, all, done);
        *scaled = true;
        bar->setRange(0, v.Maximum);
        bar->setValue(v.Position);
        sizeLabel->setText(v.Label);
    });
}
