#include "preview/simplepreviewfrms.h"

#include "core/workpools.h"

#include <QAction>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QPrinter>
#include <QStringDecoder>
#include <QStyle>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <QTextBrowser>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

class TInertBrowser : public QTextBrowser
{
public:
    using QTextBrowser::QTextBrowser;
    // Pictures, style sheets and frames of a message would be read from local
    // files or the network: none is loaded.
    QVariant loadResource(int, const QUrl &) override { return {}; }
};

// A link label that reports its click; a label never opens anything itself.
class TLinkLabel : public QLabel
{
public:
    TLinkLabel(const QString &text, QWidget *parent, std::function<void()> clicked)
        : QLabel(text, parent)
        , m_clicked(std::move(clicked))
    {
        // A file name from the message is a name, never markup.
        setTextFormat(Qt::PlainText);
        setCursor(Qt::PointingHandCursor);
        QFont f = font();
        f.setUnderline(true);
        setFont(f);
        QPalette p = palette();
        p.setColor(QPalette::WindowText, QColor(0, 0, 128));
        setPalette(p);
    }

protected:
    void mouseReleaseEvent(QMouseEvent *e) override
    {
        if (e->button() == Qt::LeftButton && m_clicked)
            m_clicked();
    }

private:
    std::function<void()> m_clicked;
};

} // namespace

QTextBrowser *NewInertBrowser(QWidget *parent)
{
    auto *b = new TInertBrowser(parent);
    b->setOpenLinks(false);
    b->setOpenExternalLinks(false);
    b->setReadOnly(true);
    return b;
}

QString DecodeTextForView(const QByteArray &bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes.mid(3));
    if (bytes.startsWith("\xFF\xFE"))
        return QStringDecoder(QStringDecoder::Utf16LE).decode(bytes.mid(2));
    if (bytes.startsWith("\xFE\xFF"))
        return QStringDecoder(QStringDecoder::Utf16BE).decode(bytes.mid(2));
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString asUtf8 = utf8.decode(bytes);
    if (!utf8.hasError())
        return asUtf8;
    return QStringDecoder("GBK", QStringDecoder::Flag::Stateless).decode(bytes);
}

// ---- pictures

TImagePreviewFrm::TImagePreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent)
    : TPreviewBaseFrm(conn, root, parent)
{
    setObjectName(QStringLiteral("TImagePreviewFrm"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_area = new QScrollArea(this);
    m_area->setAlignment(Qt::AlignCenter);
    m_area->setWidgetResizable(true);
    m_picture = new QLabel(m_area);
    m_picture->setAlignment(Qt::AlignCenter);
    m_picture->setObjectName(QStringLiteral("picture"));
    m_area->setWidget(m_picture);
    layout->addWidget(m_area);
}

namespace {
struct TDecodedImage {
    QImage Image;
    QString Error;
};

TDecodedImage decodeImage(const QString &file)
{
    QImageReader reader(file);
    reader.setAutoTransform(true);   // the camera's orientation mark
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > TImagePreviewFrm::kMaxSide || size.height() > TImagePreviewFrm::kMaxSide))
        reader.setScaledSize(size.scaled(TImagePreviewFrm::kMaxSide, TImagePreviewFrm::kMaxSide, Qt::KeepAspectRatio));
    TDecodedImage d;
    d.Image = reader.read();
    if (d.Image.isNull())
        d.Error = reader.errorString();
    return d;
}
} // namespace

bool TImagePreviewFrm::LoadImage(const QString &file)
{
    const TDecodedImage d = decodeImage(file);
    return showImage(d.Image, d.Error);
}

bool TImagePreviewFrm::showImage(const QImage &image, const QString &error)
{
    m_image = image;
    if (m_image.isNull()) {
        hint(WLS_Fail + QStringLiteral("\r\n") + error, 1);
        Q_EMIT shown(false);
        return false;
    }
    QPixmap pixmap = QPixmap::fromImage(m_image);
    const QSize room = m_area->viewport()->size().expandedTo(QSize(760, 600));
    if (pixmap.width() > room.width() || pixmap.height() > room.height())
        pixmap = pixmap.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    m_picture->setPixmap(pixmap);
    if (FDocReadonly)
        guard(m_area);
    hideHint();
    Q_EMIT shown(true);
    return true;
}

void TImagePreviewFrm::OpenLocalCopy(quint32, const QString &localFile)
{
    // A large picture takes a while to decode: not on the GUI thread.
    RunOnPool(RequestPool(), this, [localFile] { return decodeImage(localFile); },
              [this](const TDecodedImage &d) {
                  dropLocalCopy();
                  showImage(d.Image, d.Error);
              });
}

// ---- text

