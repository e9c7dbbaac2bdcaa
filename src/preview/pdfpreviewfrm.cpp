#include "preview/pdfpreviewfrm.h"

#include "core/workpools.h"
#include "platform/styleicons.h"
#include "preview/logging.h"
#include "preview/officeconverter.h"
#include "preview/printerprobe.h"

#include <QAction>
#include <QBuffer>
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
    // Runs after the view's own handler, which has put the page in its cache.
    if (auto *renderer = m_view->findChild<QPdfPageRenderer *>())
        connect(renderer, &QPdfPageRenderer::pageRendered, this,
                [this](int, QSize, const QImage &image, QPdfDocumentRenderOptions, quint64 requestId) {
                    if (m_firstRequest == 0 || requestId != m_firstRequest)
                        return;
                    m_firstRequest = 0;
                    m_firstPage = image;
                    if (image.isNull())   // drawn by the view with the others, if at all
                        m_view->setPageMode(QPdfView::PageMode::MultiPage);
                    m_view->viewport()->setUpdatesEnabled(true);
                    m_view->viewport()->update();
                });
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
    // Chooses the printer here, prints on a worker; the print is reported when
    // the worker is done, so the job itself answers false.
    FPrintJob = [](TPdfPreviewFrm *w) {
        auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        if (!w->FChoosePrinter(*printer) || !w->PrinterAcceptable(*printer))
            return false;
        w->printAsync(std::move(printer));
        return false;
    };
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
    if (FCanPrint) {
        m_print = m_tools->addAction(PrintActionIcon(), t("打印", "Print"), this,
                                     &TPdfPreviewFrm::PrintDocument);
        m_print->setObjectName(QStringLiteral("actPrint"));
    }
    const QIcon turnRight = StyleIcon(QStyle::SP_BrowserReload);
    const QIcon turnLeft = SharedIcon(QStringLiteral("preview/turn-left"), [turnRight] {
        return QIcon(turnRight.pixmap(32).transformed(QTransform().scale(-1, 1)));
    });
    m_tools->addAction(turnLeft, t("左转", "Rotate left"), this, [this] { Rotate(-1); });
    m_tools->addAction(turnRight, t("右转", "Rotate right"), this, [this] { Rotate(1); });
    m_tools->addAction(t("适合宽度", "Fit width"), this, [this] { setZoomMode(int(QPdfView::ZoomMode::FitToWidth)); });
    m_tools->addAction(t("适合高度", "Fit height"), this, [this] { setZoomMode(int(QPdfView::ZoomMode::FitInView)); });
    m_tools->addSeparator();
    m_tools->addAction(StyleIcon(QStyle::SP_MediaSkipBackward), t("第一页", "First page"), this,
                       [this] { GoToPage(0); });
    m_tools->addAction(StyleIcon(QStyle::SP_ArrowLeft), t("上一页", "Previous page"), this,
                       [this] { GoToPage(CurrentPage() - 1); });
    m_tools->addAction(StyleIcon(QStyle::SP_ArrowRight), t("下一页", "Next page"), this,
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
    m_tools->addAction(StyleIcon(QStyle::SP_ArrowDown), t("缩小", "Zoom out"), this,
                       [this] { m_zoom->setValue(qMax(0, m_zoom->value() - 10)); });
    m_zoom = new QSlider(Qt::Horizontal, m_tools);
    m_zoom->setObjectName(QStringLiteral("tbZoom"));
    m_zoom->setRange(0, 100);
    m_zoom->setValue(50);
    m_zoom->setFixedWidth(90);
    connect(m_zoom, &QSlider::valueChanged, this, &TPdfPreviewFrm::ZoomTo);
    m_tools->addWidget(m_zoom);
    m_tools->addAction(StyleIcon(QStyle::SP_ArrowUp), t("放大", "Zoom in"), this,
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
    // A large page takes long to draw: on a worker, and only the latest asked for is shown.
    const quint64 generation = ++m_turnGeneration;
    const QByteArray pdf = m_pdf;
    const int page = m_turnedIndex;
    const QSize drawSize = (size * ratio).toSize();
    RunOnPool(RequestPool(), this, [pdf, page, drawSize, options, ratio] {
        QBuffer buffer;
        buffer.setData(pdf);
        buffer.open(QIODevice::ReadOnly);
        QPdfDocument doc;
        doc.load(&buffer);
        const QImage drawn = doc.render(page, drawSize, options);
        if (drawn.isNull())
            return QImage();
        // Drawn on clear ground: the page itself is white.
        QImage image(drawn.size(), QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter(&image).drawImage(0, 0, drawn);
        image.setDevicePixelRatio(ratio);
        return image;
    }, [this, generation, size](const QImage &image) {
        if (generation != m_turnGeneration || !m_turns)
            return;
        if (image.isNull()) {
            hint(WLS_Fail, 1);
            return;
        }
        m_turnedPage->setPixmap(QPixmap::fromImage(image));
        m_turnedPage->resize(size.toSize());
        Q_EMIT turnedPageDrawn();
    });
}

void TPdfPreviewFrm::FindNext(const QString &text)
{
    const int pages = m_doc->pageCount();
    if (text.isEmpty() || pages == 0) {
        Q_EMIT searchDone(false);
        return;
    }
    if (m_searchText != text) {
        m_searchText = text;
        m_searchFrom = CurrentPage();
    }
    const std::shared_ptr<TBusyState> state = beginBusy(t("正在查找...", "Searching..."));
    const QByteArray pdf = m_pdf;
    const int from = m_searchFrom;
    RunOnPool(RequestPool(), this, [pdf, text, from, pages, state] {
        QBuffer buffer;
        buffer.setData(pdf);
        buffer.open(QIODevice::ReadOnly);
        QPdfDocument doc;
        doc.load(&buffer);
        for (int i = 0; i < pages && !state->Cancel; ++i) {
            const int page = (from + i) % pages;
            if (doc.getAllText(page).text().contains(text, Qt::CaseInsensitive))
                return page;
            state->Percent = 100 * (i + 1) / pages;
        }
        return -1;
    }, [this, state, text, pages](int page) {
        endBusy(state);
        if (state->Cancel) {
            Q_EMIT searchDone(false);
            return;
        }
        if (page < 0) {
            Q_EMIT searchDone(false);
            return;
        }
        // The model finds the place on that one page.
        if (m_search->searchString() != text)
            m_search->setSearchString(text);
        const QList<QPdfLink> hits = m_turns ? QList<QPdfLink>() : m_search->resultsOnPage(page);
        if (hits.isEmpty())
            GoToPage(page);
        else
            m_view->pageNavigator()->jump(hits.first());
        m_searchFrom = (page + 1) % pages;
        updatePageBox();
        Q_EMIT searchDone(true);
    });
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

// The view lays out every page before it draws one, which makes opening a long
// document slow. On opening, the view shows only page 1, asked of its renderer
// at once so that the page is drawn on the renderer's thread while this one
// paints the rest of the window; the full layout follows once that page is on
// screen, and the drawn page is handed to it as if the renderer had made it.
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
    // Held in memory: the file on disk can go at once (a restricted document
    // leaves no readable copy), and workers search and print from the bytes.
    QFile f(pdf);
    if (!f.open(QIODevice::ReadOnly)) {
        hint(WLS_Fail + QStringLiteral("\r\n") + f.errorString(), 1);
        Q_EMIT shown(false);
        return false;
    }
    return LoadPdfData(f.readAll());
}

bool TPdfPreviewFrm::LoadPdfData(const QByteArray &pdf)
{
    return loadWith([this, pdf] {
        m_pdf = pdf;
        auto *buffer = new QBuffer(this);
        buffer->setData(pdf);
        buffer->open(QIODevice::ReadOnly);
        m_doc->load(buffer);
        // The pages are read from the buffer as they are drawn: it lives as long as the document.
        delete std::exchange(m_buffer, buffer);
        return m_doc->status() == QPdfDocument::Status::Ready;
    });
}

bool TPdfPreviewFrm::loadWith(const std::function<bool()> &load)
{
    m_firstPage = QImage();
    m_firstRequest = 0;
    m_view->viewport()->setUpdatesEnabled(true);
    m_turns = 0;
    m_turnedPage->clear();
    m_turnedArea->hide();
    m_view->show();
    const bool quickStart = m_view->isVisible() && m_view->zoomMode() == QPdfView::ZoomMode::FitToWidth
                            && m_view->findChild<QPdfPageRenderer *>();
    m_view->setPageMode(quickStart ? QPdfView::PageMode::SinglePage : QPdfView::PageMode::MultiPage);
    if (!load() || m_doc->pageCount() <= 0) {
        m_view->setPageMode(QPdfView::PageMode::MultiPage);
        hint(WLS_Fail, 1);
        Q_EMIT shown(false);
        return false;
    }
    GoToPage(0);
    if (quickStart) {
        const QSize size = firstPageSize();
        if (!size.isEmpty())
            m_firstRequest = m_view->findChild<QPdfPageRenderer *>()->requestPage(0, size);
        // An empty page until it comes: the view would ask for it a second time.
        if (m_firstRequest != 0)
            m_view->viewport()->setUpdatesEnabled(false);
    }
    if (m_firstRequest == 0)
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
    // The document reads from memory or from its open file; the name on disk is not needed.
    dropLocalCopy();
}

void TPdfPreviewFrm::PrintDocument()
{
    if (!FCanPrint || m_doc->pageCount() == 0)
        return;
    PrintGuarded(m_print, [this] { return FPrintJob && FPrintJob(this); });
}

bool TPdfPreviewFrm::PrintPages(const QByteArray &pdf, QPrinter &printer, int from, int to, TBusyState *state,
                                QString *error)
{
    QBuffer buffer;
    buffer.setData(pdf);
    buffer.open(QIODevice::ReadOnly);
    QPdfDocument doc;
    doc.load(&buffer);
    QPainter painter;
    if (!painter.begin(&printer)) {
        *error = QStringLiteral("The printer %1 cannot be used").arg(printer.printerName());
        return false;
    }
    for (int page = from; page <= to; ++page) {
        if (state && state->Cancel) {
            printer.abort();
            painter.end();
            *error = QStringLiteral("Cancelled");
            return false;
        }
        if (page > from)
            printer.newPage();
        const QRect area = painter.viewport();
        const QSizeF points = doc.pagePointSize(page);
        const QSize size = points.scaled(area.size(), Qt::KeepAspectRatio).toSize();
        const QImage image = size.isEmpty() ? QImage() : doc.render(page, size);
        if (image.isNull()) {
            // A blank sheet in place of a page is no print.
            printer.abort();
            painter.end();
            *error = QStringLiteral("Page %1 could not be drawn").arg(page + 1);
            return false;
        }
        painter.drawImage(QRect(area.topLeft(), size), image);
        if (state && to > from)
            state->Percent = 100 * (page - from + 1) / (to - from + 1);
    }
    return painter.end();
}

void TPdfPreviewFrm::printAsync(std::unique_ptr<QPrinter> printer)
{
    const int pages = m_doc->pageCount();
    const int from = printer->fromPage() > 0 ? printer->fromPage() - 1 : 0;
    const int to = printer->toPage() > 0 ? qMin(printer->toPage(), pages) - 1 : pages - 1;
    const std::shared_ptr<TBusyState> state = beginBusy(t("正在打印...", "Printing..."));
    std::shared_ptr<QPrinter> shared(std::move(printer));
    const QByteArray pdf = m_pdf;
    if (m_print)
        m_print->setEnabled(false);
    struct Outcome {
        bool ok = false;
        QString error;
    };
    RunOnPool(TransferPool(), this, [pdf, shared, from, to, state] {
        Outcome o;
        o.ok = PrintPages(pdf, *shared, from, to, state.get(), &o.error);
        return o;
    }, [this, state](const Outcome &o) {
        if (m_print)
            m_print->setEnabled(true);
        endBusy(state);
        if (o.ok)
            Print(FCode);
        else
            hint(t("打印失败：", "The print failed: ") + o.error, 1);
        Q_EMIT printDone(o.ok);
    });
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
        QByteArray pdf;   // a converted copy not kept on disk
    };
    const QString soffice = FSoffice.isEmpty() ? TOfficeConverter::FindSoffice() : FSoffice;
    const QString cacheFolder = m_cacheFolder;
    const QString work = FRoot;
    const qint64 key = FFileId;
    const int timeout = FTimeoutMs;
    const bool sandbox = FSandbox;
    // A restricted document never leaves a readable PDF behind: not in the
    // cache, not in the work folder.
    const bool restricted = Restricted();
    const std::shared_ptr<std::atomic<bool>> cancel = m_cancel;
    RunOnPool(TransferPool(), this, [=] {
        Outcome o;
        const TConversionCache cache(cacheFolder);
        const QString hit = restricted ? QString() : cache.Lookup(key, localFile);
        if (restricted)
            cache.Remove(key, localFile);   // kept while the document was not restricted
        if (!hit.isEmpty()) {
            o.r.Ok = true;
            o.r.OutputPath = hit;
            o.cached = true;
        } else {
            TOfficeConverter c(soffice);
            c.TimeoutMs = timeout;
            c.Sandbox = sandbox;
            QTemporaryDir out(QDir(work).filePath(QStringLiteral("lo-out-XXXXXX")));
            o.r = c.Convert(localFile, out.path(), work, QStringLiteral("pdf"), cancel.get());
            if (o.r.Ok) {
                const QString converted = o.r.OutputPath;
                if (!restricted)
                    o.r.OutputPath = cache.Store(key, localFile, converted);
                if (restricted || o.r.OutputPath == converted) {
                    // Shown from memory; the folder goes with its PDF.
                    QFile f(converted);
                    if (f.open(QIODevice::ReadOnly))
                        o.pdf = f.readAll();
                    if (o.pdf.isEmpty()) {
                        o.r.Ok = false;
                        o.r.Error = f.errorString();
                    }
                    o.r.OutputPath.clear();
                }
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
        if (o.r.OutputPath.isEmpty())
            LoadPdfData(o.pdf);
        else
            LoadPdf(o.r.OutputPath);
    });
}
