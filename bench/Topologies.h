#pragma once
// Ready-made benches that tests and benchmarks share.

#include "Bench.h"

#include <optional>
#include <string>
#include <vector>

namespace bench {

// 4 host controllers; behind each root hub three external hubs chained 3 deep; 100 ordinary device
// ports in all (25 per controller: 3 on the root hub, 6 + 6 on the first two hubs, 10 on the third).
// Device i has VID 0x046D, PID 0xC000 + i; every tenth (i % 10 == 9) has no driver and every seventh
// (i % 7 == 6) no description.
struct HundredPortTopology {
    std::vector<DeviceId> rootHubs;
    std::vector<DeviceId> hubs;    // external hubs, controller by controller, outer to inner
    std::vector<DeviceId> devices; // in walk order (controller, port, depth-first)
};
HundredPortTopology BuildHundredPortTopology(Bench& bench);

// 16 bridge cables, both sides plugged in (32 sides): 2 controllers with 2-port root hubs, an 8-port
// hub on each root port. Cable k has side A on slot 2k and side B on slot 2k + 1 (slots in walk order).
// The driver's INF is written first, listing the hardware ID of the cables' identity, so every side
// gets a device object (HOSTLNK-1 .. 32 in plug order).
struct SixteenCableTopology {
    std::vector<DeviceId> rootHubs;
    std::vector<DeviceId> hubs;
    std::vector<CableId> cables;
};
SixteenCableTopology BuildSixteenCableTopology(Bench& bench, const EepromBytes& eeprom = CableSpec::BlankEeprom());

// A configured EEPROM: signature, vendor ID, the product ID in the word bPidSelect 3 names, revision,
// vendor and product strings, and the serial-number string in use when `serial` is given.
EepromBytes ConfiguredEeprom(std::uint16_t vid, std::uint16_t pid, const std::string& vendor = "Veltrona",
                             const std::string& product = "USB Bridge Cable",
                             const std::optional<std::string>& serial = std::nullopt, std::uint16_t revision = 0x0100);

} // namespace bench
