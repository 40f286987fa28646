#pragma once
// The configuration worker's view of one cable side, served by the device layer's BridgeDevice.

#include "BridgeDevice.h"
#include "ConfigWorker.h"

namespace editor {

class BridgeConfigDevice : public ConfigDevice {
public:
    explicit BridgeConfigDevice(platform::Host &host) : m_device(host) {}

    bool Open(const std::string &path) override { return m_device.Open(path); }
    bool QueryChip(uint32_t *model, uint32_t *version) override { return m_device.QueryChip(model, version); }
    bool WriteEeprom(uint16_t offset, const uint8_t *data, uint16_t length) override
    {
        return m_device.WriteEeprom(data, offset, length);
    }
    bool ReadEeprom(uint16_t offset, uint8_t *data, uint16_t length) override
    {
        return m_device.ReadEeprom(data, offset, length);
    }
    void Close() override { m_device.Close(); }

private:
    BridgeDevice m_device;
};

} // namespace editor
