#include "files/filedownloadfrm.h"
#include "files/fileuploadfrm.h"
#include "files/getpathfrm.h"
#include "platform/prompter.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QKeyEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

TFileDownloadFrm::TFileDownloadFrm(const TServerConn &conn, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_ctrl(new TDownloadController(conn, this))
{
    const THS_Language lang = conn.Language;
    m_ctrl->FPromptParent = [this] { return static_cast<QWidget *>(this); };
    setWindowTitle(LangText(lang, "文件下载", "File Download"));
    setFont(QFont(lang == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    m_views = new QStackedWidget(this);

    auto *choice = new QWidget(m_views);
    edPath = new QLineEdit(choice);
    btnSelect = new QPushButton(LangText(lang, "选择", "Select"), choice);
    btnDownload = new QPushButton(LangText(lang, "下载", "Download"), choice);
    btnDownload->setDefault(true);
    btnCancel = new QPushButton(LangText(lang, "取消", "Cancel"), choice);
    auto *cg = new QGridLayout(choice);
    AddPathRow(cg, 0, LangText(lang, "保存路径：", "Save path:"), edPath, btnSelect);
    AddButtonRow(cg, 1, {btnDownload, btnCancel});

    auto *progressView = new QWidget(m_views);
    lblFileName = new QLabel(progressView);
    lblSize = new QLabel(progressView);
    lblTotal = new QLabel(progressView);
    lblTotal->hide();
    pbProgress = NewTransferBar(progressView);
    mmLog = new QPlainTextEdit(progressView);
    mmLog->setReadOnly(true);
    btnClose = new QPushButton(LangText(lang, "关闭", "Close"), progressView);
    btnRetry = new QPushButton(LangText(lang, "重试失败的文件", "Retry failed files"), progressView);
    btnRetry->hide();
    btnOpenFolder = new QPushButton(LangText(lang, "打开文件夹", "Open the folder"), progressView);
    btnOpenFolder->hide();
    FOpenUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    auto *pg = new QGridLayout(progressView);
    pg->addWidget(new QLabel(LangText(lang, "文件名称：", "Name:"), progressView), 0, 0);
    pg->addWidget(lblFileName, 0, 1, 1, 2);
    pg->addWidget(new QLabel(LangText(lang, "下载进度：", "Progress:"), progressView), 1, 0);
    pg->addWidget(pbProgress, 1, 1);
    pg->addWidget(lblSize, 1, 2);
    pg->addWidget(lblTotal, 2, 1, 1, 2);
    pg->addWidget(mmLog, 3, 0, 1, 3);
    AddButtonRow(pg, 4, {btnOpenFolder, btnRetry, btnClose});

    m_views->addWidget(choice);
    m_views->addWidget(progressView);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_views);
    resize(560, 110);   // the proposed path is long: most of it shows

    connect(btnSelect, &QPushButton::clicked, this, [this, lang] {
        const QString d = TGetPathFrm::Pick(this, lang, QString(), edPath->text());
        if (!d.isEmpty())
            edPath->setText(d);
    });
    connect(btnDownload, &QPushButton::clicked, this, [this] { m_ctrl->Start(edPath->text()); });
    connect(btnCancel, &QPushButton::clicked, this, &QWidget::close);
    connect(btnClose, &QPushButton::clicked, this, &QWidget::close);
    connect(btnRetry, &QPushButton::clicked, this, [this] {
        btnRetry->hide();
        m_ctrl->RetryFailed();
    });
    connect(m_ctrl, &TDownloadController::pathProposed, this, [this](const QString &p) {
        if (edPath->text().isEmpty())
            edPath->setText(p);
    });
    connect(m_ctrl, &TDownloadController::started, this, [this] {
        m_views->setCurrentIndex(1);
        // Grows around its centre, so it stays over the main window.
        const QPoint centre = geometry().center();
        resize(560, 400);
        move(pos() + centre - geometry().center());
    });
    connect(m_ctrl, &TDownloadController::currentName, lblFileName, &QLabel::setText);
    connect(m_ctrl, &TDownloadController::filePosition, this, [this, lang](int number, int count) {
        if (count > 1)
            lblFileName->setText(lblFileName->text()
                                 + LangText(lang, "（第 %1 个，共 %2 个）", "  (file %1 of %2)").arg(number).arg(count));
    });
    connect(m_ctrl, &TDownloadController::overallProgress, this, [this, lang](qint64 done, qint64 total) {
        if (total <= 0 || m_ctrl->FSelectedInfo.size() < 2)
            return;
        const QLocale locale(lang == HSL_CN ? QLocale::Chinese : QLocale::English);
        lblTotal->setText(LangText(lang, "全部：%1 / %2", "In all: %1 of %2")
                              .arg(locale.formattedDataSize(done), locale.formattedDataSize(total)));
        lblTotal->show();
    });
    connect(btnOpenFolder, &QPushButton::clicked, this, [this] { FOpenUrl(QUrl::fromLocalFile(m_ctrl->FPath)); });
    BindTransferProgress(m_ctrl, pbProgress, lblSize);
    connect(m_ctrl, &TDownloadController::fileStored, this, [this] {
        pbProgress->setRange(0, qMax(1, pbProgress->maximum()));
        pbProgress->setValue(pbProgress->maximum());
    });
    connect(m_ctrl, &TDownloadController::logLine, mmLog, &QPlainTextEdit::appendPlainText);
    connect(m_ctrl, &TDownloadController::allDone, this, [this, lang](int failures) {
        // The window stays: with a failure so the log can be read and the files
        // tried again, without one to say where the files went.
        if (failures == 0) {
            const int count = int(m_ctrl->FSelectedInfo.size());
            mmLog->appendPlainText(LangText(lang, "已下载 %1 个文件到 %2", "%1 file(s) downloaded to %2")
                                       .arg(count)
                                       .arg(QDir::toNativeSeparators(m_ctrl->FPath)));
            btnOpenFolder->show();
            btnClose->setFocus();
        } else {
            btnRetry->setVisible(!m_ctrl->IsCancelled());
        }
    });
}

void TFileDownloadFrm::Init(const TSelectedInfos &selectedInfo, const QString &workRoot)
{
    m_ctrl->Init(selectedInfo, workRoot);
}

bool TFileDownloadFrm::InProgressView() const
{
    return m_views->currentIndex() == 1;
}

void TFileDownloadFrm::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !event->modifiers()) {
        if (!InProgressView())
            btnDownload->click();
        else if (!m_ctrl->IsBusy())
            close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TFileDownloadFrm::closeEvent(QCloseEvent *event)
{
    if (!MayCloseTransferWindow(this, m_ctrl, m_ctrl->Texts().WLS_Hint,
                                LangText(m_ctrl->Language(), "正在下载文件，是否停止下载并关闭窗口？",
                                         "Files are being downloaded. Stop and close the window?"))) {
        event->ignore();
        return;
    }
    // Partial files are where the next download resumes; the user may not want them.
    if (!m_ctrl->IsBusy() && !m_ctrl->Partials().isEmpty()) {
        const TDownloadTexts &t = m_ctrl->Texts();
        const QString keep = LangText(m_ctrl->Language(), "保留未下载完的部分文件，以便下次继续下载？\n",
                                      "Keep the partly downloaded files so that the next download resumes them?\n")
                             + m_ctrl->Partials().join(u'\n');
        if (!TPrompter::Instance().Ask(this, t.WLS_Hint, keep))
            m_ctrl->DiscardPartials();
    }
    m_ctrl->RequestClose();
    m_ctrl->FSelectedInfo.clear();
    event->accept();
    DeleteAfterTransfer(this, m_ctrl);
}
