#include "EmbeddedVersion.h"

#include <cstring>
#include <fstream>
#include <vector>

namespace platform {

namespace {

constexpr std::string_view kMarker = QT7730_VERSION_MARKER;
constexpr std::size_t kLongestVersion = 24; // "65535.65535.65535.65535" and its zero byte

// Parses "a.b.c.d\0" at the start of `text`.
std::optional<FileVersion> ParseVersion(std::string_view text)
{
    std::uint32_t parts[4];
    std::size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        std::uint32_t value = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 6) {
            value = value * 10 + std::uint32_t(text[pos] - '0');
            ++pos, ++digits;
        }
        if (digits == 0 || value > 0xFFFF || pos >= text.size())
            return std::nullopt;
        parts[i] = value;
        if (text[pos++] != (i < 3 ? '.' : '\0'))
            return std::nullopt;
    }
    FileVersion v;
    v.fileVersionMS = v.productVersionMS = parts[0] << 16 | parts[1];
    v.fileVersionLS = v.productVersionLS = parts[2] << 16 | parts[3];
    return v;
}

} // namespace

std::optional<FileVersion> FindEmbeddedVersion(std::string_view bytes)
{
    for (std::size_t at = bytes.find(kMarker); at != std::string_view::npos; at = bytes.find(kMarker, at + 1))
        if (auto v = ParseVersion(bytes.substr(at + kMarker.size())))
            return v;
    return std::nullopt;
}

std::optional<FileVersion> ReadEmbeddedVersion(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    // Pieces overlap by the longest marker, so a marker across a boundary is still found whole.
    constexpr std::size_t kPiece = 1 << 20, kOverlap = kMarker.size() + kLongestVersion;
    std::vector<char> buffer(kPiece + kOverlap);
    std::size_t kept = 0;
    for (;;) {
        in.read(buffer.data() + kept, std::streamsize(kPiece));
        const std::size_t got = std::size_t(in.gcount());
        if (got == 0)
            return std::nullopt;
        const std::size_t size = kept + got;
        if (auto v = FindEmbeddedVersion(std::string_view(buffer.data(), size)))
            return v;
        kept = std::min(size, kOverlap);
        std::memmove(buffer.data(), buffer.data() + size - kept, kept);
    }
}

} // namespace platform
