#pragma once
// What the fuzz targets share: cutting the input into pieces, and the harness's own files.
#include <QByteArray>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace fuzzinput {

// Input pieces: a two-byte length, then that many bytes (cut at the input's end).
class Reader
{
public:
    Reader(const uint8_t *data, size_t size) : m_data(reinterpret_cast<const char *>(data)), m_size(size) {}
    quint8 byte() { return m_pos < m_size ? quint8(m_data[m_pos++]) : 0; }
    QByteArray piece()
    {
        const size_t len = size_t(byte()) | size_t(byte()) << 8;
        return take(len);
    }
    QByteArray rest() { return take(m_size); }

private:
    QByteArray take(size_t len)
    {
        len = std::min(len, m_size - m_pos);
        const QByteArray out(m_data + m_pos, qsizetype(len));
        m_pos += len;
        return out;
    }
    const char *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        std::abort();  // the harness's own disk, not a finding
}

} // namespace fuzzinput
