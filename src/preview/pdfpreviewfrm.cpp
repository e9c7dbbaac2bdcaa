#include "preview/pdfpreviewfrm.h"

#include "core/workpools.h"
#include "preview/logging.h"
#include "preview/officeconverter.h"
#include "preview/printerprobe.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPdfDocument>
#include <QPdfDocumentRenderOptions>
#include <QPdfPageNavigator>
#include <QPdfPageRenderer>
#include <QPdfSearchModel>
#include <QPdfView>
#include <QPrintDialog>
#include <QPrinter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QStyle>
#include <QTemporaryDir>
#include <QToolBar>
#include <QVBoxLayout>

#include <cmath>
#include <utility>

TPdfPreviewFrm::TPdfPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent)
    : TPreviewBaseFrm(conn, root, parent)
{
    setObjectName(QStringLiteral("TPdfPreviewFrm"));
    m_doc = new QPdfDocument(this);
    m_search = new QPdfSearchModel(this);
    m_search->setDocument(m_doc);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_tools = new QToolBar(this);
    layout->addWidget(m_tools);
    m_view = new QPdfView(this);
    m_view->setObjectName(QStringLiteral("pageView"));
    m_view->setDocument(m_doc);
    m_view->setPageMode(QPdfView::PageMode::MultiPage);
    m_view->setZoomMode(QPdfView::ZoomMode::FitToWidth);
    // A scroll bar that comes and goes would change the width and draw every page again.
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_view->viewport()->installEventFilter(this);
    layout->addWidget(m_view, 1);
    m_turnedArea = new QScrollArea(this);
    m_turnedArea->setObjectName(QStringLiteral("turnedView"));
    m_turnedArea->setAlignment(Qt::AlignCenter);
    m_turnedArea->setBackgroundRole(QPalette::Dark);
    m_turnedArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_turnedPage = new QLabel;
    m_turnedArea->setWidget(m_turnedPage);
    m_turnedArea->viewport()->installEventFilter(this);
    m_turnedArea->hide();
    layout->addWidget(m_turnedArea, 1);
    connect(m_view->pageNavigator(), &QPdfPageNavigator::currentPageChanged, this, [this] { updatePageBox(); });
    connect(m_doc, &QPdfDocument::pageCountChanged, this, [this] { updatePageBox(); });
    FPrintJob = [](TPdfPreviewFrm *w) {
        QPrinter printer(QPrinter::HighResolution);
        if (w->FSelectPrinter) {
            QPrintDialog dialog(&printer, w);
            // No "print to file": that is a copy of the document by another name.
            dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
            if (dialog.exec() != QDialog::Accepted)
                return false;
        }
        if (printer.outputFormat() != QPrinter::NativeFormat || !printer.isValid())
            return false;
        return w->printTo(printer);
    };
    FVirtualPrinterExists = [] { return PrinterProbe::ExistsVirtualPrinter(PrinterProbe::Printers()); };
}

TPdfPreviewFrm::~TPdfPreviewFrm()
{
    // The document announces its closing while the window is half gone.
    m_doc->disconnect(this);
    m_view->pageNavigator()->disconnect(this);
}

void TPdfPreviewFrm::showEvent(QShowEvent *event)
{
    // Built when shown, so the permissions set after creation decide what is there.
    if (!m_toolsBuilt)
        buildTools();
    TPreviewBaseFrm::showEvent(event);
}

