// Web commands as the hand-off file carries them: the command text, the key and
// name lists of the version-control and bulk-download commands, and the local copy
// name of the open and edit commands.
#include "core/tagtext.h"
#include "core/textfile.h"
#include "web/webcommand.h"
#include "web/webmodule.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
// Lists reach the windows only when they pair up.
void checkLists(const QList<qint64> &keys, const QStringList &names)
{
    if (keys.isEmpty() || names.size() < keys.size())
        std::abort();
    for (const QString &n : names)
        if (n.isEmpty())
            std::abort();
}

class RecordingTarget : public TWebCommandTarget
{
public:
    void SetClipboardText(const QString &) override {}
    bool OpenWithDesktop(const QString &, QString *) override { return false; }
    bool DownloadForOpen(qint64, qint64, const QString &, QString *) override { return false; }
    bool VersionControl(int, const QList<qint64> &keys, const QStringList &names, QString *) override
    {
        checkLists(keys, names);
        return true;
    }
    bool BulkDownload(const QList<qint64> &keys, const QStringList &names, QString *) override
    {
        checkLists(keys, names);
        return true;
    }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char arg0[] = "fuzz_webcmd";
    static char *argv[] = {arg0, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir dir;
    static RecordingTarget target;
    static TWebModule module(target, HSL_ENG, dir.path() + u'/', dir.path() + u'/');

    const QString text = DecodeTextBytes(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    const TWebCmd cmd = ParseWebCmdText(text);
    if (cmd.Code == 14 || cmd.Code == 15) {
        // These download and start programs; the name of our copy is what comes from
        // outside, and it must stay one name inside the temporary folder.
        const QString name = TWebModule::OpenCopyName(GetTagValue(cmd.Cmd, QStringLiteral("filename")));
        if (name.isEmpty() || name.contains(u'/') || name.contains(u'\\') || name == QLatin1String(".")
            || name == QLatin1String("..") || QFileInfo(QDir(dir.path()).filePath(name)).dir() != QDir(dir.path()))
            std::abort();
        return 0;
    }
    module.Queue().Add(cmd);
    module.DoWebMessage();
    return 0;
}
