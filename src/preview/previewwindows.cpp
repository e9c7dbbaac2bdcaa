#include "preview/previewwindows.h"
#include "preview/officeconverter.h"

#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QRegularExpression>
#include <QWidget>

TPreviewWindows::TPreviewWindows(const QRect &rect, QObject *parent)
    : QObject(parent)
    , m_rect(rect)
{
}

TPreviewWindows::~TPreviewWindows()
{
    for (const QPointer<QWidget> &w : std::as_const(m_windows))
        if (w)
            m_rect = w->geometry();
    if (FSaveRect)
        FSaveRect(m_rect);
    for (const QPointer<QWidget> &w : std::as_const(m_windows))
        delete w.data();
}

void TPreviewWindows::Add(QWidget *window)
{
    m_windows.removeAll(nullptr);
    m_windows.append(window);
    window->installEventFilter(this);
}

QList<QWidget *> TPreviewWindows::Windows() const
{
    QList<QWidget *> out;
    for (const QPointer<QWidget> &w : m_windows)
        if (w)
            out << w.data();
    return out;
}

bool TPreviewWindows::eventFilter(QObject *watched, QEvent *event)
{
    // A window freed on closing still leaves its place to the next one.
    if (event->type() == QEvent::Close || event->type() == QEvent::Move || event->type() == QEvent::Resize)
        if (auto *w = qobject_cast<QWidget *>(watched); w && w->isVisible())
            m_rect = w->geometry();
    return QObject::eventFilter(watched, event);
}

void ClearConversionCache(const QString &tempFolder)
{
    TConversionCache(QDir(tempFolder).filePath(QStringLiteral("preview-cache"))).Clear();
}

void CleanPreviewCopies(const QString &tempFolder)
{
    QDir dir(tempFolder);
    if (!dir.exists())
        return;
    static const QRegularExpression stamped(QStringLiteral("^\\d{13,15}Z(\\..*)?$"));
    for (const QFileInfo &f : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
        if (stamped.match(f.fileName()).hasMatch())
            QFile::remove(f.absoluteFilePath());
    for (const QFileInfo &d : dir.entryInfoList({QStringLiteral("preview-cache"), QStringLiteral("lo-profile-*"),
                                                 QStringLiteral("lo-out-*"), QStringLiteral("attachments")},
                                                QDir::Dirs | QDir::NoDotAndDotDot))
        QDir(d.absoluteFilePath()).removeRecursively();
}
