#include "preview/simplepreviewfrms.h"

#include "core/workpools.h"

#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QStringDecoder>
#include <QTextBrowser>
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

bool TTextPreviewFrm::LoadText(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        hint(WLS_Fail + QStringLiteral("\r\n") + f.errorString(), 1);
        Q_EMIT shown(false);
        return false;
    }
    m_memo->setPlainText(DecodeTextForView(f.read(kMaxBytes)));
    // Text that may not be copied cannot be selected either: a selection is a
    // copy on this desktop (the middle button pastes it anywhere).
    m_memo->setTextInteractionFlags(FCanCopy ? Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard
                                             : Qt::NoTextInteraction);
    if (FDocReadonly)
        guard(m_memo);
    hideHint();
    Q_EMIT shown(true);
    return true;
}

void TTextPreviewFrm::OpenLocalCopy(quint32, const QString &localFile)
{
    LoadText(localFile);
    dropLocalCopy();
}

// ---- mail

TEmlPreviewFrm::TEmlPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent)
    : TPreviewBaseFrm(conn, root, parent)
{
    setObjectName(QStringLiteral("TEmlPreviewFrm"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_header = new QWidget(this);
    m_header->setObjectName(QStringLiteral("plHeader"));
    m_header->setAutoFillBackground(true);
    layout->addWidget(m_header);
    m_body = NewInertBrowser(this);
    m_body->setObjectName(QStringLiteral("body"));
    layout->addWidget(m_body, 1);
}

void TEmlPreviewFrm::ShowMessage(const TEmlMessage &m)
{
    m_message = m;
    qDeleteAll(m_header->findChildren<QLabel *>());
    m_links.clear();
    int top = 8;
    auto line = [&](const QString &caption, const QString &value) {
        auto *l = new QLabel(caption + value, m_header);
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
    if (!m.Html.isEmpty())
        m_body->setHtml(m.Html);
    else
        m_body->setPlainText(m.Text);
    m_body->setTextInteractionFlags(FCanCopy ? Qt::TextBrowserInteraction : Qt::LinksAccessibleByMouse);
    if (FDocReadonly)
        guard(m_body);
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

// ---- web archives

TMhtPreviewFrm::TMhtPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent)
    : TPreviewBaseFrm(conn, root, parent)
{
    setObjectName(QStringLiteral("TMhtPreviewFrm"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_body = NewInertBrowser(this);
    m_body->setObjectName(QStringLiteral("body"));
    layout->addWidget(m_body);
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
                  if (!m.Html.isEmpty())
                      m_body->setHtml(m.Html);
                  else
                      m_body->setPlainText(m.Text);
                  m_body->setTextInteractionFlags(FCanCopy ? Qt::TextBrowserInteraction : Qt::LinksAccessibleByMouse);
                  if (FDocReadonly)
                      guard(m_body);
                  hideHint();
                  Q_EMIT shown(true);
              });
}
