#pragma once
// Tamber's pictures, drawn in code at 48 by 48 pixels with a transparent background.

#include "TamberIconIds.h"

#include <QIcon>
#include <QPixmap>

namespace production {

inline constexpr int kIconSize = 48;

// A null pixmap for an id that has no picture.
QPixmap DrawIcon(int id);
// The same picture drawn at size by size pixels (the program icon at its larger sizes, the installed
// menu icons).
QPixmap DrawIcon(int id, int size);
QIcon ProgramIcon();

} // namespace production
