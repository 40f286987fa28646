#include "AboutText.h"

namespace editor {

std::optional<std::string> AboutVersionLine(const std::optional<platform::FileVersion> &version)
{
    if (!version)
        return std::nullopt;
    return "QT7730 EEPROM Editor " + std::to_string(version->fileVersionMS >> 16) + "." +
           std::to_string(version->fileVersionMS & 0xFFFF);
}

std::optional<std::string> ReadAboutVersionLine(platform::Host &host)
{
    const std::string self = host.GetModuleFileName();
    if (self.empty())
        return std::nullopt;
    return AboutVersionLine(host.GetFileVersion(self));
}

} // namespace editor
