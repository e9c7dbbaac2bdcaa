#include "preview/previewbasefrm.h"

#include "core/fileext.h"
#include "core/workpools.h"
#include "net/robottcpclient.h"
#include "platform/styleicons.h"
#include "preview/logging.h"
#include "preview/printerprobe.h"
#include "web/previewhint.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QAction>
#include <QPrintDialog>
#include <QPrinter>
#include <QPainter>
#include <QPixmap>
#include <QTimer>

TViewerGuard::TViewerGuard(QObject *parent)
    : QObject(parent)
{
}

bool TViewerGuard::SwallowsKey(int key, Qt::KeyboardModifiers m, bool ctrlC)
{
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return true;
    const bool ctrl = m & Qt::ControlModifier;
    if (ctrl && key == Qt::Key_C && ctrlC && !(m & (Qt::ShiftModifier | Qt::AltModifier)))
        return false;
    // A lone modifier press is let through; what it would combine with is not.
    if (key == Qt::Key_Control || key == Qt::Key_Shift || key == Qt::Key_Alt || key == Qt::Key_Meta)
        return false;
    return m & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
}

void TViewerGuard::Watch(QWidget *widget)
{
    widget->installEventFilter(this);
    widget->setContextMenuPolicy(Qt::PreventContextMenu);
    for (QWidget *child : widget->findChildren<QWidget *>()) {
        child->installEventFilter(this);
        child->setContextMenuPolicy(Qt::PreventContextMenu);
    }
}

bool TViewerGuard::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::ShortcutOverride: {
        const auto *k = static_cast<QKeyEvent *>(event);
        if (SwallowsKey(k->key(), k->modifiers(), FCtrlC)) {
            event->accept();
            return true;
        }
        break;
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick: {
        const auto *m = static_cast<QMouseEvent *>(event);
        if (m->button() == Qt::RightButton || m->button() == Qt::MiddleButton
            || (FBlockLeft && m->button() == Qt::LeftButton))
            return true;
        break;
    }
    case QEvent::ContextMenu:
        return true;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

TPreviewBaseFrm::TPreviewBaseFrm(const TServerConn &conn, const QString &root, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , FRoot(root)
    , FConn(conn)
    , FHS_Language(conn.Language == HSL_CN ? HSL_CN : HSL_ENG)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("TPreviewBaseFrm"));
    setFont(FHS_Language == HSL_CN ? QFont(QStringLiteral("宋体"), 9) : QFont(QStringLiteral("Tahoma"), 9));
    WLS_Wait = t("正在生成预览，请稍候...", "Generating preview, please wait...");
    WLS_Fail = t("生成预览失败！", "An error occurred while generating preview!");
    WLS_CancelPrint = t("文档预览状态锁定打印，关闭此预览窗口后再打印！", "forbid  print!");
    WLS_Hint = t("提示", "hint");
    WLS_Downloading = t("正在获取数据，请稍候...", "Downloading Data, please wait...");
    WLS_VirtualPrinter = t("本机存在虚拟打印机，系统禁止打印此文档！",
                           "Print function is forbidden because there is virtual printer in the local computer.");
    WLS_PrintToFile = t("不能打印到文件，请选择一台打印机。", "Printing to a file is not allowed: choose a printer.");
    FChoosePrinter = [this](QPrinter &printer) {
        if (!FSelectPrinter)
            return true;
        QPrintDialog dialog(&printer, this);
        // No "print to file": that is a copy of the document by another name.
        dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
        return dialog.exec() == QDialog::Accepted;
    };
    FVirtualPrinterExists = [] { return PrinterProbe::ExistsVirtualPrinter(PrinterProbe::Printers()); };
}

bool TPreviewBaseFrm::PrinterAcceptable(const QPrinter &printer)
{
    if (printer.outputFormat() == QPrinter::NativeFormat && printer.outputFileName().isEmpty() && printer.isValid())
        return true;
    hint(WLS_PrintToFile, 1);
    return false;
}

void TPreviewBaseFrm::PrintGuarded(QAction *action, std::function<bool()> job)
{
    auto go = [this, job] {
        if (job())
            Print(FCode);
    };
    if (!(FDocReadonly && FIsCheckVirtualPrint)) {
        go();
        return;
    }
    QPointer<QAction> button = action;
    if (button)
        button->setEnabled(false);
    RunOnPool(RequestPool(), this, FVirtualPrinterExists, [this, go, button](bool exists) {
        if (button)
            button->setEnabled(true);
        if (exists) {
            hint(WLS_VirtualPrinter, 1);
            return;
        }
        go();
    });
}

