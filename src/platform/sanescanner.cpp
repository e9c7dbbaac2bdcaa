// Scanners through SANE. Every call into SANE runs on one thread of its own,
// one at a time (back ends are not re-entrant); only sane_cancel comes from
// the GUI thread, which SANE allows at any time.
#include "core/threadhandover.h"
#include "platform/capturedevices.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLoggingCategory>
#include <QRunnable>
#include <QThreadPool>

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

Q_LOGGING_CATEGORY(lcDevices, "zudivuvo.platform", QtWarningMsg)

namespace {

constexpr const char *kPageSizes[] = {"A4", "Letter", "Legal", "B5", "A5", "A6"};
constexpr int kCommonResolutions[] = {75, 100, 150, 200, 300, 400, 600, 1200};
// A page larger than this is refused rather than filling the memory (A4 at 1200 dpi in colour is ~420 MB).
constexpr qint64 kMaxPageBytes = qint64(600) * 1024 * 1024;
constexpr int kMaxFeederPages = 500;

QThreadPool *sanePool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(1);
        p->setExpiryTimeout(-1);
        return p;
    }();
    return pool;
}

// SANE thread only.
bool ensureInit(QString *error)
{
    static bool done = false;
    static SANE_Status status = SANE_STATUS_GOOD;
    if (!done) {
        SANE_Int version = 0;
        status = sane_init(&version, nullptr);
        done = true;
    }
    if (status != SANE_STATUS_GOOD && error)
        *error = QString::fromUtf8(sane_strstatus(status));
    return status == SANE_STATUS_GOOD;
}

QString statusText(SANE_Status s) { return QString::fromUtf8(sane_strstatus(s)); }

// One open device on the SANE thread; its handle is shared with Cancel().
struct Shared {
    std::mutex lock;
    SANE_Handle handle = nullptr;
    std::atomic<bool> cancel{false};
    std::atomic<bool> scanning{false};
};

class Device
{
public:
    explicit Device(Shared &shared) : m_shared(shared) {}
    ~Device() { close(); }
    SANE_Status open(const QString &name)
    {
        SANE_Handle h = nullptr;
        const SANE_Status s = sane_open(name.toUtf8().constData(), &h);
        if (s == SANE_STATUS_GOOD) {
            std::lock_guard<std::mutex> guard(m_shared.lock);
            m_shared.handle = h;
        }
        m_handle = h;
        return s;
    }
    void close()
    {
        if (!m_handle)
            return;
        {
            std::lock_guard<std::mutex> guard(m_shared.lock);
            m_shared.handle = nullptr;
        }
        sane_close(m_handle);
        m_handle = nullptr;
    }
    SANE_Handle handle() const { return m_handle; }

    int find(const char *name) const
    {
        for (SANE_Int i = 1;; ++i) {
            const SANE_Option_Descriptor *d = sane_get_option_descriptor(m_handle, i);
            if (!d)
                return -1;
            if (d->name && std::strcmp(d->name, name) == 0 && SANE_OPTION_IS_ACTIVE(d->cap))
                return i;
        }
    }
    const SANE_Option_Descriptor *descriptor(int i) const { return sane_get_option_descriptor(m_handle, i); }

