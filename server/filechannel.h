#pragma once
// The file channel: uploads with resume (op 1), downloads (op 2, op 8) and
// new versions (op 3). Bodies go to staging first; only complete, verified
// bodies reach the store.
#include "store.h"
#include "wire.h"

class QFile;

// True while a connection works on that partial body.
bool isStagingFileBusy(const QString &path);

class FileChannel
{
public:
    // Uploads are refused when they would leave less than diskReserve bytes free.
    FileChannel(Store &store, ByteStream &stream, qint64 diskReserve = 0)
        : m_store(store), m_stream(stream), m_diskReserve(diskReserve) {}
    // Runs one exchange after the request line has been read.
    void run();

private:
    void upload(const QString &text);
    void download(const QString &text, bool raw);
    void uploadVersion(const QString &text);
    // Streams exactly n bytes from the socket to file; returns the bytes written.
    qint64 receiveBody(QFile &file, qint64 n, bool *ioError);
    bool refuseUpload(int status, const QString &message = {});
    bool roomFor(qint64 bytes) const;

    Store &m_store;
    ByteStream &m_stream;
    qint64 m_diskReserve;
};