std::shared_ptr<TBusyState> TPreviewBaseFrm::beginBusy(const QString &text)
{
    if (m_busyState)
        m_busyState->Cancel = true;
    m_busyState = std::make_shared<TBusyState>();
    if (!m_busy) {
        m_busy = new QWidget(this);
        m_busy->setObjectName(QStringLiteral("busyStrip"));
        m_busy->setAutoFillBackground(true);
        auto *row = new QHBoxLayout(m_busy);
        row->setContentsMargins(6, 3, 6, 3);
        m_busyText = new QLabel(m_busy);
        m_busyBar = new QProgressBar(m_busy);
        m_busyBar->setRange(0, 100);
        m_busyCancel = new QPushButton(t("取消", "Cancel"), m_busy);
        m_busyCancel->setObjectName(QStringLiteral("btnBusyCancel"));
        row->addWidget(m_busyText);
        row->addWidget(m_busyBar, 1);
        row->addWidget(m_busyCancel);
        connect(m_busyCancel, &QPushButton::clicked, this, [this] {
            if (m_busyState)
                m_busyState->Cancel = true;
        });
        m_busyTimer = new QTimer(this);
        m_busyTimer->setInterval(100);
        connect(m_busyTimer, &QTimer::timeout, this, [this] {
            if (m_busyState)
                m_busyBar->setValue(m_busyState->Percent.load());
        });
    }
    m_busyText->setText(text);
    m_busyBar->setValue(0);
    m_busy->resize(width(), m_busy->sizeHint().height());
    m_busy->move(0, height() - m_busy->height());
    m_busy->show();
    m_busy->raise();
    m_busyTimer->start();
    return m_busyState;
}

void TPreviewBaseFrm::endBusy(const std::shared_ptr<TBusyState> &state)
{
    if (state && state != m_busyState)
        return;
    m_busyState.reset();
    if (m_busy) {
        m_busyTimer->stop();
        m_busy->hide();
    }
}

void TPreviewBaseFrm::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_busy) {
        m_busy->resize(width(), m_busy->sizeHint().height());
        m_busy->move(0, height() - m_busy->height());
    }
}

TPreviewBaseFrm::~TPreviewBaseFrm()
{
    // A job still running stops: nobody will see its result.
    if (m_busyState)
        m_busyState->Cancel = true;
    m_alive->store(false);
    dropLocalCopy();
}

QString TPreviewBaseFrm::t(const char *cn, const char *en) const
{
    return FHS_Language == HSL_CN ? QString::fromUtf8(cn) : QString::fromUtf8(en);
}

void TPreviewBaseFrm::ApplyOptions(const TPreviewOptions &o)
{
    FHashPs = o.FHashPs;
    FDocReadonly = o.FDocReadonly;
    FCanPrint = o.FCanPrint;
    FSelectPrinter = o.FSelectPrinter;
    FIsCheckVirtualPrint = o.FIsCheckVirtualPrint;
    FCanCopy = o.FCanCopy;
}

void TPreviewBaseFrm::SetHint(TPreViewHint *hint)
{
    PreViewHintFrm = hint;
}

void TPreviewBaseFrm::hint(const QString &text, int picture)
{
    if (PreViewHintFrm)
        PreViewHintFrm->ShowHint(text, picture);
}

void TPreviewBaseFrm::hideHint()
{
    if (PreViewHintFrm)
        PreViewHintFrm->hide();
}

void TPreviewBaseFrm::dropLocalCopy()
{
    if (!FLocalFileName.isEmpty() && QFile::exists(FLocalFileName))
        QFile::remove(FLocalFileName);
}

void TPreviewBaseFrm::guard(QWidget *view)
{
    if (!FGuard)
        FGuard = new TViewerGuard(this);
    FGuard->FCtrlC = FCanCopy;
    FGuard->Watch(view);
}

void TPreviewBaseFrm::closeEvent(QCloseEvent *event)
{
    CloseOleObject();
    QWidget::closeEvent(event);
}

QString TPreviewBaseFrm::StampedName(const QString &root, quint32 code)
{
    const QDateTime now = QDateTime::currentDateTime();
    // YYMMDDHHMMSS, then the milliseconds without leading zeros, then "Z".
    const QString stamp = now.toString(QStringLiteral("yyMMddHHmmss")) + QString::number(now.time().msec()) + u'Z';
    const QString ext = ExtCodeText(code);
    return QDir(root).filePath(ext.isEmpty() ? stamp : stamp + u'.' + ext);
}

