#pragma once
// What the client keeps of previews without loading the viewers: the list and
// place of the open preview windows, and the clean-up of what previews leave.
#include <QObject>
#include <QPointer>
#include <QRect>

#include <functional>

class QWidget;

// The preview and edit windows opened by commands: the place of the last one
// becomes the place of the next, and is kept when the list goes.
class TPreviewWindows : public QObject
{
    Q_OBJECT
public:
    explicit TPreviewWindows(const QRect &rect, QObject *parent = nullptr);
    ~TPreviewWindows() override;
    void Add(QWidget *window);
    QList<QWidget *> Windows() const;
    QRect Rect() const { return m_rect; }
    // Called with the rectangle to keep when the list goes.
    std::function<void(const QRect &)> FSaveRect;

private:
    bool eventFilter(QObject *watched, QEvent *event) override;
    QList<QPointer<QWidget>> m_windows;
    QRect m_rect;
};

// Removes what previews leave in the temporary folder: downloaded copies,
// converted documents, LibreOffice profiles and saved mail attachments.
void CleanPreviewCopies(const QString &tempFolder);
// Empties the cache of converted documents (at log-out: the next user of the
// client must not find what this one previewed).
void ClearConversionCache(const QString &tempFolder);
