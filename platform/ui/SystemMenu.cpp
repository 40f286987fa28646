#include "SystemMenu.h"

// No window system menu to extend on this platform.
bool AppendSystemMenuItem(QWidget *, int, const QString &, std::function<void()>)
{
    return false;
}
