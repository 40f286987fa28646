#pragma once
// Where the kit's own data lives on this machine (the driver INF on Linux): the directory named by
// QT7730_DATA_DIR when set; else <directory of the program>/../share/qt7730-mfg-kit when it exists
// (an installed kit, and the build tree, which keeps a copy at the same place); else the build tree's
// copy of the source it was built from.

#include <filesystem>

namespace platform {

std::filesystem::path KitDataDirectory();

} // namespace platform
