#include "capture/twainuploadfrm.h"

#include "files/filetexts.h"
#include "platform/prompter.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <cmath>

TTwainUploadFrm::TTwainUploadFrm(const TServerConn &conn, qint64 ownerId2, QWidget *parent)
    : QDialog(parent)
    , m_conn(conn)
    , m_texts(conn.Language)
    , m_ctrl(new TScanUploadController(conn, this))
    , m_ownerId2(ownerId2)
{
    const THS_Language lang = conn.Language;
    setObjectName(QStringLiteral("TTwainUploadFrm"));
    setWindowTitle(LangText(lang, "上传扫描件", "Upload scanned documents"));
    setFont(QFont(lang == HSL_ENG ? QStringLiteral("Arial") : QStringLiteral("宋体"), 9));
    edtFileName = new QLineEdit(this);
    lblHint = new QLabel(this);
    lblHint->setWordWrap(true);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    btnUpload = new QPushButton(LangText(lang, "上传", "Upload"), this);
    btnUpload->setDefault(true);
    auto *grid = new QGridLayout(this);
    grid->addWidget(new QLabel(LangText(lang, "文件名称： ", "File name: "), this), 0, 0);
    grid->addWidget(edtFileName, 0, 1);
    grid->addWidget(new QLabel(LangText(lang, "文件格式为JPG", "JPG file format"), this), 0, 2);
    grid->addWidget(lblHint, 1, 0, 1, 3);
    grid->addWidget(ProgressBar1, 2, 0, 1, 3);
    auto *row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(btnUpload);
    grid->addLayout(row, 3, 0, 1, 3);
    resize(435, 174);

    connect(btnUpload, &QPushButton::clicked, this, &TTwainUploadFrm::btnUploadClick);
    connect(m_ctrl, &TTransferBase::progress, ProgressBar1, [this](qint64 total, qint64 sent) {
        ProgressBar1->setValue(total == 0 ? 100 : int(std::lround(double(sent) * 100 / double(total))));
    });
    connect(m_ctrl, &TScanUploadController::finished, this, &TTwainUploadFrm::uploadFinished);
}

void TTwainUploadFrm::SetPages(const QStringList &pages, qint32 ownerId, qint64 folderId)
{
    m_pages = pages;
    m_ownerId = ownerId;
    m_folderId = folderId;
}

QString TTwainUploadFrm::FileKeys() const
{
    QStringList keys;
    for (const TScanUploadPage &p : m_ctrl->Results())
        if (p.Key > 0)
            keys << QString::number(p.Key);
    return keys.join(u',');
}

void TTwainUploadFrm::btnUploadClick()
{
    if (m_pages.isEmpty() || m_ctrl->IsBusy())
        return;
    if (edtFileName->text().trimmed().isEmpty()) {
        TPrompter::Instance().Info(this, m_texts.WLS_Hint, m_texts.WLS_InputName);
        edtFileName->setFocus();
        return;
    }
    Uploaded = false;
    btnUpload->setEnabled(false);
    edtFileName->setEnabled(false);
    lblHint->setText(m_texts.WLS_Uploading);
    m_ctrl->Start(edtFileName->text(), m_pages, m_ownerId, m_folderId, FArcId2, m_ownerId2);
}

void TTwainUploadFrm::uploadFinished()
{
    const QList<TScanUploadPage> &results = m_ctrl->Results();
    const bool all = !results.isEmpty()
                     && std::all_of(results.cbegin(), results.cend(), [](const TScanUploadPage &p) { return p.Stored(); });
    QString lastError;
    for (const TScanUploadPage &p : results)
        if (!p.Stored())
            lastError = p.Error;
    lblHint->setText(all ? m_texts.WLS_Ok : m_texts.WLS_Error + lastError);
    // One box for the whole upload, not one per page.
    if (std::any_of(results.cbegin(), results.cend(), [](const TScanUploadPage &p) { return p.ArchiveTried && !p.ArchiveOk; }))
        TPrompter::Instance().Error(this, m_texts.WLS_Hint, m_texts.WLS_ArchiveFailed);
    Uploaded = true;
    FIsOver = true;
    accept();
}

void TTwainUploadFrm::reject()
{
    if (Uploaded)
        QDialog::reject();
}

void TTwainUploadFrm::closeEvent(QCloseEvent *event)
{
    if (!Uploaded)
        event->ignore();
    else
        QDialog::closeEvent(event);
}
