#pragma once
// Viewers that need no outside program: pictures, plain text, mail messages
// and web archives. Nothing they show runs or reaches beyond the file itself.
#include "preview/emlmessage.h"
#include "preview/previewbasefrm.h"

class QAction;
class QLabel;
class QPlainTextEdit;
class QScrollArea;
class QTextBrowser;
class QTextDocument;
class QToolBar;
class QVBoxLayout;

class TImagePreviewFrm : public TPreviewBaseFrm
{
    Q_OBJECT
public:
    TImagePreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent = nullptr);
    bool CanPreview() override { return true; }
    void OpenLocalCopy(quint32 code, const QString &localFile) override;
    bool LoadImage(const QString &file);
    QImage Image() const { return m_image; }
    QLabel *Picture() const { return m_picture; }
    // Pictures larger than this on either side are read scaled down.
    static constexpr int kMaxSide = 8000;

private:
    bool showImage(const QImage &image, const QString &error);
    QScrollArea *m_area = nullptr;
    QLabel *m_picture = nullptr;
    QImage m_image;
};

// Text decoded by its byte-order mark, else as UTF-8 when it is valid UTF-8, else as GBK.
QString DecodeTextForView(const QByteArray &bytes);

class TTextPreviewFrm : public TPreviewBaseFrm
{
    Q_OBJECT
public:
    TTextPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent = nullptr);
    bool CanPreview() override { return true; }
    void OpenLocalCopy(quint32 code, const QString &localFile) override;
    // Small files are shown at once; larger ones are read, decoded and made a
    // document on a worker, with progress and cancel (shown(true) when all is there).
    bool LoadText(const QString &file);
    QPlainTextEdit *Memo() const { return m_memo; }
    static constexpr qint64 kMaxBytes = 32 * 1024 * 1024;
    static constexpr qint64 kAtOnceBytes = 256 * 1024;
    // Lines longer than this are shown in pieces of it: one line of
    // megabytes would be laid out as one block.
    static constexpr int kMaxLine = 4096;
    // The text as blocks of whole shown lines, ready for appending piece by piece.
    static QStringList ShownPieces(const QString &text, int pieceChars = 16 * 1024);

private:
    void finishText();
    QPlainTextEdit *m_memo = nullptr;
    std::shared_ptr<TBusyState> m_loading;
};

// Shows HTML without loading anything: no scripts, no pictures, no local files.
QTextBrowser *NewInertBrowser(QWidget *parent);

// The mail and web-archive viewers: an inert browser, and printing when the
// command allows it. Without "CtrlC=True" the text can be neither selected
// nor copied.
class TTextDocPreviewFrm : public TPreviewBaseFrm
{
    Q_OBJECT
public:
    TTextDocPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent = nullptr);
    bool CanPreview() override { return true; }
    QTextBrowser *Body() const { return m_body; }
    QAction *PrintAction() const { return m_print; }   // nullptr when printing is not allowed
    // Print with the document's permissions, then report it to the server.
    void PrintDocument();
    // Puts the document on a printer; tests put a recorder here. True when printed.
    std::function<bool(TTextDocPreviewFrm *)> FPrintJob;

protected:
    void showEvent(QShowEvent *event) override;
    // Shows html, or text when there is none, with the copy permission applied.
    void showBody(const QString &html, const QString &text);
    QVBoxLayout *m_layout = nullptr;
    QToolBar *m_tools = nullptr;
    QTextBrowser *m_body = nullptr;
    QAction *m_print = nullptr;
};

class TEmlPreviewFrm : public TTextDocPreviewFrm
{
    Q_OBJECT
public:
    TEmlPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent = nullptr);
    void OpenLocalCopy(quint32 code, const QString &localFile) override;
    void ShowMessage(const TEmlMessage &m);
    const TEmlMessage &Message() const { return m_message; }
    QWidget *Header() const { return m_header; }
    QList<QLabel *> AttachmentLabels() const { return m_links; }

    // An attachment was clicked; the caller may ask the server and save it.
    std::function<void(const TEmlAttachment &)> FOnAttachment;

private:
    QWidget *m_header = nullptr;
    QList<QLabel *> m_links;
    TEmlMessage m_message;
};

class TMhtPreviewFrm : public TTextDocPreviewFrm
{
    Q_OBJECT
public:
    TMhtPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent = nullptr);
    void OpenLocalCopy(quint32 code, const QString &localFile) override;
};
