#pragma once
// Items in the window's system menu (the menu of the title bar's icon): a separator and the item are
// appended, and choosing the item calls `chosen` on the GUI thread. Only Windows has a system menu
// the program may extend; elsewhere nothing is added and the answer is false, so the caller offers
// the command another way (a context menu).

#include <QString>

#include <functional>

class QWidget;

// `command` is the item's id (a multiple of 16 below 0xF000, as system-menu commands are). The item
// lives as long as the window. True when the item was added.
bool AppendSystemMenuItem(QWidget *window, int command, const QString &text, std::function<void()> chosen);
