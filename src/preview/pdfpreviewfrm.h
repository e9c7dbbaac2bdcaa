#pragma once
// The one viewer for everything shown as PDF: PDF and AI files, and office,
// rtf, Visio and CorelDRAW files once LibreOffice has converted them.
#include "preview/previewbasefrm.h"

#include <QImage>

#include <atomic>
#include <memory>

class QAction;
class QBuffer;
class QLabel;
class QLineEdit;
class QPdfDocument;
class QPdfSearchModel;
class QPdfView;
class QPrinter;
class QScrollArea;
class QSlider;
class QToolBar;

class TPdfPreviewFrm : public TPreviewBaseFrm
{
    Q_OBJECT
public:
    TPdfPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent = nullptr);
    ~TPdfPreviewFrm() override;

    bool CanPreview() override { return true; }
    void OpenLocalCopy(quint32 code, const QString &localFile) override;
    // Shows a PDF that is already here (no download); false when it cannot be read.
    // A restricted document is read into memory and shown from there.
    bool LoadPdf(const QString &pdf);
    // Shows a PDF held in memory.
    bool LoadPdfData(const QByteArray &pdf);
    // Whether the document on screen is read from memory rather than from a file.
    bool InMemory() const { return m_buffer != nullptr; }

    // Puts pages from..to (from 0) of pdf on printer; false with *error when a
    // page cannot be drawn (no blank sheet stands in for it) or the job stops.
    // Blocking: runs on a worker.
    static bool PrintPages(const QByteArray &pdf, QPrinter &printer, int from, int to, TBusyState *state,
                           QString *error);

Q_SIGNALS:
    void searchDone(bool found);
    // A turned page is on screen.
    void turnedPageDrawn();
    // A print job on the printer ended.
    void printDone(bool ok);

public:

    int CurrentPage() const;   // from 0
    int PageCount() const;
    void GoToPage(int page);
    void ZoomTo(int position); // the zoom bar's position, 0..100
    // Quarter turns clockwise, negative ones the other way. The page view cannot
    // turn pages, so a turned document shows one page at a time, drawn here.
    void Rotate(int quarterTurns);
    int Turns() const { return m_turns; }
    // Looks for the next page holding the text on a worker, with progress and
    // cancel, and jumps there; searchDone tells whether it was found.
    void FindNext(const QString &text);
    // Print with the document's permissions: refused on a file-making printer
    // for read-only documents, then reported to the server.
    void PrintDocument();

    QPdfDocument *Document() const { return m_doc; }
    QPdfView *View() const { return m_view; }
    QToolBar *Tools() const { return m_tools; }
    QAction *PrintAction() const { return m_print; }   // nullptr when printing is not allowed
    QSlider *ZoomBar() const { return m_zoom; }
    QLineEdit *PageBox() const { return m_pageBox; }
    QLabel *TurnedPage() const { return m_turnedPage; }

    // Puts the pages on a printer; tests put a recorder here. True when printed.
    std::function<bool(TPdfPreviewFrm *)> FPrintJob;

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Starts printing on a worker; the server hears of it once the pages are out.
    void printAsync(std::unique_ptr<QPrinter> printer);

private:
    void buildTools();
    void updatePageBox();
    QSize firstPageSize() const;   // in device pixels; empty unless fitted to the width
    void handFirstPage();
    void showAllPages();
    void setZoomMode(int mode);   // a QPdfView::ZoomMode
    void drawTurnedPage();
    bool loadWith(const std::function<bool()> &load);

    QPdfDocument *m_doc = nullptr;
    QBuffer *m_buffer = nullptr;   // the bytes of a document shown from memory
    QPdfView *m_view = nullptr;
    QPdfSearchModel *m_search = nullptr;
    QToolBar *m_tools = nullptr;
    QAction *m_print = nullptr;
    QLineEdit *m_pageBox = nullptr;
    QLabel *m_pageCount = nullptr;
    QSlider *m_zoom = nullptr;
    QLineEdit *m_find = nullptr;
    int m_lastZoom = 50;
    bool m_toolsBuilt = false;
    int m_searchFrom = 0;
    QString m_searchText;
    QByteArray m_pdf;   // the document's bytes: viewers, searches and prints of workers read them
    quint64 m_turnGeneration = 0;
    QImage m_firstPage;   // drawn on opening, handed to the view until all pages are laid out
    quint64 m_firstRequest = 0;   // the renderer's request for it, until it comes
    QScrollArea *m_turnedArea = nullptr;
    QLabel *m_turnedPage = nullptr;
    int m_turns = 0;        // 0..3 quarter turns clockwise
    int m_turnedIndex = 0;  // the page shown while turned
};

// Office documents and the other types LibreOffice reads: converted to PDF on a
// worker, kept in the cache by file and content, then shown as PDF.
class TOfficeFilePreviewFrm : public TPdfPreviewFrm
{
    Q_OBJECT
public:
    TOfficeFilePreviewFrm(const TServerConn &conn, const QString &root, const QString &cacheFolder,
                          QWidget *parent = nullptr);
    ~TOfficeFilePreviewFrm() override;
    void OpenLocalCopy(quint32 code, const QString &localFile) override;
    QString FSoffice;   // empty: find it
    int FTimeoutMs = 120000;
    bool FSandbox = true;   // run LibreOffice without network and with a read-only system where it can be
    bool FromCache() const { return m_fromCache; }

private:
    QString m_cacheFolder;
    bool m_fromCache = false;
    // Set when the window goes: a conversion nobody will see ends at once.
    std::shared_ptr<std::atomic<bool>> m_cancel = std::make_shared<std::atomic<bool>>(false);
};
