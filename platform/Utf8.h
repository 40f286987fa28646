#pragma once
// UTF-8 as the kit checks it in outside bytes (cable texts, device strings, JSON): well formed, in its
// shortest form, no surrogates, nothing past U+10FFFF.

#include <string>
#include <string_view>
#include <utility>

namespace platform::utf8 {

inline constexpr char32_t kReplacement = 0xFFFD;

// The character at `text[at]` and its length in bytes; {kReplacement, 0} for a byte that begins no
// valid sequence.
inline std::pair<char32_t, std::size_t> Decode(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return {lead, 1};
    std::size_t length;
    char32_t cp, shortest;
    if ((lead & 0xE0) == 0xC0)
        length = 2, cp = lead & 0x1F, shortest = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        length = 3, cp = lead & 0x0F, shortest = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        length = 4, cp = lead & 0x07, shortest = 0x10000;
    else
        return {kReplacement, 0};
    if (at + length > text.size())
        return {kReplacement, 0};
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80)
            return {kReplacement, 0};
        cp = cp << 6 | (byte(at + k) & 0x3F);
    }
    if (cp < shortest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return {kReplacement, 0};
    return {cp, length};
}

inline void Append(std::string &out, char32_t cp)
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

} // namespace platform::utf8
