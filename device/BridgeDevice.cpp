#include "BridgeDevice.h"

#include "EepromImage.h"

#include <cstdio>
#include <cstring>
#include <string>

void VendorRequest::Prepare(uint32_t bufferSize, uint8_t requestType, uint8_t request, uint16_t index,
                            uint16_t length)
{
    std::memset(bytes, 0, sizeof bytes);
    size = bufferSize;
    bytes[0] = requestType;
    bytes[1] = request;
    SetIndex(index);
    bytes[6] = static_cast<uint8_t>(length);
    bytes[7] = static_cast<uint8_t>(length >> 8);
}

void VendorRequest::SetIndex(uint16_t index)
{
    bytes[4] = static_cast<uint8_t>(index);
    bytes[5] = static_cast<uint8_t>(index >> 8);
}

bool BridgeDevice::Open(std::string_view name)
{
    Close();
    // The longer sub-path must still fit the driver's name buffer.
    if (name.empty() || name.size() + 2 + 1 > kDeviceNameBuffer)
        return false;
    const std::string base(name);
    using namespace platform;
    m_hControl = m_host.OpenFile(base, ACCESS_READ | ACCESS_WRITE, SHARE_READ | SHARE_WRITE, false);
    if (m_hControl != INVALID_HANDLE)
        m_hReadPipe = m_host.OpenFile(base + "\\3", ACCESS_READ, SHARE_READ, true);
    if (m_hReadPipe != INVALID_HANDLE)
        m_hWritePipe = m_host.OpenFile(base + "\\2", ACCESS_WRITE, SHARE_WRITE, true);
    if (m_hWritePipe != INVALID_HANDLE)
        return true;
    Close();
    return false;
}

void BridgeDevice::Close()
{
    for (platform::Handle *handle : {&m_hWritePipe, &m_hReadPipe, &m_hControl}) {
        if (*handle != platform::INVALID_HANDLE)
            m_host.CloseHandle(*handle);
        *handle = platform::INVALID_HANDLE;
    }
}

bool BridgeDevice::Send(VendorRequest &request)
{
    return m_host.DeviceIoControl(m_hControl, platform::IOCTL_VENDOR_REQUEST, request.bytes, request.size,
                                  nullptr);
}

uint32_t BridgeDevice::ModelFromVersion(uint32_t version)
{
    if (version == 0x0100)
        return CHIP_MODEL_QT7730;
    if (version >= 0x8001 && version <= 0x8004)
        return CHIP_MODEL_QT7701;
    if (version >= 0x8005 && version < 0x8007)
        return CHIP_MODEL_QT7730;
    return CHIP_MODEL_UNKNOWN;
}

bool BridgeDevice::IsQt7701Status(uint8_t s0, uint8_t s1)
{
    const bool bit3Differs = ((s0 ^ s1) & 0x08) != 0;
    const bool bit1InBoth = (s0 & 0x02) && (s1 & 0x02);
    return bit3Differs && !bit1InBoth;
}

bool BridgeDevice::QueryChip(uint32_t *model, uint32_t *version)
{
    if (m_hControl == platform::INVALID_HANDLE)
        return false;
    VendorRequest request;
    request.Prepare(kChipQueryBufferSize, VendorRequest::kTypeIn, REQUEST_VERSION, 0, 2);
    if (Send(request)) {
        const uint32_t v = request.Data()[0] | request.Data()[1] << 8;
        if (model)
            *model = ModelFromVersion(v);
        if (version)
            *version = v;
        return true;
    }
    request.Prepare(kChipQueryBufferSize, VendorRequest::kTypeIn, REQUEST_STATUS, 0, 2);
    if (!Send(request) || !IsQt7701Status(request.Data()[0], request.Data()[1]))
        return false;
    if (model)
        *model = CHIP_MODEL_QT7701;
    if (version)
        *version = kStatusOnlyVersion;
    return true;
}

bool BridgeDevice::TransferEeprom(bool write, uint8_t *data, uint16_t offset, uint16_t length)
{
    // Partial blocks are refused rather than rounded up: rounding would read or write past the
    // caller's buffer, and every caller moves the whole EEPROM anyway.
    if (length == 0 || length > kEepromBytes || offset + length > kEepromBytes || length % kEepromBlock ||
        m_hControl == platform::INVALID_HANDLE)
        return false;
    VendorRequest request;
    request.Prepare(kEepromBufferSize, write ? VendorRequest::kTypeOut : VendorRequest::kTypeIn,
                    write ? REQUEST_EEPROM_WRITE : REQUEST_EEPROM_READ, 0, kEepromBlock);
    for (uint16_t k = 0; k < length; k += kEepromBlock) {
        request.SetIndex(static_cast<uint16_t>(offset + k));
        if (write)
            std::memcpy(request.Data(), data + k, kEepromBlock);
        if (!Send(request))
            return false;
        if (!write)
            std::memcpy(data + k, request.Data(), kEepromBlock);
    }
    return true;
}

bool BridgeDevice::ReadEeprom(uint8_t *dest, uint16_t offset, uint16_t length)
{
    return TransferEeprom(false, dest, offset, length);
}

bool BridgeDevice::WriteEeprom(const uint8_t *src, uint16_t offset, uint16_t length)
{
    // The write path only reads from the buffer.
    return TransferEeprom(true, const_cast<uint8_t *>(src), offset, length);
}

bool BridgeDevice::SendPrepareRequest()
{
    if (m_hControl == platform::INVALID_HANDLE)
        return false;
    VendorRequest request;
    request.Prepare(kPrepareBufferSize, VendorRequest::kTypeOut, REQUEST_PREPARE, 0, 0);
    return Send(request);
}

uint32_t ScanBridgeDevices(uint32_t wantedModel, platform::Host &host, const std::atomic<bool> *stop)
{
    uint32_t mask = 0;
    char name[32];
    for (int n = 1; n <= 32; ++n) {
        if (stop && stop->load())
            return 0; // nobody waits for this answer any more
        mask >>= 1;
        std::snprintf(name, sizeof name, "\\\\.\\HOSTLNK-%d", n);
        BridgeDevice device(host);
        if (!device.Open(name))
            continue;
        uint32_t model = 0;
        if (device.QueryChip(&model, nullptr) && model == wantedModel)
            mask |= 0x80000000u;
    }
    return mask;
}
