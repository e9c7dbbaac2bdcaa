#pragma once
// The pages of a capture, without windows: each page is a picture file in a
// private folder of its own, and every edit of the page shown is written back,
// so the files always hold what will be uploaded.
#include <QImage>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class TScanPages
{
public:
    // Pages live in a fresh folder below tempRoot (created when missing, mode 0700).
    explicit TScanPages(const QString &tempRoot);
    ~TScanPages();

    bool IsValid() const { return m_dir && m_dir->isValid(); }
    QString Folder() const;
    // Saves the page under a name never used before in this folder; false when it cannot be written.
    bool Add(const QImage &page, QString *error = nullptr);
    int Count() const { return int(m_files.size()); }
    QStringList Files() const { return m_files; }
    int Index() const { return m_index; }
    const QImage &Current() const { return m_current; }

    // Page through; false at either end.
    bool Show(int index);
    bool Up() { return Show(m_index - 1); }
    bool Down() { return Show(m_index + 1); }
    bool RotateLeft();
    bool RotateRight();
    // First press stamps the watermark into the page; the next shows the stored page (still
    // stamped) and arms the button again. True while the stamped state is on.
    bool ToggleWatermark(const QImage &mark);
    bool WatermarkOn() const { return m_watermarkOn; }
    // Removes the page shown (its file too).
    bool DeleteCurrent();
    // Removes the named page files (after they were stored) and keeps the rest.
    void Remove(const QStringList &files);
    void Clear();

    // Turns by 90 degrees, counter-clockwise or clockwise.
    static QImage Rotate(const QImage &image, bool clockwise);
    // Three stamps at (50, 50), the centre and 50 from the bottom right, opacity 10 of 100,
    // the mark's top-left colour transparent; what falls outside is clipped.
    static QImage Stamp(const QImage &image, const QImage &mark);

private:
    bool store(const QImage &image);

    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_files;
    int m_index = -1;
    int m_next = 0;
    QImage m_current;
    bool m_watermarkOn = false;
};
