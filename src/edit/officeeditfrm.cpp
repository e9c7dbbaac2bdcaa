#include "edit/officeeditfrm.h"

#include "core/folders.h"
#include "core/helpers.h"
#include "core/workpools.h"
#include "edit/editorlauncher.h"
#include "platform/prompter.h"
#include "platform/styleicons.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

namespace {
const char *kButtonStyle = "QPushButton { color: rgb(0,118,163); }";
} // namespace

TOfficeFileEditFrm::TOfficeFileEditFrm(const TServerConn &conn, const QString &configFolder, QWidget *parent)
    : TFileEditBaseFrm(conn, configFolder, parent)
{
    setObjectName(QStringLiteral("TOfficeFileEditFrm"));
    setWindowTitle(EditorTexts.Caption);
    resize(420, 150);

    plToolbar = new QWidget(this);
    plToolbar->setObjectName(QStringLiteral("plToolbar"));
    auto *tools = new QHBoxLayout(plToolbar);
    tools->setContentsMargins(4, 2, 4, 2);
    spbSave = new QPushButton(EditorTexts.Save, plToolbar);
    spbSave->setObjectName(QStringLiteral("spbSave"));
    spbCancel = new QPushButton(EditorTexts.Cancel, plToolbar);
    spbCancel->setObjectName(QStringLiteral("spbCancel"));
    for (QPushButton *b : {spbSave, spbCancel}) {
        b->setStyleSheet(QLatin1String(kButtonStyle));
        tools->addWidget(b);
    }
    tools->addStretch();
    plToolbar->hide();

    auto *icon = new QLabel(this);
    icon->setPixmap(StyleIcon(QStyle::SP_FileIcon).pixmap(32, 32));
    lbDocument = new QLabel(this);
    lbDocument->setObjectName(QStringLiteral("lbDocument"));
    QFont bold = lbDocument->font();
    bold.setBold(true);
    lbDocument->setFont(bold);
    lbStatus = new QLabel(this);
    lbStatus->setObjectName(QStringLiteral("lbStatus"));
    lbStatus->setWordWrap(true);
    auto *doc = new QHBoxLayout;
    doc->addWidget(icon, 0, Qt::AlignTop);
    auto *texts = new QVBoxLayout;
    texts->addWidget(lbDocument);
    texts->addWidget(lbStatus, 1);
    doc->addLayout(texts, 1);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(plToolbar);
    layout->addLayout(doc, 1);

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TOfficeFileEditFrm::check);
    connect(spbSave, &QPushButton::clicked, this, &TOfficeFileEditFrm::saveFromButton);
    connect(spbCancel, &QPushButton::clicked, this, &TOfficeFileEditFrm::cancelFromButton);
    connect(this, &TFileEditBaseFrm::uploadFinished, this, &TOfficeFileEditFrm::finishButtonUpload);
}

TOfficeFileEditFrm::~TOfficeFileEditFrm()
{
    CloseOleObject();
}

void TOfficeFileEditFrm::SetToolbarVisible(bool visible)
{
    plToolbar->setVisible(visible);
}

void TOfficeFileEditFrm::setStatus(const QString &text)
{
    lbStatus->setText(EditorTexts.Status + u' ' + text);
}

void TOfficeFileEditFrm::ShowDocument(const QString &copy, const QString &name, qint64 pid)
{
    FEditFileName = copy;
    FSourceFileName = name;
    m_pid = pid;
    lbDocument->setText(name);
    setWindowTitle(name + QStringLiteral("---edit"));
    setStatus(EditorTexts.OfficeOpen);
    Timer1->start();
}

