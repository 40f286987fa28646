#pragma once
// One side of a bridge cable, opened through the chip's driver: a control channel for vendor requests
// and the two bulk pipes. A plain value used on one thread within one operation.

#include "Host.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The buffer sent with IOCTL_VENDOR_REQUEST, as input and output at once: a USB setup packet followed
// by the data area. Every request zeroes the whole buffer before filling its fields.
struct VendorRequest {
    static constexpr std::size_t kMaxSize = 18;
    static constexpr uint8_t kTypeIn = 0xC0;  // vendor request, device to host
    static constexpr uint8_t kTypeOut = 0x40; // vendor request, host to device

    uint8_t bytes[kMaxSize] = {};
    uint32_t size = 0; // the buffer size this request is sent with

    void Prepare(uint32_t bufferSize, uint8_t requestType, uint8_t request, uint16_t index, uint16_t length);
    void SetIndex(uint16_t index);

    uint8_t bmRequestType() const { return bytes[0]; }
    uint8_t bRequest() const { return bytes[1]; }
    uint16_t wValue() const { return static_cast<uint16_t>(bytes[2] | bytes[3] << 8); }
    uint16_t wIndex() const { return static_cast<uint16_t>(bytes[4] | bytes[5] << 8); }
    uint16_t wLength() const { return static_cast<uint16_t>(bytes[6] | bytes[7] << 8); }
    uint8_t *Data() { return bytes + 8; }
    const uint8_t *Data() const { return bytes + 8; }
};

// Vendor request codes and the buffer size each one is sent with.
enum BridgeRequest : uint8_t {
    REQUEST_VERSION = 0xF7,
    REQUEST_STATUS = 0xFB,
    REQUEST_PREPARE = 0xFD,
    REQUEST_EEPROM_READ = 0xFE,
    REQUEST_EEPROM_WRITE = 0xFF,
};
inline constexpr uint32_t kChipQueryBufferSize = 12;
inline constexpr uint32_t kPrepareBufferSize = 10;
inline constexpr uint32_t kEepromBufferSize = 18;
inline constexpr uint16_t kEepromBlock = 8;
inline constexpr uint16_t kEepromBytes = 256;
// The version a QT7701 is given when only the status query could identify it.
inline constexpr uint32_t kStatusOnlyVersion = 0x8003;

// Device names with a pipe sub-path appended must fit this buffer, terminator included.
inline constexpr std::size_t kDeviceNameBuffer = 260;

class BridgeDevice {
public:
    explicit BridgeDevice(platform::Host &host = platform::DefaultHost()) : m_host(host) {}
    ~BridgeDevice() { Close(); }
    BridgeDevice(const BridgeDevice &) = delete;
    BridgeDevice &operator=(const BridgeDevice &) = delete;

    // Opens the control channel, the read pipe (name + "\3") and the write pipe (name + "\2"), all
    // or nothing.
    bool Open(std::string_view name);
    void Close();
    bool IsOpen() const { return m_hControl != platform::INVALID_HANDLE; }

    // Identifies the chip: the version query first, the status query when that fails. Outputs are
    // optional and written only on success.
    bool QueryChip(uint32_t *model, uint32_t *version);

    // EEPROM bytes [offset, offset + length) in 8-byte blocks; stops at the first failed block, and
    // blocks already moved stay moved. Lengths that are not whole blocks are refused.
    bool ReadEeprom(uint8_t *dest, uint16_t offset, uint16_t length);
    bool WriteEeprom(const uint8_t *src, uint16_t offset, uint16_t length);

    // Readies the chip for the data test.
    bool SendPrepareRequest();

    platform::Handle ControlHandle() const { return m_hControl; }
    platform::Handle ReadPipe() const { return m_hReadPipe; }
    platform::Handle WritePipe() const { return m_hWritePipe; }

    // The chip model a version word names (0 when it names none).
    static uint32_t ModelFromVersion(uint32_t version);
    // Whether two status bytes identify a QT7701.
    static bool IsQt7701Status(uint8_t s0, uint8_t s1);

private:
    bool Send(VendorRequest &request);
    bool TransferEeprom(bool write, uint8_t *data, uint16_t offset, uint16_t length);

    platform::Host &m_host;
    platform::Handle m_hControl = platform::INVALID_HANDLE;
    platform::Handle m_hReadPipe = platform::INVALID_HANDLE;
    platform::Handle m_hWritePipe = platform::INVALID_HANDLE;
};

// Probes the device objects "\\.\HOSTLNK-1" to "\\.\HOSTLNK-32": bit n-1 is set when object n opens
// fully and its chip is of `wantedModel`. A raised `stop` ends the scan before the next object (the
// answer is then 0: its asker has gone).
uint32_t ScanBridgeDevices(uint32_t wantedModel, platform::Host &host = platform::DefaultHost(),
                           const std::atomic<bool> *stop = nullptr);
