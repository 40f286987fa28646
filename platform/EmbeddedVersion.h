#pragma once
// The program's version, carried inside its own file so that a build with another version shows that
// one. A program embeds it with kit_embed_version(<target> <a.b.c.d>) in CMake, which compiles one
// QT7730_EMBED_VERSION line into the program; the sim Host's GetFileVersion finds the marker again.
// (A Windows build carries a version resource instead.)

#include "Host.h"

#include <optional>
#include <string_view>

#define QT7730_VERSION_MARKER "QT7730-VERSION:"

// Defines the marker "QT7730-VERSION:a.b.c.d" as a kept symbol of the program.
#define QT7730_EMBED_VERSION(version)                                                                           \
    extern "C" __attribute__((used)) const char qt7730_embedded_version[] = QT7730_VERSION_MARKER version;

namespace platform {

// Finds the first well-formed marker in `bytes`: the marker text followed by four decimal numbers of
// at most 65535 separated by dots, then a zero byte. Anything else after a marker is skipped.
std::optional<FileVersion> FindEmbeddedVersion(std::string_view bytes);

// The same over a file, read in pieces; nullopt when it cannot be read or holds no marker.
std::optional<FileVersion> ReadEmbeddedVersion(const std::string& path);

} // namespace platform