void TPdfPreviewFrm::buildTools()
{
    m_toolsBuilt = true;
    m_tools->clear();
    QStyle *s = style();
    if (FCanPrint) {
        m_print = m_tools->addAction(s->standardIcon(QStyle::SP_DialogSaveButton), t("打印", "Print"), this,
                                     &TPdfPreviewFrm::PrintDocument);
        m_print->setObjectName(QStringLiteral("actPrint"));
    }
    const QIcon turnRight = s->standardIcon(QStyle::SP_BrowserReload);
    const QIcon turnLeft(turnRight.pixmap(32).transformed(QTransform().scale(-1, 1)));
    m_tools->addAction(turnLeft, t("左转", "Rotate left"), this, [this] { Rotate(-1); });
    m_tools->addAction(turnRight, t("右转", "Rotate right"), this, [this] { Rotate(1); });
    m_tools->addAction(t("适合宽度", "Fit width"), this, [this] { setZoomMode(int(QPdfView::ZoomMode::FitToWidth)); });
    m_tools->addAction(t("适合高度", "Fit height"), this, [this] { setZoomMode(int(QPdfView::ZoomMode::FitInView)); });
    m_tools->addSeparator();
    m_tools->addAction(s->standardIcon(QStyle::SP_MediaSkipBackward), t("第一页", "First page"), this,
                       [this] { GoToPage(0); });
    m_tools->addAction(s->standardIcon(QStyle::SP_ArrowLeft), t("上一页", "Previous page"), this,
                       [this] { GoToPage(CurrentPage() - 1); });
    m_tools->addAction(s->standardIcon(QStyle::SP_ArrowRight), t("下一页", "Next page"), this,
                       [this] { GoToPage(CurrentPage() + 1); });
    m_tools->addWidget(new QLabel(t(" 第 ", " Page "), m_tools));
    m_pageBox = new QLineEdit(m_tools);
    m_pageBox->setObjectName(QStringLiteral("edPage"));
    m_pageBox->setFixedWidth(48);
    m_pageBox->setValidator(new QIntValidator(1, 1000000, m_pageBox));
    connect(m_pageBox, &QLineEdit::returnPressed, this, [this] {
        const int page = m_pageBox->text().toInt();
        if (page > 0)
            GoToPage(page - 1);
    });
    m_tools->addWidget(m_pageBox);
    m_pageCount = new QLabel(m_tools);
    m_tools->addWidget(m_pageCount);
    m_tools->addSeparator();
    m_tools->addAction(s->standardIcon(QStyle::SP_ArrowDown), t("缩小", "Zoom out"), this,
                       [this] { m_zoom->setValue(qMax(0, m_zoom->value() - 10)); });
    m_zoom = new QSlider(Qt::Horizontal, m_tools);
    m_zoom->setObjectName(QStringLiteral("tbZoom"));
    m_zoom->setRange(0, 100);
    m_zoom->setValue(50);
    m_zoom->setFixedWidth(90);
    connect(m_zoom, &QSlider::valueChanged, this, &TPdfPreviewFrm::ZoomTo);
    m_tools->addWidget(m_zoom);
    m_tools->addAction(s->standardIcon(QStyle::SP_ArrowUp), t("放大", "Zoom in"), this,
                       [this] { m_zoom->setValue(qMin(100, m_zoom->value() + 10)); });
    m_tools->addSeparator();
    m_find = new QLineEdit(m_tools);
    m_find->setObjectName(QStringLiteral("edFind"));
    m_find->setPlaceholderText(t("查找", "Find"));
    m_find->setFixedWidth(100);
    connect(m_find, &QLineEdit::returnPressed, this, [this] { FindNext(m_find->text()); });
    m_tools->addWidget(m_find);
    updatePageBox();
}

void TPdfPreviewFrm::updatePageBox()
{
    if (!m_pageBox)
        return;
    m_pageBox->setText(m_doc->pageCount() > 0 ? QString::number(CurrentPage() + 1) : QString());
    m_pageCount->setText(t(" 页 / %1 ", " / %1 ").arg(m_doc->pageCount()));
}

int TPdfPreviewFrm::CurrentPage() const
{
    return m_turns ? m_turnedIndex : m_view->pageNavigator()->currentPage();
}

int TPdfPreviewFrm::PageCount() const
{
    return m_doc->pageCount();
}

void TPdfPreviewFrm::GoToPage(int page)
{
    if (page < 0 || page >= m_doc->pageCount())
        return;
    if (m_turns) {
        m_turnedIndex = page;
        drawTurnedPage();
        updatePageBox();
        return;
    }
    m_view->pageNavigator()->jump(page, {}, m_view->pageNavigator()->currentZoom());
    updatePageBox();
}

