#pragma once
// What the bench's source files share: a cable and a transfer in flight on its pipes. Private to
// bench/.

#include "Bench.h"

#include <deque>

namespace bench {

struct Bench::Transfer {
    ObjectHandle handle = 0;
    bool isRead = false;
    std::uint32_t capacity = 0;     // reads
    std::uint32_t requested = 0;    // writes: the caller's byte count
    std::vector<std::uint8_t> data; // reads: what arrived; writes: what is still to be delivered
    std::size_t pos = 0;            // writes: bytes delivered
    std::uint32_t count = 0;        // the count reported at completion
    Completion done;
};

struct Bench::Cable {
    CableId id = 0;
    ChipSpec chip;
    EepromBytes eeprom{};
    CableFaults faults;
    struct SideState {
        DeviceId plugged = 0;
        bool plugging = false; // between the claim of a plug-in and the PC model's answer
        SideFaults faults;
        std::deque<std::unique_ptr<Transfer>> reads;  // pending on this side's read pipe
        std::deque<std::unique_ptr<Transfer>> writes; // pending on this side's write pipe
    };
    std::array<SideState, 2> sides;
};

} // namespace bench
