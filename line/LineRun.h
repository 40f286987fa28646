#pragma once
// Programming and testing many cables at once: one worker thread per cable, each owned and joined by
// the call that started it. Each cable's outcome is handed to `finished` as soon as it is final (on the
// worker's thread, one call at a time); the caller stores and prints it there.

#include "EepromImage.h"
#include "Host.h"
#include "LedgerRecord.h"
#include "SerialSource.h"
#include "Station.h"
#include "Sides.h"

#include <functional>
#include <string>
#include <vector>

namespace line {

struct CableOutcome {
    CablePair cable;
    LedgerRecord record;
    bool passed = false;
    std::string detail; // why it failed, in a few words
};

// Returns false when the outcome could not be stored; the run then claims nothing more for that cable.
using OutcomeSink = std::function<bool(CableOutcome &)>;

enum class SerialMode { Keep, Text, Numwell };

struct ProgramPlan {
    EepromImage image;      // as loaded from the file, chip trailer included
    std::string imageSha256;
    SerialMode mode = SerialMode::Keep;
    std::string text;       // SerialMode::Text
    SerialSource *serials = nullptr; // SerialMode::Numwell, already begun
    StationIdentity station;
};

// The image with `serial` as its serial text (serial index 3); false when the text does not fit.
bool ImageWithSerial(const EepromImage &image, const std::string &serial, EepromImage &out);

// Writes, reads back and compares every cable whose chip model is the image's. Cables of another
// chip are not touched and come back in `skipped`.
void ProgramCables(platform::Host &host, const std::vector<CablePair> &cables, const ProgramPlan &plan,
                   const OutcomeSink &finished, std::vector<CablePair> *skipped);

struct TestPlan {
    EepromImage image;
    std::string imageSha256;
};

// The production test of every cable at once, with the production tester's steps, masks and limits.
void TestCables(platform::Host &host, const std::vector<CablePair> &cables, const TestPlan &plan,
                const OutcomeSink &finished);

} // namespace line
