#pragma once
// Paper scanners behind one small interface: the scan window lists devices,
// offers the settings a device has and gets pages by queued signal. The work
// runs on a thread of its own; the GUI thread never waits for a device.
#include "platform/capturedevices.h"

#include <QObject>

#include <memory>

class ScannerSource : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~ScannerSource() override = default;

    // Probing may take seconds (network scanners): both answer by signal.
    virtual void ListDevices() = 0;
    virtual void ReadOptions(const QString &device) = 0;
    // Pages arrive one by one through pageScanned, then scanFinished.
    virtual void Scan(const QString &device, const ScanSettings &settings) = 0;
    // Stops the running scan; the page being read is dropped.
    virtual void Cancel() = 0;
    virtual bool IsScanning() const = 0;

    // The platform's scanner access (SANE here, in the devices plugin, loaded
    // at the first call); without the plugin every request fails with the reason.
    static std::unique_ptr<ScannerSource> CreateDefault(QObject *parent = nullptr);

Q_SIGNALS:
    void devicesListed(const QList<ScanDevice> &devices);
    void optionsRead(const QString &device, const ScanOptions &options);
    // How much of the page being read has arrived, 0 to 100 (when the device knows its length).
    void scanProgress(int percent);
    void pageScanned(const QImage &page);
    // cancelled: the user stopped it; otherwise error is empty when every page arrived.
    void scanFinished(bool cancelled, const QString &error);
};

Q_DECLARE_METATYPE(ScanDevice)
Q_DECLARE_METATYPE(ScanOptions)
