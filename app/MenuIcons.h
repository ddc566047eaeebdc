// The main menu's icons (the image list ilMain): small pictures drawn by the
// program into 32-bit bitmaps with alpha.
#pragma once

#include <windows.h>

namespace qov::app {

// Icon indexes of the menu.
enum TMenuIcon { iconOpen = 3, iconPlay = 55, iconStop = 56, iconPause = 57, iconForward = 58 };

// A new 16 x 16 bitmap of the icon (nil for an unknown index); the caller
// deletes it.
HBITMAP CreateMenuIcon(int index);

} // namespace qov::app