    QStringList strings(const char *name) const
    {
        QStringList out;
        const int i = find(name);
        const SANE_Option_Descriptor *d = i < 0 ? nullptr : descriptor(i);
        if (d && d->type == SANE_TYPE_STRING && d->constraint_type == SANE_CONSTRAINT_STRING_LIST)
            for (const SANE_String_Const *s = d->constraint.string_list; *s; ++s)
                out << QString::fromUtf8(*s);
        return out;
    }
    // The upper end of a numeric option's range, in its own unit; 0 when unknown.
    double rangeMax(const char *name) const
    {
        const int i = find(name);
        const SANE_Option_Descriptor *d = i < 0 ? nullptr : descriptor(i);
        if (!d || d->constraint_type != SANE_CONSTRAINT_RANGE)
            return 0;
        return d->type == SANE_TYPE_FIXED ? SANE_UNFIX(d->constraint.range->max) : double(d->constraint.range->max);
    }
    QList<int> resolutions() const
    {
        QList<int> out;
        const int i = find(SANE_NAME_SCAN_RESOLUTION);
        const SANE_Option_Descriptor *d = i < 0 ? nullptr : descriptor(i);
        if (!d || (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED))
            return out;
        auto value = [d](SANE_Word w) { return d->type == SANE_TYPE_FIXED ? int(std::lround(SANE_UNFIX(w))) : int(w); };
        if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
            for (SANE_Int k = 1; k <= d->constraint.word_list[0]; ++k)
                out << value(d->constraint.word_list[k]);
        } else if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
            const int lo = value(d->constraint.range->min), hi = value(d->constraint.range->max);
            for (int r : kCommonResolutions)
                if (r >= lo && r <= hi)
                    out << r;
        }
        return out;
    }

    bool setString(const char *name, const QString &value)
    {
        const int i = find(name);
        const SANE_Option_Descriptor *d = i < 0 ? nullptr : descriptor(i);
        if (!d || d->type != SANE_TYPE_STRING || !SANE_OPTION_IS_SETTABLE(d->cap))
            return false;
        QByteArray buffer = value.toUtf8();
        buffer.resize(qMax<qsizetype>(buffer.size() + 1, d->size), '\0');
        return sane_control_option(m_handle, i, SANE_ACTION_SET_VALUE, buffer.data(), nullptr) == SANE_STATUS_GOOD;
    }
    bool setNumber(const char *name, double value)
    {
        const int i = find(name);
        const SANE_Option_Descriptor *d = i < 0 ? nullptr : descriptor(i);
        if (!d || !SANE_OPTION_IS_SETTABLE(d->cap) || d->size < SANE_Int(sizeof(SANE_Word)))
            return false;
        SANE_Word w = 0;
        if (d->type == SANE_TYPE_FIXED)
            w = SANE_FIX(value);
        else if (d->type == SANE_TYPE_INT)
            w = SANE_Word(std::lround(value));
        else
            return false;
        // A list option (one value per channel) takes the value for every entry.
        QList<SANE_Word> words(d->size / SANE_Int(sizeof(SANE_Word)), w);
        return sane_control_option(m_handle, i, SANE_ACTION_SET_VALUE, words.data(), nullptr) == SANE_STATUS_GOOD;
    }

private:
    Shared &m_shared;
    SANE_Handle m_handle = nullptr;
};

// Reads one frame's bytes; false with *status on failure or cancel. progress gets whole percents.
bool readFrame(SANE_Handle h, const SANE_Parameters &p, QByteArray &data, SANE_Status *status,
               const std::function<void(int)> &progress)
{
    const qint64 expected = p.lines > 0 ? qint64(p.bytes_per_line) * p.lines : -1;
    if (expected > kMaxPageBytes || p.bytes_per_line <= 0) {
        *status = SANE_STATUS_NO_MEM;
        return false;
    }
    data.clear();
    if (expected > 0)
        data.reserve(expected);
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    for (;;) {
        SANE_Int got = 0;
        const SANE_Status s = sane_read(h, reinterpret_cast<SANE_Byte *>(chunk.data()), SANE_Int(chunk.size()), &got);
        if (s == SANE_STATUS_EOF)
            break;
        if (s != SANE_STATUS_GOOD) {
            *status = s;
            return false;
        }
        if (data.size() + got > kMaxPageBytes) {
            *status = SANE_STATUS_NO_MEM;
            return false;
        }
        data.append(chunk.constData(), got);
        if (expected > 0 && progress)
            progress(int(data.size() * 100 / expected));
    }
    *status = SANE_STATUS_GOOD;
    return true;
}

// One sample of a line at a given index, scaled to 8 bits.
inline uchar sample(const uchar *line, int index, int depth)
{
    switch (depth) {
    case 1:
        // SANE: a set bit is black in gray frames.
        return (line[index / 8] & (0x80 >> (index % 8))) ? 0 : 255;
    case 16: {
        quint16 v;
        std::memcpy(&v, line + 2 * index, 2);  // host byte order
        return uchar(v >> 8);
    }
    default:
        return line[index];
    }
}