TTextPreviewFrm::TTextPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent)
    : TPreviewBaseFrm(conn, root, parent)
{
    setObjectName(QStringLiteral("TTextPreviewFrm"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_memo = new QPlainTextEdit(this);
    m_memo->setObjectName(QStringLiteral("memo"));
    m_memo->setReadOnly(true);
    layout->addWidget(m_memo);
}

QStringList TTextPreviewFrm::ShownPieces(const QString &text, int pieceChars)
{
    QStringList pieces;
    QString piece;
    const QStringView all(text);
    const qsizetype n = text.size();
    bool first = true;
    for (qsizetype i = 0; i <= n;) {
        qsizetype end = text.indexOf(u'\n', i);
        if (end < 0)
            end = n;
        // A long line becomes shown lines of kMaxLine characters, never split inside a character.
        qsizetype p = i;
        do {
            qsizetype take = qMin<qsizetype>(end - p, kMaxLine);
            if (take > 1 && take < end - p && text.at(p + take - 1).isHighSurrogate())
                --take;
            if (!first)
                piece += u'\n';
            first = false;
            piece += all.mid(p, take);
            p += take;
            if (piece.size() >= pieceChars) {
                pieces << piece;
                piece.clear();
            }
        } while (p < end);
        i = end + 1;
    }
    if (!piece.isEmpty() || pieces.isEmpty())
        pieces << piece;
    return pieces;
}

bool TTextPreviewFrm::LoadText(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        hint(WLS_Fail + QStringLiteral("\r\n") + f.errorString(), 1);
        Q_EMIT shown(false);
        return false;
    }
    if (m_loading)
        m_loading->Cancel = true;
    if (f.size() <= kAtOnceBytes) {
        m_memo->setPlainText(DecodeTextForView(f.read(kMaxBytes)));
        finishText();
        return true;
    }
    f.close();
    m_memo->clear();
    m_loading = beginBusy(t("正在加载文本...", "Loading the text..."));
    const std::shared_ptr<TBusyState> state = m_loading;
    QThread *gui = thread();
    // A document on its way to the window; freed where it lives when the window is gone.
    struct Loaded {
        QTextDocument *doc = nullptr;
        ~Loaded()
        {
            if (doc && doc->thread() == QThread::currentThread())
                delete doc;
            else if (doc)
                doc->deleteLater();
        }
    };
    // Read, decoded, made a document and laid out for the editor on the
    // worker; the window only takes it.
    RunOnPool(RequestPool(), this, [file, state, gui] {
        auto out = std::make_shared<Loaded>();
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly))
            return out;
        const QByteArray bytes = in.read(kMaxBytes);
        state->Percent = 20;
        if (state->Cancel)
            return out;
        const QStringList pieces = ShownPieces(DecodeTextForView(bytes));
        state->Percent = 40;
        out->doc = new QTextDocument;
        out->doc->setUndoRedoEnabled(false);
        QTextCursor end(out->doc);
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            if (state->Cancel)
                return out;
            end.insertText(pieces.at(i));
            state->Percent = int(40 + 60 * (i + 1) / pieces.size());
        }
        out->doc->setDocumentLayout(new QPlainTextDocumentLayout(out->doc));
        out->doc->moveToThread(gui);
        return out;
    }, [this, state](const std::shared_ptr<Loaded> &loaded) {
        if (state != m_loading)
            return;
        dropLocalCopy();
        endBusy(state);
        m_loading.reset();
        if (state->Cancel || !loaded || !loaded->doc) {
            if (!state->Cancel)
                hint(WLS_Fail, 1);
            Q_EMIT shown(false);
            return;
        }
        QTextDocument *doc = std::exchange(loaded->doc, nullptr);
        doc->setParent(m_memo);   // goes with the editor that shows it
        m_memo->setDocument(doc);
        finishText();
    });
    return true;
}

void TTextPreviewFrm::finishText()
{
    // Text that may not be copied cannot be selected either: a selection is a
    // copy on this desktop (the middle button pastes it anywhere).
    m_memo->setTextInteractionFlags(FCanCopy ? Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard
                                             : Qt::NoTextInteraction);
    if (FDocReadonly)
        guard(m_memo);
    hideHint();
    Q_EMIT shown(true);
}

void TTextPreviewFrm::OpenLocalCopy(quint32, const QString &localFile)
{
    LoadText(localFile);
    // A large text is read on a worker, which drops the copy once it has it.
    if (!m_loading)
        dropLocalCopy();
}

// ---- mail and web archives

TTextDocPreviewFrm::TTextDocPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent)
    : TPreviewBaseFrm(conn, root, parent)
{
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);
    m_tools = new QToolBar(this);
    m_tools->hide();
    m_layout->addWidget(m_tools);
    m_body = NewInertBrowser(this);
    m_body->setObjectName(QStringLiteral("body"));
    m_layout->addWidget(m_body, 1);
    FPrintJob = [](TTextDocPreviewFrm *w) {
        QPrinter printer(QPrinter::HighResolution);
        if (!w->FChoosePrinter(printer))
            return false;
        if (!w->PrinterAcceptable(printer))
            return false;
        w->Body()->document()->print(&printer);
        return printer.printerState() != QPrinter::Error;
    };
}

