#pragma once
// Teaching the bridge driver's installation (INF) file a new hardware ID: one model line
// "%Vel.DeviceDesc%=USBBC2.Dev, USB\VID_xxxx&PID_xxxx" inserted as the first line of the models
// section. The registry, the INF folder and the file itself are reached through platform::Host.

#include "Host.h"

#include <cstdint>
#include <optional>
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

// Adds the model line for the IDs (low 16 bits) to the INF file of the driver that serves
// `driverKey`. 1 when the line is listed afterwards, 0 when nothing could be done; the file is then
// unchanged. The "InfPath" value must be a bare file name: it names a file in the system INF folder
// and nothing else. The rewrite goes through Host::ReplaceFileContents, which keeps the old contents
// when it cannot write the new ones whole.
int UpdateInfFile(platform::Host &host, const std::optional<std::string> &driverKey, uint32_t vendorId,
                  uint32_t productId);

} // namespace editor
