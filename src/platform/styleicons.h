#pragma once
// The style's standard icons, drawn when a size is first painted. Qt reads every
// size of a standard icon (up to 128 pixels) as soon as the icon is made, so a
// window of many items, each with its own copy, keeps megabytes of pictures it
// never shows.
#include <QIcon>
#include <QStyle>

#include <functional>

// The icon of the application's style, each size made on first use and kept.
// With sharp set, a size the style has no picture for is scaled down from the
// largest one instead of being drawn smaller (high-density screens). Every
// caller gets the same icon.
QIcon StyleIcon(QStyle::StandardPixmap which, bool sharp = false);

// The icon kept under key, made by make on first use; the same one for every
// window for as long as the application runs. Qt caches an icon's pictures
// under the icon's own identity: a window that makes its icons anew leaves
// another set of pictures in that cache each time it opens. GUI thread only.
QIcon SharedIcon(const QString &key, const std::function<QIcon()> &make);
