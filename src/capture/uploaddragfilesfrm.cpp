#include "capture/uploaddragfilesfrm.h"

#include "core/tagtext.h"
#include "files/asyncrun.h"
#include "files/filetexts.h"
#include "net/robottcpclient.h"
#include "platform/clipboardfiles.h"
#include "platform/prompter.h"

#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QVBoxLayout>

#include <cmath>

TUploadDragFilesFrm::TUploadDragFilesFrm(const TServerConn &conn, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_conn(conn)
    , m_texts(conn.Language)
    , m_ctrl(new TClipboardUploadController(conn, this))
{
    setObjectName(QStringLiteral("TUploadDragFilesFrm"));
    setWindowTitle(QStringLiteral("Upload Clipboard Files"));
    setFont(QFont(conn.Language == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    lbCurrent = new QLabel(m_texts.WLS_CurrentFile, this);
    lbCurrent->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lbT = new QLabel(m_texts.WLS_UploadOk, this);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    auto *group = new QGroupBox(this);
    Memo1 = new QPlainTextEdit(group);
    Memo1->setReadOnly(true);
    auto *g = new QVBoxLayout(group);
    g->addWidget(Memo1);
    auto *root = new QVBoxLayout(this);
    root->addWidget(lbCurrent);
    root->addWidget(ProgressBar1);
    root->addWidget(lbT);
    root->addWidget(group, 1);
    resize(580, 337);

    connect(m_ctrl, &TTransferBase::progress, ProgressBar1, [this](qint64 total, qint64 sent) {
        ProgressBar1->setValue(total == 0 ? 100 : int(std::lround(double(sent) * 100 / double(total))));
    });
    connect(m_ctrl, &TClipboardUploadController::currentFile, lbCurrent, &QLabel::setText);
    connect(m_ctrl, &TClipboardUploadController::fileDone, this,
            [this](const TClipboardUploadLine &line, int done, int count) {
                Memo1->appendPlainText(TClipboardUploadController::LogLine(m_texts, line));
                QString t = m_texts.WLS_NumDesc;
                t.replace(t.indexOf(QLatin1String("%s")), 2, QString::number(count));
                t.replace(t.indexOf(QLatin1String("%s")), 2, QString::number(done));
                lbT->setText(t);
            });
    connect(m_ctrl, &TClipboardUploadController::finished, this, [this](int failures) {
        if (failures > 0)
            lbT->setText(lbT->text() + QLatin1String(", ") + m_texts.WLS_ErrorNum + QString::number(failures));
        Q_EMIT passEnded(true, failures);
    });
}

void TUploadDragFilesFrm::SetDestination(qint32 ownerId, qint64 folderId)
{
    FDestOwnerId = ownerId;
    FDestFolderId = folderId;
}

void TUploadDragFilesFrm::Uplad()
{
    if (m_ctrl->IsBusy())
        return;
    PFileList = ClipboardFiles::Read();
    if (PFileList.isEmpty()) {
        ClipboardFiles::Clear();
        TPrompter::Instance().Info(this, m_texts.WLS_Hint, m_texts.WLS_NoFile);
        Q_EMIT passEnded(false, 0);
        return;
    }
    // The question names the folder as the server calls it.
    const TServerConn conn = m_conn;
    const qint64 folder = FDestFolderId;
    const int generation = ++m_generation;
    RunAsync(this, [conn, folder] {
        try {
            return GetTagValue(conn.MakeClient(10000)->GetServerPath(folder, true), QStringLiteral("PathStr"));
        } catch (const std::exception &) {
            return QString();
        }
    }, [this, generation](const QString &path) {
        if (generation == m_generation)
            ask(path);
    });
}

void TUploadDragFilesFrm::ask(const QString &serverPath)
{
    const QString target = serverPath.isEmpty()
                               ? LangText(m_conn.Language, "文件夹 %1（所有者 %2）", "folder %1 of owner %2")
                                     .arg(FDestFolderId)
                                     .arg(FDestOwnerId)
                               : serverPath;
    if (!TPrompter::Instance().Ask(this, m_texts.WLS_Hint,
                                   TClipboardUploadController::ConfirmText(m_conn.Language, PFileList, target))) {
        Q_EMIT passEnded(false, 0);
        return;
    }
    ClipboardFiles::Clear();
    UploadList(PFileList);
}

void TUploadDragFilesFrm::UploadList(const QStringList &paths)
{
    if (m_ctrl->IsBusy())
        return;
    PFileList = paths;
    Memo1->clear();
    lbT->setText(m_texts.WLS_UploadOk);
    ProgressBar1->setValue(0);
    m_ctrl->Start(paths, FDestOwnerId, FDestFolderId);
}
