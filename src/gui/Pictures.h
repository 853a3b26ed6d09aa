#pragma once
// The program's own pictures, drawn with QPainter so that no icon theme or image file is
// needed: the six tree images (by image index) and the state pictures of the status views.

#include "component/StatusFrame.h"

#include <QIcon>
#include <QPixmap>

namespace corvan {

// Image indices of the tree's top nodes.
enum TTreeImage { tiAbout = 0, tiHTTP = 1, tiPortMappings = 2, tiDNS = 3, tiSocks = 4, tiUsers = 5 };
constexpr int kTreeImageCount = 6;

// A 16 by 16 tree image; an empty icon for an index outside 0..5.
QIcon TreeIcon(int imageIndex);

// The 48 by 48 state picture: a computer with a grey (stopped), blue (running, idle) or cyan
// (running with traffic) screen; a null pixmap for None.
QPixmap StatusPicture(TStatusPicture picture);

// The program's window icon.
QIcon ProgramIcon();

} // namespace corvan