// Frames of one page: one RGB or gray frame, or three single-colour frames.
QImage toImage(const SANE_Parameters &p, const QByteArray (&frames)[3], bool threeFrames)
{
    const int w = p.pixels_per_line;
    const int lines = int(frames[0].size() / p.bytes_per_line);
    if (w <= 0 || lines <= 0)
        return {};
    const bool rgb = threeFrames || p.format == SANE_FRAME_RGB;
    QImage img(w, lines, rgb ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    if (img.isNull())
        return {};
    for (int y = 0; y < lines; ++y) {
        uchar *out = img.scanLine(y);
        if (threeFrames) {
            for (int c = 0; c < 3; ++c) {
                if (frames[c].size() < qint64(y + 1) * p.bytes_per_line)
                    continue;
                const uchar *in = reinterpret_cast<const uchar *>(frames[c].constData()) + qint64(y) * p.bytes_per_line;
                for (int x = 0; x < w; ++x)
                    out[3 * x + c] = p.depth == 1 ? (sample(in, x, 1) ? 0 : 255) : sample(in, x, p.depth);
            }
        } else if (rgb) {
            const uchar *in = reinterpret_cast<const uchar *>(frames[0].constData()) + qint64(y) * p.bytes_per_line;
            for (int x = 0; x < 3 * w; ++x)
                out[x] = p.depth == 1 ? (sample(in, x, 1) ? 0 : 255) : sample(in, x, p.depth);
        } else {
            const uchar *in = reinterpret_cast<const uchar *>(frames[0].constData()) + qint64(y) * p.bytes_per_line;
            for (int x = 0; x < w; ++x)
                out[x] = sample(in, x, p.depth);
        }
    }
    return img;
}

// What the callbacks reach; cleared on the GUI thread when the backend goes,
// so a delivery that arrives later (on the GUI thread too) finds nobody.
struct Sink {
    TScannerEvents events;
    bool alive = true;
};
using SinkRef = std::shared_ptr<Sink>;

// A result on its way to the GUI thread. Posted as an event, it is run and freed
// there alone: the device thread lets go of it when posting, so nothing of it is
// shared across threads afterwards.
class Delivery final : public QEvent
{
public:
    explicit Delivery(std::function<void()> f) : QEvent(Type()), m_f(std::move(f)) {}
    static QEvent::Type Type()
    {
        static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
        return type;
    }
    void Run()
    {
        ThreadHandOver::Acquire(this);
        m_f();
    }

private:
    std::function<void()> m_f;
};

class Deliverer final : public QObject
{
public:
    static Deliverer *Instance()
    {
        static Deliverer *deliverer = [] {
            auto *d = new Deliverer;
            d->moveToThread(QCoreApplication::instance()->thread());
            return d;
        }();
        return deliverer;
    }
    bool event(QEvent *e) override
    {
        if (e->type() != Delivery::Type())
            return QObject::event(e);
        static_cast<Delivery *>(e)->Run();
        return true;
    }
};

class SaneScannerBackend : public TScannerBackend
{
public:
    explicit SaneScannerBackend(const TScannerEvents &events)
        : m_shared(std::make_shared<Shared>())
        , m_sink(std::make_shared<Sink>(Sink{events, true}))
    {
    }
    ~SaneScannerBackend() override
    {
        m_sink->alive = false;
        Cancel();
    }

    void ListDevices() override
    {
        post([](const SinkRef &self) {
            QList<ScanDevice> list;
            QString error;
            if (ensureInit(&error)) {
                const SANE_Device **devices = nullptr;
                if (sane_get_devices(&devices, SANE_FALSE) == SANE_STATUS_GOOD && devices)
                    for (const SANE_Device **d = devices; *d; ++d) {
                        QString product = QString::fromUtf8((*d)->model);
                        if ((*d)->vendor && std::strcmp((*d)->vendor, "Noname") != 0)
                            product = QString::fromUtf8((*d)->vendor) + u' ' + product;
                        list << ScanDevice{QString::fromUtf8((*d)->name), product};
                    }
            } else {
                qCWarning(lcDevices).noquote() << "SANE did not start:" << error;
            }
            deliver(self, [list](Sink &s) { s.events.DevicesListed(list); });
        });
    }

    void ReadOptions(const QString &name) override
    {
        std::shared_ptr<Shared> shared = m_shared;
        post([shared, name](const SinkRef &self) {
            ScanOptions o;
            Device dev(*shared);
            if (ensureInit(nullptr) && dev.open(name) == SANE_STATUS_GOOD) {
                o.Resolutions = dev.resolutions();
                o.Modes = dev.strings(SANE_NAME_SCAN_MODE);
                o.Sources = dev.strings(SANE_NAME_SCAN_SOURCE);
                const double maxW = dev.rangeMax(SANE_NAME_SCAN_BR_X), maxH = dev.rangeMax(SANE_NAME_SCAN_BR_Y);
                for (const char *size : kPageSizes) {
                    const QSizeF mm = ScanPageSizeMm(QLatin1String(size));
                    if (maxW + 0.5 >= mm.width() && maxH + 0.5 >= mm.height())
                        o.PageSizes << QString::fromLatin1(size);
                }
            }
            deliver(self, [name, o](Sink &s) { s.events.OptionsRead(name, o); });
        });
    }

    void Scan(const QString &name, const ScanSettings &settings) override
    {
        if (m_shared->scanning)
            return;
        m_shared->cancel = false;
        m_shared->scanning = true;
        std::shared_ptr<Shared> shared = m_shared;
        post([shared, name, settings](const SinkRef &self) {
            QString error;
            bool cancelled = false;
            runScan(*shared, self, name, settings, &error, &cancelled);
            shared->scanning = false;
            deliver(self, [cancelled, error](Sink &s) { s.events.Finished(cancelled, error); });
        });
    }

    void Cancel() override
    {
        m_shared->cancel = true;
        std::lock_guard<std::mutex> guard(m_shared->lock);
        if (m_shared->handle)
            sane_cancel(m_shared->handle);
    }

    bool IsScanning() const override { return m_shared->scanning; }

private:
    template <typename F>
    class Job final : public QRunnable
    {
    public:
        Job(F f, SinkRef self) : m_f(std::move(f)), m_self(std::move(self)) {}
        void run() override
        {
            ThreadHandOver::Acquire(this);
            try {
                m_f(m_self);
            } catch (...) {
                qCWarning(lcDevices) << "scanner work failed";
            }
        }

    private:
        F m_f;
        SinkRef m_self;
    };

    template <typename F>
    void post(F f)
    {
        // The pool is never waited for: a device that hangs must not keep the client from ending.
        auto *job = new Job<F>(std::move(f), m_sink);
        ThreadHandOver::Release(job);
        sanePool()->start(job);
    }
    template <typename F>
    static void deliver(const SinkRef &self, F f)
    {
        auto *delivery = new Delivery([self, f] {
            if (self->alive)
                f(*self);
        });
        ThreadHandOver::Release(delivery);
        QCoreApplication::postEvent(Deliverer::Instance(), delivery);
    }

    static void runScan(Shared &shared, const SinkRef &self, const QString &name,
                        const ScanSettings &settings, QString *error, bool *cancelled)
    {
        if (!ensureInit(error))
            return;
        Device dev(shared);
        const SANE_Status opened = dev.open(name);
        if (opened != SANE_STATUS_GOOD) {
            *error = QStringLiteral("%1: %2").arg(name, statusText(opened));
            return;
        }
        if (!settings.Mode.isEmpty())
            dev.setString(SANE_NAME_SCAN_MODE, settings.Mode);
        if (!settings.Source.isEmpty())
            dev.setString(SANE_NAME_SCAN_SOURCE, settings.Source);
        if (settings.Resolution > 0)
            dev.setNumber(SANE_NAME_SCAN_RESOLUTION, settings.Resolution);
        const QSizeF mm = ScanPageSizeMm(settings.PageSize);
        if (!mm.isEmpty()) {
            dev.setNumber(SANE_NAME_SCAN_TL_X, 0);
            dev.setNumber(SANE_NAME_SCAN_TL_Y, 0);
            dev.setNumber(SANE_NAME_SCAN_BR_X, mm.width());
            dev.setNumber(SANE_NAME_SCAN_BR_Y, mm.height());
        }
        const bool feeder = IsFeederSource(settings.Source);
        for (int page = 0; page < (feeder ? kMaxFeederPages : 1); ++page) {
            if (shared.cancel) {
                *cancelled = true;
                break;
            }
            QByteArray frames[3];
            SANE_Parameters params{};
            bool threeFrames = false;
            SANE_Status s = SANE_STATUS_GOOD;
            for (;;) {
                s = sane_start(dev.handle());
                if (s != SANE_STATUS_GOOD)
                    break;
                s = sane_get_parameters(dev.handle(), &params);
                if (s != SANE_STATUS_GOOD)
                    break;
                int slot = 0;
                if (params.format == SANE_FRAME_RED || params.format == SANE_FRAME_GREEN
                    || params.format == SANE_FRAME_BLUE) {
                    threeFrames = true;
                    slot = params.format - SANE_FRAME_RED;
                }
                int shown = -1;
                auto progress = [&self, &shown](int percent) {
                    if (percent < shown + 5)
                        return;
                    shown = percent;
                    deliver(self, [percent](Sink &s) { s.events.Progress(percent); });
                };
                if (!readFrame(dev.handle(), params, frames[slot], &s, progress))
                    break;
                if (params.last_frame)
                    break;
            }
            if (shared.cancel || s == SANE_STATUS_CANCELLED) {
                *cancelled = true;
                break;
            }
            // An empty feeder after at least one page is the normal end.
            if (s == SANE_STATUS_NO_DOCS && page > 0)
                break;
            if (s != SANE_STATUS_GOOD) {
                *error = statusText(s);
                break;
            }
            const QImage img = toImage(params, frames, threeFrames);
            if (img.isNull()) {
                *error = QStringLiteral("The scanner sent no picture");
                break;
            }
            deliver(self, [img](Sink &s) { s.events.PageScanned(img); });
        }
        sane_cancel(dev.handle());
    }

    std::shared_ptr<Shared> m_shared;
    SinkRef m_sink;
};

} // namespace

extern "C" Q_DECL_EXPORT TScannerBackend *zudivuvo_scanner_create(int interfaceVersion, const TScannerEvents &events)
{
    if (interfaceVersion != kCaptureDevicesInterfaceVersion)
        return nullptr;
    return new SaneScannerBackend(events);
}
