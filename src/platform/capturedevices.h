#pragma once
// What the capture devices plugin offers the client: scanners (SANE) and
// cameras (Qt Multimedia), loaded when a scan window first needs a device so
// a resident client never maps them. Plain interfaces with callbacks, no
// QObject across the boundary, so no class of ours exists twice.
#include <QImage>
#include <QList>
#include <QSizeF>
#include <QString>
#include <QStringList>

#include <functional>

struct ScanDevice {
    QString Name;     // what the back end opens ("test:0", "epson2:libusb:001:004")
    QString Product;  // what a user recognises
};

// The settings the scan window offers; empty lists and zero mean the device has none.
struct ScanOptions {
    QList<int> Resolutions;   // dots per inch
    QStringList Modes;        // "Color", "Gray", "Lineart" ...
    QStringList Sources;      // "Flatbed", "Automatic Document Feeder" ...
    QStringList PageSizes;    // sizes the device's scan area can hold ("A4", "Letter", ...)
};

struct ScanSettings {
    int Resolution = 0;       // 0: the device's own
    QString Mode;
    QString Source;
    QString PageSize;
};

// A page size by name, in millimetres; an unknown name gives an empty size.
inline QSizeF ScanPageSizeMm(const QString &name)
{
    struct Size {
        const char *name;
        double w, h;
    };
    static constexpr Size sizes[] = {{"A4", 210, 297}, {"Letter", 215.9, 279.4}, {"Legal", 215.9, 355.6},
                                     {"B5", 176, 250},  {"A5", 148, 210},         {"A6", 105, 148}};
    for (const Size &s : sizes)
        if (name.compare(QLatin1String(s.name), Qt::CaseInsensitive) == 0)
            return QSizeF(s.w, s.h);
    return {};
}

// Feeders give pages until they are empty; a flatbed gives one per scan.
inline bool IsFeederSource(const QString &source)
{
    return source.contains(QLatin1String("feeder"), Qt::CaseInsensitive)
           || source.contains(QLatin1String("ADF"), Qt::CaseSensitive)
           || source.contains(QLatin1String("duplex"), Qt::CaseInsensitive);
}

// Every callback runs on the GUI thread, and never after the backend is deleted.
struct TScannerEvents {
    std::function<void(const QList<ScanDevice> &)> DevicesListed;
    std::function<void(const QString &device, const ScanOptions &)> OptionsRead;
    std::function<void(int percent)> Progress;
    std::function<void(const QImage &page)> PageScanned;
    std::function<void(bool cancelled, const QString &error)> Finished;
};

class TScannerBackend
{
public:
    virtual ~TScannerBackend() = default;
    virtual void ListDevices() = 0;
    virtual void ReadOptions(const QString &device) = 0;
    virtual void Scan(const QString &device, const ScanSettings &settings) = 0;
    virtual void Cancel() = 0;
    virtual bool IsScanning() const = 0;
};

class TCameraBackend
{
public:
    virtual ~TCameraBackend() = default;
    virtual QStringList Devices() const = 0;
    virtual bool Start(const QString &device) = 0;
    virtual bool IsRunning() const = 0;
    virtual bool IsPaused() const = 0;
    virtual void Pause() = 0;
    virtual void Resume() = 0;
    virtual void Stop() = 0;
    virtual QStringList Sizes() const = 0;
    virtual void SetSize(int index) = 0;
    virtual QImage LatestFrame() const = 0;
};

// The entry points the plugin exports. Another interface version answers
// null, so an old plugin beside a new client is refused.
using TScannerCreateFn = TScannerBackend *(*)(int interfaceVersion, const TScannerEvents &events);
// frameReady runs on the GUI thread for every new frame.
using TCameraCreateFn = TCameraBackend *(*)(int interfaceVersion, const std::function<void()> &frameReady);
inline constexpr char kScannerCreateSymbol[] = "zudivuvo_scanner_create";
inline constexpr char kCameraCreateSymbol[] = "zudivuvo_camera_create";
inline constexpr int kCaptureDevicesInterfaceVersion = 1;
// File name of the plugin without "lib" and ".so".
inline constexpr char kCaptureDevicesPluginName[] = "zudivuvo_devices";
