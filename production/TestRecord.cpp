#include "TestRecord.h"

#include "EepromImage.h"
#include "InfoFields.h"
#include "Station.h"
#include "TamberTexts.h"

#include <cstring>

namespace production {

std::string BatchImageSha256(const RunInputs &in)
{
    uint8_t file[EepromImage::kImageSize];
    std::memcpy(file, in.imageBytes.data(), EepromImage::kEepromSize);
    for (int i = 0; i < 4; ++i) {
        file[EepromImage::kEepromSize + i] = uint8_t(in.chipModel >> (8 * i));
        file[EepromImage::kEepromSize + 4 + i] = uint8_t(in.chipVersion >> (8 * i));
    }
    return line::Sha256Hex(file, sizeof file);
}

std::map<std::string, std::string> EnglishStepNames()
{
    std::map<std::string, std::string> names;
    const struct {
        int id;
        const char *english;
    } steps[] = {{IDS_INIT_DEVICE, "Initialize device\t"},
                 {IDS_CHECK_CHIP, "Check chip version\t"},
                 {IDS_VERIFY_CONFIG, "Verify configuration\t"}};
    for (const auto &s : steps)
        names[LoadTextUtf8(s.id)] = std::string(s.english, std::strlen(s.english) - 1);
    return names;
}

line::LedgerRecord TestRecord(const char *tool, const RunInputs &in, const ObservingCableIo::Seen &seen,
                              const std::vector<line::LedgerStep> &steps, bool passed, const std::string &startUtc,
                              std::chrono::milliseconds duration)
{
    line::LedgerRecord r;
    r.kind = line::LedgerRecord::kTest;
    r.tool = tool;
    r.timeUtc = startUtc;
    const line::StationIdentity station = line::CurrentStation();
    r.station = station.station;
    r.host = station.host;
    r.imageSha256 = BatchImageSha256(in);
    r.chipModel = seen.chipModel.value_or(0);
    r.chipVersion = seen.chipVersion.value_or(0);
    for (const CableEnd *end : {&in.sideA, &in.sideB})
        if (end->devicePath)
            r.devices.push_back(*end->devicePath);
    if (in.sideA.location || in.sideB.location)
        r.ports = {in.sideA.location.value_or(""), in.sideB.location.value_or("")};
    r.steps = steps;
    if (!passed && r.steps.empty())
        r.steps.push_back({"Initialize device", "FAIL"});
    r.verdict = passed ? line::LedgerRecord::kPass : line::LedgerRecord::kFail;
    if (seen.eeprom) {
        r.serial = EepromImage::OfEeprom(seen.eeprom->data()).SerialText();
        if (!passed)
            for (const FieldDifference &d : DifferingFields(in.imageBytes.data(), seen.eeprom->data(), true))
                r.differing.push_back({d.field, d.expected, d.found});
    }
    // A chip that answered with another model or version than the batch's is named as such.
    // A version word that names no known model is a wrong version, not a wrong model.
    if (!passed && seen.chipModel && *seen.chipModel != in.chipModel && *seen.chipModel != CHIP_MODEL_UNKNOWN)
        r.differing.push_back({"chip model", Hex4(in.chipModel), Hex4(*seen.chipModel)});
    else if (!passed && !in.blank && seen.chipVersion && *seen.chipVersion != in.chipVersion)
        r.differing.push_back({"chip version", Hex4(in.chipVersion), Hex4(*seen.chipVersion)});
    r.durationMs = duration.count();
    return r;
}

} // namespace production
