#pragma once
// What the kernel's sysfs says of a USB device, read as outside bytes: an attribute may be missing,
// endless, binary or a device's own text (the product string is whatever the device answered).

#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace platform::sysfs {

// An attribute is one short line; what lies past this many bytes is not read.
constexpr std::size_t kAttributeLimit = 4096;

// The attribute's first line without trailing blanks, at most kAttributeLimit bytes read.
std::string FirstLine(std::istream& in);

// A hub's "maxchild": its port count, 0 when it is not a number from 0 to 255.
int PortCount(std::string_view text);

// A device's "product" as the kit may show it: valid UTF-8 (other bytes become U+FFFD), no control
// characters, at most 126 characters (a string descriptor's room); nothing when empty.
std::optional<std::string> ProductText(std::string_view text);

} // namespace platform::sysfs
