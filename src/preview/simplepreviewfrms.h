#pragma once
// Viewers that need no outside program: pictures, plain text, mail messages
// and web archives. Nothing they show runs or reaches beyond the file itself.
#include "preview/emlmessage.h"
#include "preview/previewbasefrm.h"

class QLabel;
class QPlainTextEdit;
class QScrollArea;
class QTextBrowser;
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
    bool LoadText(const QString &file);
    QPlainTextEdit *Memo() const { return m_memo; }
    static constexpr qint64 kMaxBytes = 32 * 1024 * 1024;

private:
    QPlainTextEdit *m_memo = nullptr;
};

// Shows HTML without loading anything: no scripts, no pictures, no local files.
QTextBrowser *NewInertBrowser(QWidget *parent);

class TEmlPreviewFrm : public TPreviewBaseFrm
{
    Q_OBJECT
public:
    TEmlPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent = nullptr);
    bool CanPreview() override { return true; }
    void OpenLocalCopy(quint32 code, const QString &localFile) override;
    void ShowMessage(const TEmlMessage &m);
    const TEmlMessage &Message() const { return m_message; }
    QWidget *Header() const { return m_header; }
    QTextBrowser *Body() const { return m_body; }
    QList<QLabel *> AttachmentLabels() const { return m_links; }

    // An attachment was clicked; the caller may ask the server and save it.
    std::function<void(const TEmlAttachment &)> FOnAttachment;

private:
    QWidget *m_header = nullptr;
    QTextBrowser *m_body = nullptr;
    QList<QLabel *> m_links;
    TEmlMessage m_message;
};

class TMhtPreviewFrm : public TPreviewBaseFrm
{
    Q_OBJECT
public:
    TMhtPreviewFrm(const TServerConn &conn, const QString &root, QWidget *parent = nullptr);
    bool CanPreview() override { return true; }
    void OpenLocalCopy(quint32 code, const QString &localFile) override;
    QTextBrowser *Body() const { return m_body; }

private:
    QTextBrowser *m_body = nullptr;
};
