#include "platform/clipboardfiles.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

namespace {

// One URI per line; "#" lines are comments in text/uri-list.
void addUris(const QByteArray &text, QStringList &out, bool skipVerb)
{
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (skipVerb && i == 0 && (line == "copy" || line == "cut"))
            continue;
        const QUrl url = QUrl::fromEncoded(line, QUrl::StrictMode);
        if (!url.isValid() || !url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        if (!path.isEmpty() && !out.contains(path))
            out << path;
    }
}

} // namespace

namespace ClipboardFiles {

QStringList Paths(const QMimeData *data)
{
    QStringList out;
    if (!data)
        return out;
    if (data->hasFormat(QStringLiteral("text/uri-list")))
        addUris(data->data(QStringLiteral("text/uri-list")), out, false);
    if (out.isEmpty() && data->hasFormat(QStringLiteral("x-special/gnome-copied-files")))
        addUris(data->data(QStringLiteral("x-special/gnome-copied-files")), out, true);
    if (out.isEmpty() && data->hasText()) {
        // Some file managers put only text: accept it when every line is a file URI.
        const QString text = data->text();
        bool allFiles = !text.trimmed().isEmpty();
        for (const QString &l : text.split(u'\n', Qt::SkipEmptyParts))
            allFiles = allFiles && l.trimmed().startsWith(QLatin1String("file://"));
        if (allFiles)
            addUris(text.toUtf8(), out, false);
    }
    return out;
}

QStringList Read() { return Paths(QGuiApplication::clipboard()->mimeData()); }

void Clear() { QGuiApplication::clipboard()->clear(); }

void Write(const QStringList &paths)
{
    auto *data = new QMimeData;
    QList<QUrl> urls;
    QByteArray gnome("copy");
    for (const QString &p : paths) {
        urls << QUrl::fromLocalFile(p);
        gnome += '\n' + urls.last().toEncoded();
    }
    data->setUrls(urls);
    data->setData(QStringLiteral("x-special/gnome-copied-files"), gnome);
    QGuiApplication::clipboard()->setMimeData(data);
}

} // namespace ClipboardFiles
