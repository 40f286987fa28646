#include "TestWorker.h"

#include "FunctionTest.h"
#include "TamberTexts.h"

#include <cstring>

namespace production {

namespace {

void SetFixedSerial(EepromImage &image)
{
    image.SetProperty(EEP_SERIAL_STRING, kFixedSerial, static_cast<uint16_t>(std::strlen(kFixedSerial)));
}

} // namespace

bool TestWorker(const RunInputs &in, CableIo &io, const LogFn &log)
{
    EepromImage expected;
    std::memcpy(expected.Bytes(), in.imageBytes.data(), EepromImage::kEepromSize);
    SetFixedSerial(expected);

    log(LoadTextUtf8(IDS_INIT_DEVICE));
    std::unique_ptr<SideDevice> device = io.NewSide();
    const bool opened = device && in.sideA.devicePath && !in.sideA.devicePath->empty() &&
                        in.sideA.devicePath->size() <= kMaxSidePath && device->Open(*in.sideA.devicePath);
    if (!opened)
        return false;
    log("OK\r\n");

    log(LoadTextUtf8(IDS_CHECK_CHIP));
    uint32_t model = 0, version = 0;
    const bool chipOk = device->QueryChip(&model, &version) && model == in.chipModel &&
                        (in.blank || version == in.chipVersion);
    if (!chipOk) {
        device->Close();
        return false;
    }
    log("OK\r\n");

    log(LoadTextUtf8(IDS_VERIFY_CONFIG));
    bool verified = true;
    if (!in.blank) {
        EepromImage read;
        verified = device->ReadEeprom(read.Bytes(), 0, EepromImage::kEepromSize);
        if (verified) {
            SetFixedSerial(read);
            verified = std::memcmp(read.Bytes(), expected.Bytes(), EepromImage::kEepromSize) == 0;
        }
    }
    device->Close();
    if (!verified)
        return false;

    return RunFunctionTest(in.sideA, in.sideB, in.blank, io, log);
}

} // namespace production
