// Cameras through Qt Multimedia: frames come from a video sink on the GUI
// thread; a pause keeps the device running and holds the last frame.
#include "platform/capturedevices.h"

#include <QCamera>
#include <QCameraDevice>
#include <QMediaCaptureSession>
#include <QMediaDevices>
#include <QVideoFrame>
#include <QVideoSink>

namespace {

class QtCameraBackend : public TCameraBackend
{
public:
    explicit QtCameraBackend(std::function<void()> frameReady) : m_frameReady(std::move(frameReady)) {}
    ~QtCameraBackend() override { Stop(); }

    QStringList Devices() const override
    {
        QStringList names;
        for (const QCameraDevice &d : QMediaDevices::videoInputs())
            names << d.description();
        return names;
    }

    bool Start(const QString &device) override
    {
        Stop();
        for (const QCameraDevice &d : QMediaDevices::videoInputs()) {
            if (d.description() != device)
                continue;
            m_device = d;
            m_formats.clear();
            for (const QCameraFormat &f : d.videoFormats()) {
                const bool known = std::any_of(m_formats.cbegin(), m_formats.cend(), [&f](const QCameraFormat &k) {
                    return k.resolution() == f.resolution();
                });
                if (!known)
                    m_formats << f;
            }
            // The media pipeline is built only when a camera is really used.
            if (!m_session) {
                m_session = std::make_unique<QMediaCaptureSession>();
                m_sink = std::make_unique<QVideoSink>();
                m_session->setVideoSink(m_sink.get());
                // The sink goes with this object, and its connection with it.
                QObject::connect(m_sink.get(), &QVideoSink::videoFrameChanged, m_sink.get(),
                                 [this](const QVideoFrame &frame) {
                                     if (m_paused || !frame.isValid())
                                         return;
                                     m_latest = frame;
                                     if (m_frameReady)
                                         m_frameReady();
                                 });
            }
            m_camera = std::make_unique<QCamera>(d);
            m_session->setCamera(m_camera.get());
            m_paused = false;
            m_camera->start();
            return true;
        }
        return false;
    }
    bool IsRunning() const override { return m_camera && m_camera->isActive(); }
    bool IsPaused() const override { return m_paused; }
    void Pause() override { m_paused = true; }
    void Resume() override { m_paused = false; }
    void Stop() override
    {
        if (m_camera) {
            m_camera->stop();
            m_session->setCamera(nullptr);
            m_camera.reset();
        }
        m_paused = false;
    }
    QStringList Sizes() const override
    {
        QStringList out;
        for (const QCameraFormat &f : m_formats)
            out << QStringLiteral("%1*%2").arg(f.resolution().width()).arg(f.resolution().height());
        return out;
    }
    void SetSize(int index) override
    {
        if (m_camera && index >= 0 && index < m_formats.size())
            m_camera->setCameraFormat(m_formats.at(index));
    }
    QImage LatestFrame() const override { return m_latest.isValid() ? m_latest.toImage() : QImage(); }

private:
    std::unique_ptr<QMediaCaptureSession> m_session;
    std::unique_ptr<QVideoSink> m_sink;
    std::unique_ptr<QCamera> m_camera;
    QCameraDevice m_device;
    QList<QCameraFormat> m_formats;
    QVideoFrame m_latest;
    bool m_paused = false;
    std::function<void()> m_frameReady;
};

} // namespace

extern "C" Q_DECL_EXPORT TCameraBackend *zudivuvo_camera_create(int interfaceVersion,
                                                               const std::function<void()> &frameReady)
{
    if (interfaceVersion != kCaptureDevicesInterfaceVersion)
        return nullptr;
    return new QtCameraBackend(frameReady);
}
