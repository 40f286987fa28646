#include "FunctionTest.h"

#include <array>
#include <cstring>

namespace production {

namespace {

struct Pattern {
    std::array<uint8_t, kPatternSize> bytes;
    Pattern()
    {
        for (std::size_t i = 0; i < kPatternSize; ++i)
            bytes[i] = static_cast<uint8_t>(i + 1);
    }
};

const Pattern &ThePattern()
{
    static const Pattern pattern;
    return pattern;
}

} // namespace

const uint8_t *TestPattern()
{
    return ThePattern().bytes.data();
}

bool PatternArrived(const uint8_t *received)
{
    return std::memcmp(received, TestPattern(), kPatternSize) == 0;
}

bool PrepareSide(const CableEnd &side, CableIo &io, std::string &path)
{
    if (!side.devicePath || side.devicePath->empty() || side.devicePath->size() > kMaxSidePath)
        return false;
    std::unique_ptr<SideDevice> device = io.NewSide();
    if (!device || !device->Open(*side.devicePath))
        return false;
    path = *side.devicePath;
    (void)device->SendPrepareRequest();
    device->Close();
    return true;
}

bool RunFunctionTest(const CableEnd &sideA, const CableEnd &sideB, bool verifySkipped, CableIo &io, const LogFn &log)
{
    std::string pathA, pathB;
    if (!PrepareSide(sideA, io, pathA) || !PrepareSide(sideB, io, pathB))
        return false;
    log(verifySkipped ? "Skip\r\n" : "OK\r\n");

    // The side named first in each line is the one that reads.
    log(kTextAToB);
    if (!io.TransferTest(pathA, pathB))
        return false;
    log("OK\r\n");

    log(kTextBToA);
    if (!io.TransferTest(pathB, pathA))
        return false;
    log("OK\r\n");
    return true;
}

} // namespace production
