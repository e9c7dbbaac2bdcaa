#pragma once
// Cameras behind one small interface: the scan window starts a device by
// name, shows its frames and takes the latest one as a still.
#include <QImage>
#include <QObject>
#include <QStringList>

#include <memory>

class CameraSource : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~CameraSource() override = default;

    virtual QStringList Devices() const = 0;
    // Starts the named device; false when there is no such device.
    virtual bool Start(const QString &device) = 0;
    virtual bool IsRunning() const = 0;
    virtual bool IsPaused() const = 0;
    virtual void Pause() = 0;
    virtual void Resume() = 0;
    virtual void Stop() = 0;
    // Picture sizes of the running device as "<width>*<height>", and the choice by index.
    virtual QStringList Sizes() const = 0;
    virtual void SetSize(int index) = 0;
    // A copy of the latest frame; null before the first one.
    virtual QImage LatestFrame() const = 0;

    // The platform's cameras (Qt Multimedia here, in the devices plugin, loaded
    // at the first call); without the plugin there are none.
    static std::unique_ptr<CameraSource> CreateDefault(QObject *parent = nullptr);

Q_SIGNALS:
    // A new frame arrived (on the GUI thread).
    void frameReady();
};
