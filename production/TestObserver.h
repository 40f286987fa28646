#pragma once
// What a cable's run left behind, for the records: the steps as the worker logged them, what the chip
// answered and the EEPROM bytes read back, and the fields in which those bytes differ from the image.
// The worker itself is not changed by any of this: the observer sits between it and the machine.

#include "EepromImage.h"
#include "TestWorker.h"

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace production {

// Records what the sides answered on the way through to the real machine. One run at a time.
class ObservingCableIo : public CableIo {
public:
    explicit ObservingCableIo(CableIo &inner) : m_inner(inner) {}
    std::unique_ptr<SideDevice> NewSide() override;
    int TransferTest(const std::string &readPath, const std::string &writePath) override
    {
        return m_inner.TransferTest(readPath, writePath);
    }

    struct Seen {
        std::optional<uint32_t> chipModel, chipVersion;
        std::optional<std::array<uint8_t, EepromImage::kEepromSize>> eeprom; // a whole read that succeeded
    };
    Seen Observed() const;

private:
    friend class ObservedSide;
    CableIo &m_inner;
    mutable std::mutex m_mutex;
    Seen m_seen;
};

struct FieldDifference {
    std::string field;
    std::string expected;
    std::string found;
};

// The named fields in which `found` differs from `expected` (vendor ID, product IDs 1 to 4, revision,
// bPidSelect, serial index, vendor, product and serial texts), then every other differing byte as
// "byte 0xNN". With `maskSerial` both serial texts are first set to the same fixed text, as the
// production test compares them. At most `limit` entries; a last "more bytes" entry counts the rest.
std::vector<FieldDifference> DifferingFields(const uint8_t *expected, const uint8_t *found, bool maskSerial,
                                             std::size_t limit = 24);

} // namespace production
