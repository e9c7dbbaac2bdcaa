// File-channel sessions driven by a fuzzed client: uploads with resume offsets and
// trailers, downloads with offers, new versions, against a seeded store with a
// valid session. A stored body must always hash to its name.
#include "filechannel.h"
#include "fuzzstore.h"

#include "core/tagtext.h"

#include <QSqlQuery>

#include <cstddef>
#include <cstdint>

namespace {
struct Input
{
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    quint8 byte() { return pos < size ? data[pos++] : 0; }
    QString text(int max)
    {
        const int n = qMin<int>(byte() % (max + 1), int(size - pos));
        const QString s = QString::fromUtf8(reinterpret_cast<const char *>(data + pos), n);
        pos += size_t(n);
        return s;
    }
    QByteArray rest() const { return QByteArray(reinterpret_cast<const char *>(data + pos), qsizetype(size - pos)); }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Store &store = fuzzStore();
    Input in{data, size};
    static const qint32 ops[] = {1, 1, 1, 2, 3, 8, 5, 0};
    const qint32 op = ops[in.byte() % 8];
    static const int owners[] = {2, 3, 4, 5, 6, 0};
    static const qint64 folders[] = {1001, 1002, 1008, 1010, 0, 1, -1, 99999};
    static const qint64 keys[] = {5000, 5001, 5010, 5017, 0, 99999};
    const int owner = owners[in.byte() % 6];
    const qint64 folder = folders[in.byte() % 8];
    const qint64 key = keys[in.byte() % 6];
    const qint64 fileSize = in.byte() * 97;
    const quint8 flags = in.byte();
    QString text = flags & 1 ? QStringLiteral("[EncryptCode]00000000000000000000000000000000[/EncryptCode]")
                             : QStringLiteral("[EncryptCode]%1[/EncryptCode]").arg(fuzzToken());
    text += QStringLiteral("[DestOwnerId]%1[/DestOwnerId][DestFolderId]%2[/DestFolderId][SubFolderName]%3[/SubFolderName]"
                           "[Size]%4[/Size][PathAndName]%5[/PathAndName][ModifyDate]%6[/ModifyDate][SC]%7[/SC]"
                           "[FileKey]%8[/FileKey][Key]%8[/Key][language]%9[/language]")
                .arg(owner).arg(folder).arg(in.text(40)).arg(fileSize).arg(in.text(40))
                .arg(45322336909722LL + in.byte() * 1000000LL).arg(in.byte() % 3).arg(key).arg(in.byte() % 3);
    if (flags & 2)
        text += QStringLiteral("[VersionId]%1[/VersionId]").arg(int(in.byte() % 5) - 1);
    if (flags & 4)
        text += QStringLiteral("[IsPreView]True[/IsPreView]");
    if (flags & 8)
        text += QStringLiteral("[IsCheckout]True[/IsCheckout]");
    if (flags & 16)
        text += QStringLiteral("[IsCheckin]True[/IsCheckin]");
    text += in.text(60);
    // The client's side after the opening (offsets, lengths, body, trailer) comes from the input.
    BufferStream stream(int32BE(op) + encodeParamLine(text) + in.rest());
    FileChannel(store, stream).run();

    // Whatever the client did, the newest stored body is complete under its name.
    QSqlQuery q = store.db().exec(QStringLiteral("SELECT blob, size FROM versions ORDER BY id DESC LIMIT 1"));
    if (q.next()) {
        const QString blob = q.value(0).toString();
        if (Store::hashFile(store.blobPath(blob)) != blob)
            std::abort();
    }
    return 0;
}
