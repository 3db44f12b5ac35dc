// The program's icon, drawn here: a chip with an arrow loading into it, in a few flat colours.
#pragma once

#include <QIcon>
#include <QImage>

namespace pelkar {

// The icon drawn at size x size pixels (transparent background). Needs no QGuiApplication.
QImage DrawAppIcon(int size);

// The 16 x 16 and 32 x 32 images as one icon.
QIcon AppIcon();

}  // namespace pelkar
