#pragma once
// The program icon, drawn rather than shipped: a bridge cable's two plugs joined through a chip.

#include <QIcon>

QIcon QuillonIcon();
