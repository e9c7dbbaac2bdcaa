#include "capture/scanpages.h"

#include "core/workpools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>

namespace {
struct TWriteResult {
    bool Done = false;
    QString Error;
};
} // namespace

TScanPages::TScanPages(const QString &tempRoot, QObject *parent)
    : QObject(parent)
    , m_alive(std::make_shared<std::atomic<bool>>(true))
{
    QDir().mkpath(tempRoot);
    QFile::setPermissions(tempRoot, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // QTemporaryDir makes the folder 0700 with an unguessable name.
    m_dir = std::make_unique<QTemporaryDir>(QDir(tempRoot).filePath(QStringLiteral("kvscan-XXXXXX")));
}

TScanPages::~TScanPages()
{
    // The folder and the pages left in it go with it; a write still under way
    // cleans up after itself, and its result is never delivered.
    *m_alive = false;
}

QString TScanPages::Folder() const { return IsValid() ? m_dir->path() + u'/' : QString(); }

QStringList TScanPages::Files() const
{
    QStringList out;
    for (const Page &p : m_pages)
        out << p.File;
    return out;
}

int TScanPages::indexOf(const QString &file) const
{
    for (int i = 0; i < m_pages.size(); ++i)
        if (m_pages.at(i).File == file)
            return i;
    return -1;
}

bool TScanPages::Add(const QImage &page, QString *error)
{
    if (!IsValid() || page.isNull()) {
        if (error)
            *error = QStringLiteral("No folder for the scanned pages");
        return false;
    }
    Page p;
    p.File = Folder() + QStringLiteral("kvscan_%1.bmp").arg(m_next++);
    m_pages << p;
    write(int(m_pages.size()) - 1, page, true);
    if (m_pages.size() == 1)
        Show(0);
    return true;
}

void TScanPages::write(int index, const QImage &image, bool firstWrite)
{
    Page &p = m_pages[index];
    p.Unwritten = image;
    p.Version = ++m_versions;
    const QString file = p.File;
    const quint64 version = p.Version;
    // Each write has a name of its own: a later edit may finish before an earlier one.
    const QString temp = file + QStringLiteral(".%1.part").arg(version);
    const QString folder = Folder();
    const std::shared_ptr<std::atomic<bool>> alive = m_alive;
    ++m_writing;
    RunOnPool(
        TransferPool(), this,
        [image, file, temp, folder, alive, firstWrite] {
            TWriteResult r;
            if (!*alive)
                return r;
            const QImage out = firstWrite ? image.convertToFormat(image.isGrayscale() ? QImage::Format_Grayscale8
                                                                                      : QImage::Format_RGB888)
                                          : image;
            QImageWriter writer(temp, "bmp");
            r.Done = writer.write(out);
            if (!r.Done) {
                r.Error = QStringLiteral("Cannot write %1: %2").arg(file, writer.errorString());
                QFile::remove(temp);
            }
            if (!*alive) {
                QFile::remove(temp);
                QDir().rmdir(folder);
            }
            return r;
        },
        [this, file, version, temp](const TWriteResult &r) {
            writeDone(file, version, temp, r.Done ? QString() : r.Error.isEmpty() ? QStringLiteral("Cannot write %1").arg(file) : r.Error);
        });
}

void TScanPages::writeDone(const QString &file, quint64 version, const QString &temp, const QString &error)
{
    --m_writing;
    const int i = indexOf(file);
    QString failure = error;
    if (i < 0 || m_pages.at(i).Version != version) {
        // The page was deleted, or a later edit of it is on its way.
        QFile::remove(temp);
    } else if (failure.isEmpty()) {
        QFile::remove(file);
        if (QFile::rename(temp, file))
            m_pages[i].Unwritten = QImage();
        else
            failure = QStringLiteral("Cannot write %1").arg(file);
    }
    if (i >= 0 && i < m_pages.size() && m_pages.at(i).Version == version && !failure.isEmpty()) {
        QFile::remove(temp);
        m_pages[i].Unwritten = QImage();
        if (!QFileInfo::exists(file))
            Remove({file});
        else if (i == m_index)
            Show(i);   // what the file holds, not the edit that was lost
        Q_EMIT writeFailed(failure);
    }
    if (m_writing == 0 && !m_editing)
        Q_EMIT written();
}

bool TScanPages::Show(int index)
{
    if (index < 0 || index >= m_pages.size())
        return false;
    m_index = index;
    m_watermarkOn = false;
    const quint64 generation = ++m_readGeneration;
    const Page &p = m_pages.at(index);
    if (!p.Unwritten.isNull()) {
        m_current = p.Unwritten;
        return true;
    }
    m_current = QImage();
    const QString file = p.File;
    RunOnPool(TransferPool(), this, [file] { return QImage(file); },
              [this, generation](const QImage &image) {
                  // Only the page asked for last.
                  if (generation != m_readGeneration)
                      return;
                  m_current = image;
                  Q_EMIT currentChanged();
              });
    return true;
}

bool TScanPages::edit(std::function<QImage(const QImage &)> change, bool stamp)
{
    if (m_index < 0 || m_index >= m_pages.size() || (m_current.isNull() && !m_editing))
        return false;
    m_edits.append(Edit{std::move(change), stamp});
    if (!m_editing)
        runEdit();
    return true;
}

void TScanPages::runEdit()
{
    if (m_edits.isEmpty() || m_index < 0 || m_current.isNull()) {
        m_edits.clear();
        m_editing = false;
        if (m_writing == 0)
            Q_EMIT written();
        return;
    }
    m_editing = true;
    const Edit e = m_edits.takeFirst();
    const quint64 generation = m_readGeneration;
    const QString file = m_pages.at(m_index).File;
    const QImage source = m_current;
    RunOnPool(RequestPool(), this, [source, change = e.Change] { return change(source); },
              [this, generation, file, stamp = e.Stamp](const QImage &out) {
                  // Moved to another page meanwhile: the edits asked for this one are dropped.
                  if (generation != m_readGeneration || m_index < 0 || m_pages.at(m_index).File != file
                      || out.isNull()) {
                      m_edits.clear();
                      runEdit();
                      return;
                  }
                  m_current = out;
                  write(m_index, out, false);
                  if (stamp)
                      m_watermarkOn = true;
                  Q_EMIT currentChanged();
                  runEdit();
              });
}

QImage TScanPages::Rotate(const QImage &image, bool clockwise)
{
    QTransform t;
    t.rotate(clockwise ? 90 : -90);
    return image.transformed(t);
}

bool TScanPages::RotateLeft()
{
    return edit([](const QImage &page) { return Rotate(page, false); }, false);
}

bool TScanPages::RotateRight()
{
    return edit([](const QImage &page) { return Rotate(page, true); }, false);
}

QImage TScanPages::Stamp(const QImage &image, const QImage &mark)
{
    QImage d = image.convertToFormat(QImage::Format_RGB888);
    const QImage m = mark.convertToFormat(QImage::Format_RGB888);
    if (d.isNull() || m.isNull())
        return d;
    const int W = d.width(), H = d.height(), w = m.width(), h = m.height();
    const QRgb transparent = m.pixel(0, 0);
    const QPoint at[] = {{50, 50}, {(W - w) / 2, (H - h) / 2}, {W - w - 50, H - h - 50}};
    for (const QPoint &o : at) {
        for (int y = 0; y < h; ++y) {
            const int dy = o.y() + y;
            if (dy < 0 || dy >= H)
                continue;
            const uchar *ms = m.constScanLine(y);
            uchar *ds = d.scanLine(dy);
            for (int x = 0; x < w; ++x) {
                const int dx = o.x() + x;
                if (dx < 0 || dx >= W || m.pixel(x, y) == transparent)
                    continue;
                for (int c = 0; c < 3; ++c)
                    ds[3 * dx + c] = uchar(qBound(0, ((100 - 10) * ds[3 * dx + c] + 10 * ms[3 * x + c]) / 100, 255));
            }
        }
    }
    return d;
}

bool TScanPages::ToggleWatermark(const QImage &mark)
{
    if (m_index < 0)
        return false;
    if (!m_watermarkOn) {
        if (!edit([mark](const QImage &page) { return Stamp(page, mark); }, true))
            return false;
        m_watermarkOn = true;
    } else {
        // The page file holds the stamp by now: reloading shows it as stored.
        const int keep = m_index;
        Show(keep);
    }
    return m_watermarkOn;
}

bool TScanPages::DeleteCurrent()
{
    if (m_index < 0 || m_index >= m_pages.size())
        return false;
    QFile::remove(m_pages.takeAt(m_index).File);
    if (m_pages.isEmpty()) {
        m_index = -1;
        m_current = QImage();
        ++m_readGeneration;
        return true;
    }
    Show(qMin(m_index, int(m_pages.size()) - 1));
    return true;
}

void TScanPages::Remove(const QStringList &files)
{
    for (const QString &f : files) {
        const int i = indexOf(f);
        if (i >= 0) {
            m_pages.removeAt(i);
            QFile::remove(f);
        }
    }
    if (m_pages.isEmpty()) {
        m_index = -1;
        m_current = QImage();
        ++m_readGeneration;
    } else {
        Show(qBound(0, m_index, int(m_pages.size()) - 1));
    }
}

void TScanPages::Clear() { Remove(Files()); }
