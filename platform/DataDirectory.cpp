#include "DataDirectory.h"

#include <cstdlib>
#include <system_error>

namespace platform {

std::filesystem::path KitDataDirectory()
{
    if (const char* dir = std::getenv("QT7730_DATA_DIR"); dir && *dir)
        return dir;
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto installed = program.parent_path().parent_path() / "share" / "qt7730-mfg-kit";
        if (std::filesystem::is_directory(installed, error))
            return installed;
    }
    return KIT_BUILD_DATA_DIR;
}

} // namespace platform
