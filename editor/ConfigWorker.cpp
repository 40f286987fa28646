#include "ConfigWorker.h"

#include <array>
#include <cstring>

namespace editor {

std::string ConfigCaption() { return "Config QT7730"; }
std::string FoundLine() { return "Found a QT7730 device to config...\r\n"; }
std::string PlugInPrompt() { return "Please plug in a QT7730 device to config..."; }
std::string WorkerStartFailed() { return "Start configuration\tFail\r\n"; }

ConfigSearch::Arm ConfigSearch::Start(uint32_t mask)
{
    m_dwDevMask = mask;
    return {kTimerFindDevice, kFindDelayAtStartMs};
}

ConfigSearch::Arm ConfigSearch::DeviceChanged(uint32_t mask)
{
    if (m_nFound != 0 || mask == m_dwDevMask)
        return {};
    m_dwDevMask = mask;
    return {kTimerFindDevice, kFindDelayAfterChangeMs};
}

ConfigSearch::Arm ConfigSearch::WalkDone(int accepted)
{
    if (accepted <= 0)
        return {};
    ++m_nFound;
    return {kTimerStartConfig, kStartConfigDelayMs};
}

namespace {

bool InitializeDevice(const ConfigTarget *target, EepromImage &image, ConfigDevice &device)
{
    if (!target || target->devicePath.empty() || !device.Open(target->devicePath))
        return false;
    uint32_t model = 0, version = 0;
    if (!device.QueryChip(&model, &version))
        return false;
    // Whatever the chip reports is recorded; the trailer goes into the saved image file.
    const uint8_t m[4] = {uint8_t(model), uint8_t(model >> 8), uint8_t(model >> 16), uint8_t(model >> 24)};
    const uint8_t v[4] = {uint8_t(version), uint8_t(version >> 8), uint8_t(version >> 16),
                          uint8_t(version >> 24)};
    return image.SetProperty(EEP_CHIP_MODEL, m, 4) && image.SetProperty(EEP_CHIP_VERSION, v, 4);
}

uint16_t Word(const EepromImage &image, int id)
{
    std::array<uint8_t, 260> buffer{};
    image.GetProperty(id, buffer.data(), uint16_t(buffer.size()));
    return uint16_t(buffer[0] | (buffer[1] << 8));
}

ConfigResult Steps(const ConfigTarget *target, EepromImage *image, ConfigDevice &device,
                   ConfigWorkerUi &ui)
{
    const auto fail = [&ui] {
        ui.AppendLog(kStepFail);
        ui.ShowFailure();
        return kConfigCancel;
    };
    ui.AppendLog(kStepInitialize);
    if (!image || !InitializeDevice(target, *image, device))
        return fail();
    ui.AppendLog(kStepOk);

    ui.AppendLog(kStepWrite);
    if (!device.WriteEeprom(0, image->Bytes(), EepromImage::kEepromSize))
        return fail();
    ui.AppendLog(kStepOk);

    ui.AppendLog(kStepVerify);
    std::array<uint8_t, EepromImage::kEepromSize> readBack{};
    if (!device.ReadEeprom(0, readBack.data(), uint16_t(readBack.size())) ||
        std::memcmp(readBack.data(), image->Bytes(), readBack.size()) != 0)
        return fail();
    ui.AppendLog(kStepOk);

    if (ui.AskUpdateInf())
        ui.UpdateInf(target->driverKey, Word(*image, EEP_VENDOR_ID), Word(*image, EEP_PRODUCT_ID_3));
    return kConfigOk;
}

} // namespace

ConfigResult RunConfiguration(const ConfigTarget *target, EepromImage *image, ConfigDevice &device,
                              ConfigWorkerUi &ui)
{
    const ConfigResult result = Steps(target, image, device, ui);
    device.Close();
    return result;
}

} // namespace editor
