#pragma once
// One cable's run on the worker thread: open side A, check the chip, verify the EEPROM against the
// batch image, then the data test in both directions. Plain C++ over CableIo, so tests can drive every
// step's outcome without a bench.

#include "EepromImage.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace production {

// One matching end of the cable under test, copied out of the topology walk's record: the run never
// reads the walk's storage, so a later walk cannot pull it from under the worker.
struct CableEnd {
    std::optional<std::string> deviceId;
    std::optional<std::string> devicePath;
    std::optional<std::string> location; // where it is plugged, as the USB walk places it ("0-2.3")
};

struct RunInputs {
    std::array<uint8_t, EepromImage::kEepromSize> imageBytes{};
    uint32_t chipModel = 0;
    uint32_t chipVersion = 0;
    bool blank = false; // the image's m_bBlank: no chip-version compare, no EEPROM read
    CableEnd sideA, sideB;
};

using LogFn = std::function<void(const std::string &)>;

// One side of a cable opened through the bridge driver by its device path.
class SideDevice {
public:
    virtual ~SideDevice() = default;
    virtual bool Open(const std::string &path) = 0;
    virtual void Close() = 0;
    virtual bool QueryChip(uint32_t *model, uint32_t *version) = 0;
    virtual bool ReadEeprom(uint8_t *dest, uint16_t offset, uint16_t length) = 0;
    virtual bool SendPrepareRequest() = 0;
};

// The machine as the worker sees it.
class CableIo {
public:
    virtual ~CableIo() = default;
    virtual std::unique_ptr<SideDevice> NewSide() = 0;
    // 1 when the test pattern written into the write pipe of `writePath` arrives unchanged on the read
    // pipe of `readPath` within the time limit, else 0. Nothing is left in flight when it returns.
    virtual int TransferTest(const std::string &readPath, const std::string &writePath) = 0;
};

// The fixed serial text both sides of the EEPROM comparison carry.
inline constexpr const char *kFixedSerial = "000011112222";

// The run's body: returns pass or fail; on fail the caller logs "FAIL\n".
bool TestWorker(const RunInputs &in, CableIo &io, const LogFn &log);

// How the flow runs a cable; normally TestWorker over the real machine.
using CableRunner = std::function<bool(const RunInputs &, const LogFn &)>;

} // namespace production