QString TPreviewBaseFrm::DownloadTags(qint64 version) const
{
    // A token set by hand is held to the same rule as one from the option text.
    const QString token = IsSafeHashPs(FHashPs) ? FHashPs : QString();
    QString tags = QStringLiteral("[HashPs]") + token + QStringLiteral("[/HashPs][IsPreView]True[/IsPreView][IsReplace]True[/IsReplace]");
    if (version >= 0)
        tags += QStringLiteral("[Versionid]") + QString::number(version) + QStringLiteral("[/Versionid]");
    return tags;
}

void TPreviewBaseFrm::ShowHTML(quint32 code, qint64 version, qint64 key)
{
    FFileId = key;
    FVersion = version;
    FCode = code;
    QTimer::singleShot(100, this, [this, code, version, key] {
        if (CanPreview())
            PreviewEx(code, version, key);
    });
}

void TPreviewBaseFrm::PreviewEx(quint32 code, qint64 version, qint64 key)
{
    FFileId = key;
    FVersion = version;
    FCode = code;
    QDir().mkpath(FRoot);
    FLocalFileName = StampedName(FRoot, code);
    hint(WLS_Downloading, 0);
    struct Outcome {
        quint8 status = 0;
        QString error;
    };
    const TServerConn conn = FConn;
    const QString local = FLocalFileName;
    const QString tags = DownloadTags(version);
    const std::shared_ptr<std::atomic<bool>> alive = m_alive;
    RunOnPool(TransferPool(), this, [conn, local, tags, key, alive] {
        Outcome o;
        auto client = conn.MakeClient(120000);
        o.status = client->DownloadFile(local, tags, key);
        if (o.status != fc::Download)
            o.error = client->GetLastError();
        // The window closed meanwhile: nobody will open or remove this copy.
        // (A window closing after this test removes it itself.)
        if (!alive->load())
            QFile::remove(local);
        return o;
    }, [this, code, local](const Outcome &o) {
        if (o.status != fc::Download) {
            QFile::remove(local);
            hint(o.error.isEmpty() ? WLS_Fail : o.error, 1);
            if (FOnDownloaded)
                FOnDownloaded(false);
            Q_EMIT shown(false);
            return;
        }
        if (FOnDownloaded)
            FOnDownloaded(true);
        OpenLocalCopy(code, local);
    });
}

void TPreviewBaseFrm::OpenLocalCopy(quint32, const QString &)
{
    hideHint();
    Q_EMIT shown(true);
}

void TPreviewBaseFrm::Print(quint32)
{
    const TServerConn conn = FConn;
    const QString text = QStringLiteral("[EncryptCode]") + conn.EncryptId + QStringLiteral("[/EncryptCode][Filekey]")
                         + QString::number(FFileId) + QStringLiteral("[/Filekey][Opr]62[/Opr]");
    RunOnPool(RequestPool(), this, [conn, text] {
        QString reply;
        conn.MakeClient()->ApiPostText(rq::PreviewLog, text, reply);
    }, [] {});
}

void TPreviewBaseFrm::PrintPreview()
{
    const TServerConn conn = FConn;
    const QString text = QStringLiteral("[EncryptCode]") + conn.EncryptId + QStringLiteral("[/EncryptCode][Filekey]")
                         + QString::number(FFileId) + QStringLiteral("[/Filekey][Opr]63[/Opr]");
    RunOnPool(RequestPool(), this, [conn, text] {
        QString reply;
        conn.MakeClient()->ApiPostText(rq::PreviewLog, text, reply);
    }, [] {});
}

QIcon PrintActionIcon()
{
    return SharedIcon(QStringLiteral("preview/print"), [] {
        const QIcon themed = QIcon::fromTheme(QStringLiteral("document-print"));
        if (!themed.isNull())
            return themed;
        QPixmap pm(32, 32);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(60, 60, 60), 2));
        p.setBrush(Qt::white);
        p.drawRect(9, 3, 14, 10);                 // paper going in
        p.setBrush(QColor(120, 130, 140));
        p.drawRoundedRect(3, 12, 26, 12, 3, 3);   // the printer's body
        p.setBrush(Qt::white);
        p.drawRect(9, 20, 14, 9);                 // the printed page
        p.drawLine(12, 24, 20, 24);
        p.end();
        return QIcon(pm);
    });
}
