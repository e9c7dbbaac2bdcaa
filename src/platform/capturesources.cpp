// The scanner and camera of the client: signals on our side, the devices in
// the plugin, loaded at the first request so a resident client never maps
// SANE or Qt Multimedia.
#include "platform/camerasource.h"
#include "platform/logging.h"
#include "platform/plugins.h"
#include "platform/scannersource.h"

namespace {

// The plugin's entry point, resolved once; null with *error when it cannot be loaded.
template <typename Fn>
Fn resolveDevices(const char *symbol, QString *error)
{
    return reinterpret_cast<Fn>(Plugins::Resolve(QLatin1String(kCaptureDevicesPluginName), symbol, error));
}

class PluginScannerSource : public ScannerSource
{
public:
    using ScannerSource::ScannerSource;

    void ListDevices() override
    {
        if (backend())
            m_backend->ListDevices();
        else
            QMetaObject::invokeMethod(this, [this] { Q_EMIT devicesListed({}); }, Qt::QueuedConnection);
    }
    void ReadOptions(const QString &device) override
    {
        if (backend())
            m_backend->ReadOptions(device);
        else
            QMetaObject::invokeMethod(this, [this, device] { Q_EMIT optionsRead(device, {}); }, Qt::QueuedConnection);
    }
    void Scan(const QString &device, const ScanSettings &settings) override
    {
        if (backend())
            m_backend->Scan(device, settings);
        else
            QMetaObject::invokeMethod(this, [this] { Q_EMIT scanFinished(false, m_error); }, Qt::QueuedConnection);
    }
    void Cancel() override
    {
        if (m_backend)
            m_backend->Cancel();
    }
    bool IsScanning() const override { return m_backend && m_backend->IsScanning(); }

private:
    TScannerBackend *backend()
    {
        if (m_backend || m_tried)
            return m_backend.get();
        m_tried = true;
        const auto create = resolveDevices<TScannerCreateFn>(kScannerCreateSymbol, &m_error);
        TScannerEvents events;
        // The backend calls these on the GUI thread and never after it is deleted (with this object).
        events.DevicesListed = [this](const QList<ScanDevice> &devices) { Q_EMIT devicesListed(devices); };
        events.OptionsRead = [this](const QString &device, const ScanOptions &o) { Q_EMIT optionsRead(device, o); };
        events.Progress = [this](int percent) { Q_EMIT scanProgress(percent); };
        events.PageScanned = [this](const QImage &page) { Q_EMIT pageScanned(page); };
        events.Finished = [this](bool cancelled, const QString &error) { Q_EMIT scanFinished(cancelled, error); };
        if (create)
            m_backend.reset(create(kCaptureDevicesInterfaceVersion, events));
        if (create && !m_backend)
            m_error = QStringLiteral("the scanner plugin is of another version");
        if (!m_backend)
            qCWarning(lcPlatform).noquote() << "No scanners:" << m_error;
        return m_backend.get();
    }

    std::unique_ptr<TScannerBackend> m_backend;
    bool m_tried = false;
    QString m_error;
};

class PluginCameraSource : public CameraSource
{
public:
    using CameraSource::CameraSource;

    QStringList Devices() const override { return backend() ? m_backend->Devices() : QStringList(); }
    bool Start(const QString &device) override { return backend() && m_backend->Start(device); }
    bool IsRunning() const override { return m_backend && m_backend->IsRunning(); }
    bool IsPaused() const override { return m_backend && m_backend->IsPaused(); }
    void Pause() override
    {
        if (m_backend)
            m_backend->Pause();
    }
    void Resume() override
    {
        if (m_backend)
            m_backend->Resume();
    }
    void Stop() override
    {
        if (m_backend)
            m_backend->Stop();
    }
    QStringList Sizes() const override { return m_backend ? m_backend->Sizes() : QStringList(); }
    void SetSize(int index) override
    {
        if (m_backend)
            m_backend->SetSize(index);
    }
    QImage LatestFrame() const override { return m_backend ? m_backend->LatestFrame() : QImage(); }

private:
    // Listing the devices is the first use; const because Devices() is.
    TCameraBackend *backend() const
    {
        if (m_backend || m_tried)
            return m_backend.get();
        m_tried = true;
        QString error;
        const auto create = resolveDevices<TCameraCreateFn>(kCameraCreateSymbol, &error);
        auto *self = const_cast<PluginCameraSource *>(this);
        if (create)
            m_backend.reset(create(kCaptureDevicesInterfaceVersion, [self] { Q_EMIT self->frameReady(); }));
        if (!m_backend)
            qCWarning(lcPlatform).noquote() << "No cameras:" << (create ? QStringLiteral("another plugin version") : error);
        return m_backend.get();
    }

    mutable std::unique_ptr<TCameraBackend> m_backend;
    mutable bool m_tried = false;
};

} // namespace

std::unique_ptr<ScannerSource> ScannerSource::CreateDefault(QObject *parent)
{
    static const int registered = [] {
        qRegisterMetaType<ScanDevice>();
        qRegisterMetaType<ScanOptions>();
        return 0;
    }();
    Q_UNUSED(registered);
    return std::make_unique<PluginScannerSource>(parent);
}

std::unique_ptr<CameraSource> CameraSource::CreateDefault(QObject *parent)
{
    return std::make_unique<PluginCameraSource>(parent);
}
