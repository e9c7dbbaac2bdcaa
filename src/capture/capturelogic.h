#pragma once
// Choices of the scan window that do not need a window.
#include <QRect>
#include <QStringList>

namespace CaptureLogic {
// The width a camera size text starts with ("1280*720" -> 1280); 0 when it is not a number.
int SizeWidth(const QString &size);
// The first size wider than 900 pixels, or -1 when the camera has none.
int ChooseCameraSize(const QStringList &sizes);
// Where a frame of frameSize is drawn in an area of areaSize: unscaled when it fits,
// otherwise stretched to the area's height or width, keeping its proportions.
QRect FrameRect(const QSize &frameSize, const QSize &areaSize);
// The source item Acquire works with: the chosen one, the only one when nothing is
// chosen, else -1 (then the window asks the user to choose one).
int AcquireItem(int itemCount, int chosen);
} // namespace CaptureLogic
