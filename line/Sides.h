#pragma once
// The cables on the line: every bridge device object present, and which two of them are the two sides
// of one cable. Sides are paired by data, not by guesswork: a short token written into one side's write
// pipe arrives on its partner's read pipe.

#include "BridgeDevice.h"
#include "EepromImage.h"
#include "Host.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace line {

inline constexpr int kMaxDeviceObjects = 32;

struct BridgeSide {
    int number = 0;          // n of "\\.\HOSTLNK-n"
    std::string name;        // "\\.\HOSTLNK-n": what the device layer opens
    bool chipAnswered = false;
    uint32_t chipModel = 0;
    uint32_t chipVersion = 0;
    std::optional<std::array<uint8_t, EepromImage::kEepromSize>> eeprom; // when asked for and readable
    std::string location;    // where it is plugged, as the USB walk places it ("0-2.3"); "" not found

    std::string ShortName() const { return "HOSTLNK-" + std::to_string(number); }
};

// Opens every device object "\\.\HOSTLNK-1" to "-32" that is present and asks its chip; with
// `readEeprom` also reads its EEPROM. In object order.
std::vector<BridgeSide> FindBridgeSides(platform::Host &host, bool readEeprom);

struct CablePair {
    BridgeSide a; // the side with the lower object number
    BridgeSide b;
    std::string Name() const { return a.ShortName() + "+" + b.ShortName(); }
};

struct Pairing {
    std::vector<CablePair> cables;     // by the number of side A
    std::vector<BridgeSide> unpaired;  // no token came from or reached another side
};

// Pairs the sides by data. Every side's read pipe has a read in flight before any token is written, so
// a token reaches its partner's read and never lingers in a chip's buffer for a later test to find.
// Whatever else a read finds (bytes left from an interrupted transfer) is read away and ignored. A side
// whose token arrives one way only (one data direction dead) is still paired: the production test then
// names that direction. Nothing is left in flight when it returns.
Pairing PairByData(platform::Host &host, const std::vector<BridgeSide> &sides,
                   std::chrono::milliseconds wait = std::chrono::milliseconds(600));

// Finds where each paired side is plugged (BridgeSide::location). A device object does not say which
// port it sits on, so data says it: every port of the USB walk that opens as a bridge chip writes a
// token into its write pipe while each paired side has a read in flight; the token that arrives on a
// side came from its partner's port. A side whose partner's token does not arrive (that direction
// dead) stays without a location. Nothing is left in flight when it returns.
void LocateSides(platform::Host &host, Pairing &pairing,
                 std::chrono::milliseconds wait = std::chrono::milliseconds(600));

// "QT7730", "QT7701" or the four hex digits of another model code.
std::string ChipName(uint32_t model);

} // namespace line
