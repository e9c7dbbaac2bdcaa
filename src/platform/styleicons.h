#pragma once
// The style's standard icons, drawn when a size is first painted. Qt reads every
// size of a standard icon (up to 128 pixels) as soon as the icon is made, so a
// window of many items, each with its own copy, keeps megabytes of pictures it
// never shows.
#include <QIcon>
#include <QStyle>

// The icon of the application's style, each size made on first use and kept.
// With sharp set, a size the style has no picture for is scaled down from the
// largest one instead of being drawn smaller (high-density screens).
QIcon StyleIcon(QStyle::StandardPixmap which, bool sharp = false);
