#include "SysfsText.h"

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

namespace {

// The code point at `text[i]` and its length in bytes; U+FFFD and 1 for a byte that starts no valid
// sequence (overlong forms and surrogates included).
std::pair<char32_t, std::size_t> DecodeAt(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return {lead, 1};
    std::size_t length;
    char32_t cp, min;
    if ((lead & 0xE0) == 0xC0)
        length = 2, cp = lead & 0x1F, min = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        length = 3, cp = lead & 0x0F, min = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        length = 4, cp = lead & 0x07, min = 0x10000;
    else
        return {0xFFFD, 1};
    if (i + length > text.size())
        return {0xFFFD, 1};
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return {0xFFFD, 1};
        cp = cp << 6 | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return {0xFFFD, 1};
    return {cp, length};
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | cp >> 6));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | cp >> 12));
        out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | cp >> 18));
        out.push_back(char(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

} // namespace

std::optional<std::string> ProductText(std::string_view text)
{
    constexpr std::size_t kMaxCharacters = 126;
    std::string out;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size() && characters < kMaxCharacters;) {
        const auto [cp, length] = DecodeAt(text, i);
        i += length;
        // Control characters would break the lines and tables the text is shown in.
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0))
            continue;
        AppendUtf8(out, cp);
        ++characters;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    if (out.find_first_not_of(' ') == std::string::npos)
        return std::nullopt;
    return out;
}

} // namespace platform::sysfs
