// The first command-line argument as a browser link could carry it.
#include "app/startup.h"
#include "core/clientconfigx.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString arg = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    (void)LooksPercentEncoded(arg);
    (void)PercentDecode(arg);
    // A store that cannot be saved: the walk runs without touching the disk.
    TClientConfigX config(QStringLiteral("/dev/null/fuzz/rvc.sys"));
    const TStartupResult r = TStartup(config, [] {}).Run(arg);
    if (r.pending.Code >= 512 || (r.registerAndExit && r.pending.Code != 0))
        __builtin_trap();
    return 0;
}
