#pragma once
// SHA-256 (FIPS 180-4), for the image file's fingerprint in every record.

#include <array>
#include <cstddef>
#include <cstdint>

namespace line {

std::array<std::uint8_t, 32> Sha256(const void *bytes, std::size_t size);

} // namespace line
