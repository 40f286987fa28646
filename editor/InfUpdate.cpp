#include "InfUpdate.h"

#include <cstdio>

namespace editor {

namespace {

constexpr std::string_view kUtf16LeMark("\xFF\xFE", 2);
constexpr std::size_t kRegistryTextBytes = 260;
constexpr std::size_t kProfileTextBytes = 260;
constexpr const char *kClassKey = "System\\CurrentControlSet\\Control\\Class\\";

std::string WidenLe(std::string_view text)
{
    std::string wide;
    wide.reserve(2 * text.size());
    for (char c : text) {
        wide.push_back(c);
        wide.push_back('\0');
    }
    return wide;
}

// First occurrence of `needle` at an even offset at or after `from` (code-unit aligned).
std::size_t FindAligned(const std::string &haystack, const std::string &needle, std::size_t from)
{
    for (std::size_t at = haystack.find(needle, from); at != std::string::npos;
         at = haystack.find(needle, at + 1))
        if (at % 2 == 0)
            return at;
    return std::string::npos;
}

} // namespace

std::string InfModelLine(uint16_t vendorId, uint16_t productId)
{
    char line[64];
    std::snprintf(line, sizeof line, "%%Vel.DeviceDesc%%=USBBC2.Dev, USB\\VID_%04X&PID_%04X",
                  unsigned(vendorId), unsigned(productId));
    return line;
}

std::string InfModelsHeader(const std::string &manufacturer)
{
    return "[" + manufacturer + "]";
}

bool IsPlainFileName(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    return name.find_first_of(std::string_view("/\\:\0", 4)) == std::string_view::npos;
}

InfEdit AddModelLine(std::string &text, const std::string &header, const std::string &line)
{
    if (text.size() >= 2 && text.compare(0, 2, kUtf16LeMark) == 0) {
        if (text.size() % 2 != 0)
            return InfEdit::Unsupported;
        const std::string wideLine = WidenLe(line);
        if (FindAligned(text, wideLine, 2) != std::string::npos)
            return InfEdit::AlreadyListed;
        const std::string wideHeader = WidenLe(header);
        const std::size_t at = FindAligned(text, wideHeader, 2);
        if (at == std::string::npos)
            return InfEdit::NoHeader;
        text.insert(at + wideHeader.size(), WidenLe("\r\n" + line));
        return InfEdit::Added;
    }
    // A NUL byte means UTF-16 without a mark, or not text at all; rewriting it as 8-bit text would
    // cut the file at that byte.
    if (text.find('\0') != std::string::npos)
        return InfEdit::Unsupported;
    if (text.find(line) != std::string::npos)
        return InfEdit::AlreadyListed;
    const std::size_t at = text.find(header);
    if (at == std::string::npos)
        return InfEdit::NoHeader;
    text.insert(at + header.size(), "\r\n" + line);
    return InfEdit::Added;
}

int UpdateInfFile(platform::Host &host, const std::optional<std::string> &driverKey, uint32_t vendorId,
                  uint32_t productId)
{
    if (!driverKey || driverKey->empty())
        return 0;
    std::string infName;
    if (!host.ReadMachineRegistryString(kClassKey + *driverKey, "InfPath", kRegistryTextBytes, infName))
        return 0;
    // The value is only ever a file in the INF folder; anything else would let a registry entry
    // point the rewrite at an arbitrary file.
    if (!IsPlainFileName(infName))
        return 0;
    const std::string path = host.GetWindowsDirectory() + "\\INF\\" + infName;
    const std::string header =
        InfModelsHeader(host.GetPrivateProfileString("Manufacturer", "%MfgName%", "", kProfileTextBytes, path));
    const std::string line = InfModelLine(uint16_t(vendorId), uint16_t(productId));

    std::string text;
    if (!host.ReadWholeFile(path, text))
        return 0;
    switch (AddModelLine(text, header, line)) {
    case InfEdit::AlreadyListed: return 1;
    case InfEdit::NoHeader:
    case InfEdit::Unsupported: return 0;
    case InfEdit::Added: break;
    }
    return host.ReplaceFileContents(path, text) ? 1 : 0;
}

} // namespace editor