int TOfficeFileEditFrm::Edit(const QString &fileName, const QString &ext, qint64 fileKey)
{
    TFileEditBaseFrm::Edit(fileName, ext, fileKey);
    lbDocument->setText(fileName);
    if (EditorLauncher::OfficeProgram(ext).isEmpty()) {
        TPrompter::Instance().Error(this, Texts.WLS_Hint, EditorTexts.OfficeNotInstalled);
        Q_EMIT editReady(false);
        return 0;
    }
    const QString base = QFileInfo(fileName).completeBaseName().isEmpty() ? QStringLiteral("file")
                                                                          : QFileInfo(fileName).completeBaseName();
    // Only the leaf of the server's name may name the copy.
    QString leaf = base.mid(std::max(base.lastIndexOf(u'/'), base.lastIndexOf(u'\\')) + 1);
    const QDateTime now = QDateTime::currentDateTime();
    FEditFileName = GetTempFolder() + leaf + u'_' + now.toString(QStringLiteral("MMddHHmmss"))
                    + QString::number(now.time().msec()) + u'.' + ext;
    downloadForEdit([this](bool ok) {
        if (!ok) {
            TPrompter::Instance().Error(this, Texts.WLS_Hint, FNogList.join(QStringLiteral("\r\n")));
            Q_EMIT editReady(false);
            return;
        }
        SetFileWriteTime(FEditFileName, QDateTime::currentDateTime());
        m_stamp = QFileInfo(FEditFileName).lastModified();
        setWindowTitle(FSourceFileName + QStringLiteral("---edit"));
        // Finding and starting the program may ask the desktop: not on the GUI thread.
        RunOnPool(RequestPool(), this,
                  [path = FEditFileName, chinese = FLanguage == HSL_CN] { return EditorLauncher::Open(path, chinese); },
                  [this](const EditorLauncher::Started &s) {
            if (!s.Ok) {
                TPrompter::Instance().Error(this, Texts.WLS_Hint, s.Error);
                CancelEdit();
                Q_EMIT editReady(false);
                return;
            }
            m_pid = s.Pid;
            m_inUse = true;
            setStatus(EditorTexts.OfficeOpen);
            Timer1->start();
            Q_EMIT editReady(true);
        });
    });
    return 1;
}

FileInUse::Probe TOfficeFileEditFrm::probe() const
{
    FileInUse::Probe probe;
    if (m_pid > 0)
        probe.EditorPids << m_pid;
    probe.Processes = ProcessSource;
    return probe;
}

void TOfficeFileEditFrm::check()
{
    if (m_checking || FEditFileName.isEmpty())
        return;
    m_checking = true;
    const FileInUse::Probe probe = this->probe();
    const QString copy = FEditFileName;
    RunOnPool(RequestPool(), this, [copy, probe] { return FileInUse::InUse(FileInUse::Check(copy, probe)); },
              [this](bool inUse) {
                  m_checking = false;
                  if (inUse == m_inUse)
                      return;
                  m_inUse = inUse;
                  setStatus(inUse ? EditorTexts.OfficeOpen : EditorTexts.OfficeClosed);
                  Q_EMIT officeStateChanged(inUse);
              });
}

int TOfficeFileEditFrm::SaveAndUpload(QString *)
{
    if (IsBusy() || !IsEditing())
        return 0;
    FNogList.clear();
    // Only the office program can save the document: what it saved is what goes up.
    // The check scans the processes, so it runs on a worker; a closed window never hears it.
    m_busy = true;
    const FileInUse::Probe probe = this->probe();
    const QString copy = FEditFileName;
    RunOnPool(RequestPool(), this, [copy, probe] { return FileInUse::InUse(FileInUse::Check(copy, probe)); },
              [this](bool inUse) {
                  m_busy = false;
                  // Cancelled while the check ran: nothing goes up.
                  if (!IsEditing() || FEditOvered) {
                      m_fromButton = false;
                      return;
                  }
                  if (inUse) {
                      log(EditorTexts.OfficeStillOpen);
                      Q_EMIT uploadFinished(false, EditorTexts.OfficeStillOpen);
                      return;
                  }
                  uploadEditedCopy([this](const TEditTransfer::Upload &u) {
                      if (u.Ok || u.Unchanged)
                          FEditOvered = true;
                      Q_EMIT uploadFinished(u.Ok || u.Unchanged, FNogList.join(QStringLiteral("\r\n")));
                  });
              });
    return 1;
}

void TOfficeFileEditFrm::CancelEdit()
{
    FEditOvered = true;
    if (IsEditing())
        giveUpEditing();
    // A copy the office program saved differs from the server's: it stays.
    const QFileInfo copy(FEditFileName);
    if (!m_inUse && copy.exists() && qAbs(copy.lastModified().msecsTo(m_stamp)) < 200)
        QFile::remove(FEditFileName);
    CloseOleObject();
}

void TOfficeFileEditFrm::CloseOleObject()
{
    if (m_closedOle)
        return;
    m_closedOle = true;
    Timer1->stop();
}

void TOfficeFileEditFrm::closeEvent(QCloseEvent *event)
{
    if (m_closing || FEditOvered || !IsEditing()) {
        event->accept();
        return;
    }
    if (IsBusy() || !TPrompter::Instance().Ask(this, Texts.WLS_Hint, EditorTexts.WLS_CancelEdit)) {
        event->ignore();
        return;
    }
    CancelEdit();
    event->accept();
}
