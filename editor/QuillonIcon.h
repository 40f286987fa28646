#pragma once
// The program icon, drawn rather than shipped: a bridge cable's two plugs joined through a chip.

#include <QIcon>
#include <QPixmap>

QIcon QuillonIcon();
// The same picture drawn at size by size pixels (the installed menu icons are rendered from it).
QPixmap DrawQuillonIcon(int size);
