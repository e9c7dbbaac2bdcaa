#pragma once
// The pages of a capture, without windows: each page is a picture file in a
// private folder of its own, and every edit of the page shown is written back,
// so the files hold what will be uploaded once IsWriting() is false.
// A colour page at 600 dpi is tens of megabytes: pages are encoded, written
// and read back on worker threads, never on the thread that owns the pages.
#include <QImage>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <memory>

class TScanPages : public QObject
{
    Q_OBJECT
public:
    // Pages live in a fresh folder below tempRoot (created when missing, mode 0700).
    explicit TScanPages(const QString &tempRoot, QObject *parent = nullptr);
    ~TScanPages() override;

    bool IsValid() const { return m_dir && m_dir->isValid(); }
    QString Folder() const;
    // Takes the page as the last one at once, under a name never used before in this
    // folder; its file follows (written(), or writeFailed() and the page goes again).
    // False only when there is no folder for pages.
    bool Add(const QImage &page, QString *error = nullptr);
    int Count() const { return int(m_pages.size()); }
    QStringList Files() const;
    // A page file is still being written or an edit made: Files() is not yet what would be uploaded.
    bool IsWriting() const { return m_writing > 0 || m_editing; }
    int Index() const { return m_index; }
    // Null while the page shown is read back from its file (currentChanged() follows).
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

    // Turns by 90 degrees, counter-clockwise or clockwise. Pixel work on a full page:
    // the edits below run it on a worker, and currentChanged() tells when it is shown.
    static QImage Rotate(const QImage &image, bool clockwise);
    // Three stamps at (50, 50), the centre and 50 from the bottom right, opacity 10 of 100,
    // the mark's top-left colour transparent; what falls outside is clipped.
    static QImage Stamp(const QImage &image, const QImage &mark);

Q_SIGNALS:
    // The page shown was read back from its file.
    void currentChanged();
    // Every page file is on disk.
    void written();
    // A page file could not be written; a new page that has no file goes from the list.
    void writeFailed(const QString &error);

private:
    struct Page {
        QString File;
        QImage Unwritten;   // what the file will hold once its latest write is done
        quint64 Version = 0;
    };
    // Edits of the page shown run on a worker, one after another in the order
    // asked; moving to another page drops those not yet done.
    bool edit(std::function<QImage(const QImage &)> change, bool stamp);
    void runEdit();
    struct Edit {
        std::function<QImage(const QImage &)> Change;
        bool Stamp = false;
    };
    QList<Edit> m_edits;
    bool m_editing = false;
    void write(int index, const QImage &image, bool firstWrite);
    void writeDone(const QString &file, quint64 version, const QString &temp, const QString &error);
    int indexOf(const QString &file) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<std::atomic<bool>> m_alive;
    QList<Page> m_pages;
    int m_index = -1;
    int m_next = 0;
    int m_writing = 0;
    quint64 m_versions = 0;
    quint64 m_readGeneration = 0;
    QImage m_current;
    bool m_watermarkOn = false;
};
