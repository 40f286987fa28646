#pragma once
// Teaching the bridge driver's installation (INF) file a new hardware ID: one model line
// "%Vel.DeviceDesc%=USBBC2.Dev, USB\VID_xxxx&PID_xxxx" inserted as the first line of the models
// section. The file logic lives here; finding the file from a driver key needs the platform layer.

#include <cstdint>
#include <string>
#include <string_view>

namespace editor {

std::string InfModelLine(uint16_t vendorId, uint16_t productId);

// "[<manufacturer>]", or "[]" when the Manufacturer section names none.
std::string InfModelsHeader(const std::string &manufacturer);

// True for a bare file name: no folder separators, drive, "." or "..", nothing empty.
bool IsPlainFileName(std::string_view name);

enum class InfEdit {
    AlreadyListed, // the model line is in the file already
    Added,         // `text` now holds the line after the header
    NoHeader,      // the models header is not in the file
    Unsupported,   // an encoding we do not rewrite (NUL bytes, UTF-16 without a little-endian mark)
};

// Adds the model line to the INF text `text` (raw file bytes): 8-bit text, or UTF-16LE with its
// byte-order mark. The search for line and header is exact and case-sensitive.
InfEdit AddModelLine(std::string &text, const std::string &header, const std::string &line);

// Reads the INF file, adds the line and replaces the file atomically (a temporary file in the same
// folder renamed over it). 1 when the line is listed afterwards, 0 when the file is left unchanged.
int AddModelLineToFile(const std::string &path, const std::string &header, const std::string &line);

} // namespace editor
