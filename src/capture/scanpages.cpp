#include "capture/scanpages.h"

#include <QDir>
#include <QFile>
#include <QImageWriter>

TScanPages::TScanPages(const QString &tempRoot)
{
    QDir().mkpath(tempRoot);
    QFile::setPermissions(tempRoot, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // QTemporaryDir makes the folder 0700 with an unguessable name.
    m_dir = std::make_unique<QTemporaryDir>(QDir(tempRoot).filePath(QStringLiteral("kvscan-XXXXXX")));
}

TScanPages::~TScanPages() = default;  // the folder and the pages left in it go with it

QString TScanPages::Folder() const { return IsValid() ? m_dir->path() + u'/' : QString(); }

bool TScanPages::Add(const QImage &page, QString *error)
{
    if (!IsValid() || page.isNull()) {
        if (error)
            *error = QStringLiteral("No folder for the scanned pages");
        return false;
    }
    const QString name = Folder() + QStringLiteral("kvscan_%1.bmp").arg(m_next++);
    QImageWriter writer(name, "bmp");
    if (!writer.write(page.convertToFormat(page.isGrayscale() ? QImage::Format_Grayscale8 : QImage::Format_RGB888))) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(name, writer.errorString());
        QFile::remove(name);
        return false;
    }
    m_files << name;
    if (m_files.size() == 1)
        Show(0);
    return true;
}

bool TScanPages::Show(int index)
{
    if (index < 0 || index >= m_files.size())
        return false;
    QImage img(m_files.at(index));
    if (img.isNull())
        return false;
    m_index = index;
    m_current = img;
    m_watermarkOn = false;
    return true;
}

bool TScanPages::store(const QImage &image)
{
    if (m_index < 0 || m_index >= m_files.size() || image.isNull())
        return false;
    QImageWriter writer(m_files.at(m_index), "bmp");
    if (!writer.write(image))
        return false;
    m_current = image;
    return true;
}

QImage TScanPages::Rotate(const QImage &image, bool clockwise)
{
    QTransform t;
    t.rotate(clockwise ? 90 : -90);
    return image.transformed(t);
}

bool TScanPages::RotateLeft() { return store(Rotate(m_current, false)); }
bool TScanPages::RotateRight() { return store(Rotate(m_current, true)); }

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
        if (!store(Stamp(m_current, mark)))
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
    if (m_index < 0 || m_index >= m_files.size())
        return false;
    QFile::remove(m_files.takeAt(m_index));
    if (m_files.isEmpty()) {
        m_index = -1;
        m_current = QImage();
        return true;
    }
    Show(qMin(m_index, int(m_files.size()) - 1));
    return true;
}

void TScanPages::Remove(const QStringList &files)
{
    for (const QString &f : files) {
        if (m_files.removeOne(f))
            QFile::remove(f);
    }
    if (m_files.isEmpty()) {
        m_index = -1;
        m_current = QImage();
    } else if (!Show(qBound(0, m_index, int(m_files.size()) - 1))) {
        m_index = -1;
    }
}

void TScanPages::Clear() { Remove(m_files); }