void TPdfPreviewFrm::ZoomTo(int position)
{
    // Small moves of the bar are not worth a new rendering.
    if (qAbs(position - m_lastZoom) <= 8)
        return;
    m_lastZoom = position;
    m_view->setZoomMode(QPdfView::ZoomMode::Custom);
    m_view->setZoomFactor((position + 80) / 100.0);
    if (m_turns)
        drawTurnedPage();
}

void TPdfPreviewFrm::setZoomMode(int mode)
{
    m_view->setZoomMode(QPdfView::ZoomMode(mode));
    if (m_turns)
        drawTurnedPage();
}

void TPdfPreviewFrm::Rotate(int quarterTurns)
{
    if (m_doc->pageCount() <= 0)
        return;
    const int page = CurrentPage();
    m_turns = ((m_turns + quarterTurns) % 4 + 4) % 4;
    m_turnedIndex = page;
    m_view->setVisible(m_turns == 0);
    m_turnedArea->setVisible(m_turns != 0);
    if (m_turns) {
        // The fitted sizes need the area's real size now, not at the next layout pass.
        layout()->activate();
        drawTurnedPage();
    } else {
        m_turnedPage->clear();
        GoToPage(page);
    }
    updatePageBox();
}

void TPdfPreviewFrm::drawTurnedPage()
{
    QSizeF size = m_doc->pagePointSize(m_turnedIndex);
    if (size.isEmpty())
        return;
    if (m_turns % 2)
        size.transpose();
    size *= QGuiApplication::primaryScreen()->logicalDotsPerInch() / 72.0;
    const QSize room = m_turnedArea->viewport()->size();
    switch (m_view->zoomMode()) {
    case QPdfView::ZoomMode::FitToWidth: size *= qreal(room.width()) / size.width(); break;
    case QPdfView::ZoomMode::FitInView: size = size.scaled(QSizeF(room), Qt::KeepAspectRatio); break;
    case QPdfView::ZoomMode::Custom: size *= m_view->zoomFactor(); break;
    }
    // A poster-sized page at a high zoom would need gigabytes as one picture.
    constexpr qreal kMaxPixels = 64.0 * 1024 * 1024;
    const qreal ratio = devicePixelRatioF();
    const qreal pixels = size.width() * size.height() * ratio * ratio;
    if (pixels > kMaxPixels)
        size *= std::sqrt(kMaxPixels / pixels);
    if (size.toSize().isEmpty())
        return;
    static constexpr QPdfDocumentRenderOptions::Rotation kTurns[] = {
        QPdfDocumentRenderOptions::Rotation::None, QPdfDocumentRenderOptions::Rotation::Clockwise90,
        QPdfDocumentRenderOptions::Rotation::Clockwise180, QPdfDocumentRenderOptions::Rotation::Clockwise270};
    QPdfDocumentRenderOptions options;
    options.setRotation(kTurns[m_turns]);
    const QImage drawn = m_doc->render(m_turnedIndex, (size * ratio).toSize(), options);
    // Drawn on clear ground: the page itself is white.
    QImage image(drawn.size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter(&image).drawImage(0, 0, drawn);
    image.setDevicePixelRatio(ratio);
    m_turnedPage->setPixmap(QPixmap::fromImage(image));
    m_turnedPage->resize(size.toSize());
}

bool TPdfPreviewFrm::FindNext(const QString &text)
{
    if (text.isEmpty() || m_doc->pageCount() == 0)
        return false;
    if (m_search->searchString() != text) {
        m_search->setSearchString(text);
        m_searchFrom = CurrentPage();
    }
    // The model fills in the background: look page by page from where we are.
    const int pages = m_doc->pageCount();
    for (int i = 0; i < pages; ++i) {
        const int page = (m_searchFrom + i) % pages;
        const QList<QPdfLink> hits = m_search->resultsOnPage(page);
        if (!hits.isEmpty()) {
            if (m_turns)
                GoToPage(page);
            else
                m_view->pageNavigator()->jump(hits.first());
            m_searchFrom = (page + 1) % pages;
            updatePageBox();
            return true;
        }
    }
    return false;
}

bool TPdfPreviewFrm::eventFilter(QObject *watched, QEvent *event)
{
    // Page 1 is on screen: now lay out the others behind it.
    if (!m_firstPage.isNull() && event->type() == QEvent::Paint && watched == m_view->viewport())
        QMetaObject::invokeMethod(this, &TPdfPreviewFrm::showAllPages, Qt::QueuedConnection);
    // A fitted turned page follows the window's size.
    if (m_turns && event->type() == QEvent::Resize && watched == m_turnedArea->viewport()
        && m_view->zoomMode() != QPdfView::ZoomMode::Custom)
        QMetaObject::invokeMethod(this, &TPdfPreviewFrm::drawTurnedPage, Qt::QueuedConnection);
    return TPreviewBaseFrm::eventFilter(watched, event);
}

// The view lays out every page before it draws one and renders on its own
// thread, which makes opening a long document slow. On opening, the view shows
// only page 1, drawn here and handed to the view as if its renderer had made it;
// the full layout follows once that page is on screen.
QSize TPdfPreviewFrm::firstPageSize() const
{
    const QSizeF points = m_doc->pagePointSize(0);
    if (points.isEmpty() || m_view->zoomMode() != QPdfView::ZoomMode::FitToWidth)
        return {};
    // The view's own sizing for a page fitted to the width.
    const QMargins margins = m_view->documentMargins();
    QSize size = (points * (QGuiApplication::primaryScreen()->logicalDotsPerInch() / 72.0)).toSize();
    size *= qreal(m_view->viewport()->width() - margins.left() - margins.right()) / size.width();
    return size * m_view->devicePixelRatioF();
}

void TPdfPreviewFrm::handFirstPage()
{
    auto *renderer = m_view->findChild<QPdfPageRenderer *>();
    if (renderer && !m_firstPage.isNull() && m_firstPage.size() == firstPageSize())
        Q_EMIT renderer->pageRendered(0, m_firstPage.size(), m_firstPage, {}, 0);
}

void TPdfPreviewFrm::showAllPages()
{
    if (m_firstPage.isNull())
        return;
    const int current = CurrentPage();
    m_view->setPageMode(QPdfView::PageMode::MultiPage);
    // The new layout forgot the drawn page; hand it over again unless the size has changed.
    handFirstPage();
    m_firstPage = QImage();
    if (current > 0) {
        // Moved on before the first paint: the view scrolls only on a change of page.
        GoToPage(0);
        GoToPage(current);
    }
}

bool TPdfPreviewFrm::LoadPdf(const QString &pdf)
{
    m_firstPage = QImage();
    m_turns = 0;
    m_turnedPage->clear();
    m_turnedArea->hide();
    m_view->show();
    const bool quickStart = m_view->isVisible() && m_view->zoomMode() == QPdfView::ZoomMode::FitToWidth
                            && m_view->findChild<QPdfPageRenderer *>();
    m_view->setPageMode(quickStart ? QPdfView::PageMode::SinglePage : QPdfView::PageMode::MultiPage);
    if (m_doc->load(pdf) != QPdfDocument::Error::None || m_doc->pageCount() <= 0) {
        m_view->setPageMode(QPdfView::PageMode::MultiPage);
        hint(WLS_Fail, 1);
        Q_EMIT shown(false);
        return false;
    }
    GoToPage(0);
    if (quickStart) {
        const QSize size = firstPageSize();
        if (!size.isEmpty())
            m_firstPage = m_doc->render(0, size);
        handFirstPage();
    }
    if (m_firstPage.isNull())
        m_view->setPageMode(QPdfView::PageMode::MultiPage);
    if (FDocReadonly) {
        guard(m_view);
        guard(m_turnedArea);
    }
    hideHint();
    Q_EMIT shown(true);
    return true;
}

void TPdfPreviewFrm::OpenLocalCopy(quint32, const QString &localFile)
{
    LoadPdf(localFile);
    // The document reads from its open file; the name on disk is not needed.
    dropLocalCopy();
}

void TPdfPreviewFrm::PrintDocument()
{
    if (!FCanPrint || m_doc->pageCount() == 0)
        return;
    auto go = [this] {
        if (FPrintJob && FPrintJob(this))
            Print(FCode);
    };
    if (!(FDocReadonly && FIsCheckVirtualPrint)) {
        go();
        return;
    }
    if (m_print)
        m_print->setEnabled(false);
    RunOnPool(RequestPool(), this, FVirtualPrinterExists, [this, go](bool exists) {
        if (m_print)
            m_print->setEnabled(true);
        if (exists) {
            hint(WLS_VirtualPrinter, 1);
            return;
        }
        go();
    });
}

bool TPdfPreviewFrm::printTo(QPrinter &printer)
{
    QPainter painter;
    if (!painter.begin(&printer))
        return false;
    const int from = printer.fromPage() > 0 ? printer.fromPage() - 1 : 0;
    const int to = printer.toPage() > 0 ? qMin(printer.toPage(), m_doc->pageCount()) - 1 : m_doc->pageCount() - 1;
    for (int page = from; page <= to; ++page) {
        if (page > from)
            printer.newPage();
        const QRect area = painter.viewport();
        const QSizeF points = m_doc->pagePointSize(page);
        QSize size = points.scaled(area.size(), Qt::KeepAspectRatio).toSize();
        const QImage image = m_doc->render(page, size);
        painter.drawImage(QRect(area.topLeft(), size), image);
    }
    return painter.end();
}

TOfficeFilePreviewFrm::TOfficeFilePreviewFrm(const TServerConn &conn, const QString &root, const QString &cacheFolder,
                                             QWidget *parent)
    : TPdfPreviewFrm(conn, root, parent)
    , m_cacheFolder(cacheFolder)
{
    setObjectName(QStringLiteral("TOfficeFilePreviewFrm"));
}

TOfficeFilePreviewFrm::~TOfficeFilePreviewFrm()
{
    m_cancel->store(true);
}

void TOfficeFilePreviewFrm::OpenLocalCopy(quint32, const QString &localFile)
{
    hint(WLS_Wait, 0);
    struct Outcome {
        TConversionResult r;
        bool cached = false;
    };
    const QString soffice = FSoffice.isEmpty() ? TOfficeConverter::FindSoffice() : FSoffice;
    const QString cacheFolder = m_cacheFolder;
    const QString work = FRoot;
    const qint64 key = FFileId;
    const int timeout = FTimeoutMs;
    const std::shared_ptr<std::atomic<bool>> cancel = m_cancel;
    RunOnPool(TransferPool(), this, [=] {
        Outcome o;
        const TConversionCache cache(cacheFolder);
        const QString hit = cache.Lookup(key, localFile);
        if (!hit.isEmpty()) {
            o.r.Ok = true;
            o.r.OutputPath = hit;
            o.cached = true;
        } else {
            TOfficeConverter c(soffice);
            c.TimeoutMs = timeout;
            QTemporaryDir out(QDir(work).filePath(QStringLiteral("lo-out-XXXXXX")));
            o.r = c.Convert(localFile, out.path(), work, QStringLiteral("pdf"), cancel.get());
            if (o.r.Ok) {
                const QString converted = o.r.OutputPath;
                o.r.OutputPath = cache.Store(key, localFile, converted);
                if (o.r.OutputPath == converted)
                    out.setAutoRemove(false);   // not kept in the cache: it must outlive this block
            }
        }
        QFile::remove(localFile);
        return o;
    }, [this](const Outcome &o) {
        if (!o.r.Ok) {
            hint(WLS_Fail + QStringLiteral("\r\n") + o.r.Error, 1);
            Q_EMIT shown(false);
            return;
        }
        m_fromCache = o.cached;
        LoadPdf(o.r.OutputPath);
    });
}
