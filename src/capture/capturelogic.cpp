#include "capture/capturelogic.h"

#include <cmath>

namespace CaptureLogic {

int SizeWidth(const QString &size)
{
    bool ok = false;
    const int w = size.section(u'*', 0, 0).trimmed().toInt(&ok);
    return ok ? w : 0;
}

int ChooseCameraSize(const QStringList &sizes)
{
    for (int i = 0; i < sizes.size(); ++i)
        if (SizeWidth(sizes.at(i)) > 900)
            return i;
    return -1;
}

QRect FrameRect(const QSize &frameSize, const QSize &areaSize)
{
    const double w = frameSize.width(), h = frameSize.height();
    const double a = (w + 1) / (areaSize.width() + 1), b = (h + 1) / (areaSize.height() + 1);
    if (a <= 1 && b <= 1)
        return QRect(QPoint(0, 0), frameSize);
    if (b >= a)
        return QRect(0, 0, int(std::lround(w / b)), areaSize.height());
    return QRect(0, 0, areaSize.width(), int(std::lround(h / a)));
}

int AcquireItem(int itemCount, int chosen)
{
    if (chosen >= 0 && chosen < itemCount)
        return chosen;
    return itemCount == 1 ? 0 : -1;
}

} // namespace CaptureLogic
