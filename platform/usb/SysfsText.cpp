#include "SysfsText.h"

#include "Utf8.h"

#include <charconv>

namespace platform::sysfs {

std::string FirstLine(std::istream& in)
{
    std::string value;
    char c;
    while (value.size() < kAttributeLimit && in.get(c) && c != '\n')
        value.push_back(c);
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t'))
        value.pop_back();
    return value;
}

int PortCount(std::string_view text)
{
    int ports = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ports);
    if (error != std::errc() || end != text.data() + text.size() || ports < 0 || ports > 255)
        return 0;
    return ports;
}

std::optional<std::string> ProductText(std::string_view text)
{
    constexpr std::size_t kMaxCharacters = 126;
    std::string out;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size() && characters < kMaxCharacters;) {
        const auto [cp, length] = utf8::Decode(text, i);
        i += length ? length : 1; // a stray byte: shown as U+FFFD
        // Control characters would break the lines and tables the text is shown in.
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0))
            continue;
        utf8::Append(out, cp);
        ++characters;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    if (out.find_first_not_of(' ') == std::string::npos)
        return std::nullopt;
    return out;
}

} // namespace platform::sysfs
