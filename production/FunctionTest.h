#pragma once
// The data test: a pattern of 131,071 bytes sent through the cable once in each direction.

#include "TestWorker.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace production {

inline constexpr std::size_t kPatternSize = 0x1FFFF; // one byte less than 128 KiB
inline constexpr uint32_t kTransferLimitMs = 2000;   // both transfers of one direction together
inline constexpr std::size_t kMaxSidePath = 259;     // characters a side path can hold

inline constexpr const char *kTextAToB = "Send data from side A to B\t";
inline constexpr const char *kTextBToA = "Send data from side B to A\t";

// Byte i is (i + 1) mod 256.
const uint8_t *TestPattern();
// True when `received` holds exactly the pattern (kPatternSize bytes).
bool PatternArrived(const uint8_t *received);

// Opens the side by its device path, sends the prepare request (its answer is ignored) and closes it.
// Fails for a missing path, a path longer than a side path can hold, or a side that does not open.
bool PrepareSide(const CableEnd &side, CableIo &io, std::string &path);

// Completes the "Verify configuration" line, then tests A<-B and B<-A. The first failure ends it.
bool RunFunctionTest(const CableEnd &sideA, const CableEnd &sideB, bool verifySkipped, CableIo &io, const LogFn &log);

} // namespace production
