#include "edit/showeditinfofrm.h"

#include "platform/styleicons.h"

#include <QDateTime>
#include <QDir>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

THintFrm::THintFrm(QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("HintFrm"));
    setWindowTitle(QStringLiteral("HintFrm"));
    resize(360, 110);
    m_icon = new QLabel(this);
    Memo = new QPlainTextEdit(this);
    Memo->setReadOnly(true);
    Memo->setFrameShape(QFrame::NoFrame);
    auto *layout = new QHBoxLayout(this);
    layout->addWidget(m_icon, 0, Qt::AlignTop);
    layout->addWidget(Memo, 1);
    m_timer = new QTimer(this);
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, [this] {
        if (QDateTime::currentMSecsSinceEpoch() - m_setAt > 2000) {
            m_timer->stop();
            hide();
        }
    });
}

void THintFrm::ShowNotice(const QString &text, bool ok)
{
    m_ok = ok;
    Memo->setPlainText(text);
    m_icon->setPixmap(StyleIcon(ok ? QStyle::SP_DialogApplyButton : QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    m_setAt = QDateTime::currentMSecsSinceEpoch();
    show();
    raise();
    m_timer->start();
}

QString THintFrm::Text() const
{
    return Memo->toPlainText();
}

TShowEditInfoFrm::TShowEditInfoFrm(THS_Language language, QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    m_monitor = new TEditMonitor(language, this);
    const TMonitorTexts &t = m_monitor->Texts();
    setObjectName(QStringLiteral("TShowEditInfoFrm"));
    setWindowTitle(t.WLS_Monitor);
    setFont(language == HSL_CN ? QFont(QStringLiteral("宋体"), 9) : QFont(QStringLiteral("Tahoma"), 9));
    resize(560, 420);

    lbFileName = new QLabel(t.WLS_CurrentFile, this);
    lbFileName->setObjectName(QStringLiteral("lbFileName"));
    QFont bold = lbFileName->font();
    bold.setBold(true);
    lbFileName->setFont(bold);
    lvFiles = new QListWidget(this);
    lvFiles->setObjectName(QStringLiteral("lvFiles"));
    lvFiles->setMaximumHeight(90);
    btnFinished = new QPushButton(t.Finished, this);
    btnFinished->setObjectName(QStringLiteral("btnFinished"));
    btnFinished->setEnabled(false);
    connect(lvFiles, &QListWidget::currentRowChanged, this, [this](int row) { btnFinished->setEnabled(row >= 0); });
    connect(btnFinished, &QPushButton::clicked, this, [this] {
        if (QListWidgetItem *item = lvFiles->currentItem())
            m_monitor->FinishEditing(item->data(Qt::UserRole).toLongLong());
    });
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);

    auto *tips = new QGroupBox(this);
    auto *tipLayout = new QVBoxLayout(tips);
    auto *lb0 = new QLabel(t.WLS_LB0, tips);
    lb0->setFont(bold);
    tipLayout->addWidget(lb0);
    for (const QString &line : {t.WLS_LB1, t.WLS_LB2}) {
        auto *l = new QLabel(line, tips);
        l->setWordWrap(true);
        tipLayout->addWidget(l);
    }

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lbFileName);
    layout->addWidget(new QLabel(t.WLS_Watching, this));
    layout->addWidget(lvFiles);
    layout->addWidget(btnFinished, 0, Qt::AlignRight);
    layout->addWidget(Memo1, 1);
    layout->addWidget(tips);

    m_notice = new THintFrm(this);
    connect(m_monitor, &TEditMonitor::logLine, Memo1, &QPlainTextEdit::appendPlainText);
    connect(m_monitor, &TEditMonitor::currentFile, lbFileName, &QLabel::setText);
    connect(m_monitor, &TEditMonitor::fileListChanged, this, &TShowEditInfoFrm::refreshList);
    connect(m_monitor, &TEditMonitor::checked, this, &TShowEditInfoFrm::refreshList);
    connect(m_monitor, &TEditMonitor::notice, m_notice, &THintFrm::ShowNotice);
    connect(m_monitor, &TEditMonitor::hideRequested, this, &QWidget::hide);
    connect(m_monitor, &TEditMonitor::bringToFrontRequested, this, [this] {
        show();
        raise();
        activateWindow();
    });
}

void TShowEditInfoFrm::refreshList()
{
    const qint64 selected = lvFiles->currentItem() ? lvFiles->currentItem()->data(Qt::UserRole).toLongLong() : 0;
    lvFiles->clear();
    const TMonitorTexts &t = m_monitor->Texts();
    for (const TEditedFileInfo &f : m_monitor->FileList()) {
        // Without any sign of the editor only the user can say when the edit is over.
        const QString state = f.InUse ? t.WLS_InUse : (f.SignSeen ? QString() : t.Undecided);
        auto *item = new QListWidgetItem(f.FileName + (state.isEmpty() ? QString() : QStringLiteral("  [") + state + u']')
                                         + QStringLiteral("\n    ") + QDir::toNativeSeparators(f.PathAndFile), lvFiles);
        item->setToolTip(QDir::toNativeSeparators(f.PathAndFile));
        item->setData(Qt::UserRole, f.FileKey);
        if (f.FileKey == selected)
            lvFiles->setCurrentItem(item);
    }
    if (!lvFiles->currentItem() && lvFiles->count() == 1)
        lvFiles->setCurrentRow(0);
    btnFinished->setEnabled(lvFiles->currentItem() != nullptr);
}