void TTextDocPreviewFrm::showEvent(QShowEvent *event)
{
    // Built when shown, so the permissions set after creation decide what is there.
    if (FCanPrint && !m_print) {
        m_print = m_tools->addAction(PrintActionIcon(), t("打印", "Print"), this,
                                     &TTextDocPreviewFrm::PrintDocument);
        m_print->setObjectName(QStringLiteral("actPrint"));
        m_tools->show();
    }
    TPreviewBaseFrm::showEvent(event);
}

void TTextDocPreviewFrm::PrintDocument()
{
    if (!FCanPrint)
        return;
    PrintGuarded(m_print, [this] { return FPrintJob && FPrintJob(this); });
}

void TTextDocPreviewFrm::showBody(const QString &html, const QString &text)
{
    if (!html.isEmpty())
        m_body->setHtml(html);
    else
        m_body->setPlainText(text);
    // The text control copies on Ctrl+C and selects on Ctrl+A whatever its
    // selection flags say; only no interaction at all stops it.
    m_body->setTextInteractionFlags(FCanCopy ? Qt::TextBrowserInteraction : Qt::NoTextInteraction);
    m_body->setContextMenuPolicy(FCanCopy ? Qt::DefaultContextMenu : Qt::NoContextMenu);
    if (FDocReadonly)
        guard(m_body);
}

TEmlPreviewFrm::TEmlPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent)
    : TTextDocPreviewFrm(conn, root, parent)
{
    setObjectName(QStringLiteral("TEmlPreviewFrm"));
    m_header = new QWidget(this);
    m_header->setObjectName(QStringLiteral("plHeader"));
    m_header->setAutoFillBackground(true);
    m_layout->insertWidget(1, m_header);
}

void TEmlPreviewFrm::ShowMessage(const TEmlMessage &m)
{
    m_message = m;
    qDeleteAll(m_header->findChildren<QLabel *>());
    m_links.clear();
    int top = 8;
    auto line = [&](const QString &caption, const QString &value) {
        auto *l = new QLabel(caption + value, m_header);
        // Sender and subject come from the message: shown as they are, never as markup.
        l->setTextFormat(Qt::PlainText);
        l->move(12, top);
        l->show();
        top += 24;
    };
    line(t("时  间：", "Date:"), m.Date);
    if (!m.To.isEmpty())
        line(t("收件人：", "To:"), m.To);
    if (!m.From.isEmpty())
        line(t("发件人：", "From:"), m.From);
    if (!m.Cc.isEmpty())
        line(t("抄  送：", "CC:"), m.Cc);
    if (!m.Attachments.isEmpty()) {
        auto *heading = new QLabel(t("附件：", "Attachment:"), m_header);
        heading->move(12, top);
        heading->show();
        // Beside the heading, also where it is wider than the usual place of the links.
        const int left = qMax(60, heading->x() + heading->sizeHint().width() + 6);
        for (qsizetype i = 0; i < m.Attachments.size(); ++i) {
            auto *link = new TLinkLabel(m.Attachments.at(i).Name, m_header, [this, i] {
                if (FOnAttachment && i < m_message.Attachments.size())
                    FOnAttachment(m_message.Attachments.at(i));
            });
            link->setObjectName(QStringLiteral("attachment%1").arg(i));
            link->move(left, top);
            link->show();
            m_links << link;
            top += 24;
        }
    }
    m_header->setFixedHeight(top + 4);
    showBody(m.Html, m.Text);
}

void TEmlPreviewFrm::OpenLocalCopy(quint32, const QString &localFile)
{
    // A large message is parsed off the GUI thread.
    RunOnPool(RequestPool(), this, [localFile] { return TEmlMessage::ParseFile(localFile); },
              [this](const TEmlMessage &m) {
                  dropLocalCopy();
                  if (!m.Ok) {
                      hint(WLS_Fail, 1);
                      Q_EMIT shown(false);
                      return;
                  }
                  ShowMessage(m);
                  hideHint();
                  Q_EMIT shown(true);
              });
}

TMhtPreviewFrm::TMhtPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent)
    : TTextDocPreviewFrm(conn, root, parent)
{
    setObjectName(QStringLiteral("TMhtPreviewFrm"));
}

void TMhtPreviewFrm::OpenLocalCopy(quint32, const QString &localFile)
{
    RunOnPool(RequestPool(), this, [localFile] { return TEmlMessage::ParseFile(localFile); },
              [this](const TEmlMessage &m) {
                  dropLocalCopy();
                  if (!m.Ok) {
                      hint(WLS_Fail, 1);
                      Q_EMIT shown(false);
                      return;
                  }
                  showBody(m.Html, m.Text);
                  hideHint();
                  Q_EMIT shown(true);
              });
}
