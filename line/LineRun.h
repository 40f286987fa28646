#pragma once
// Programming and testing many cables at once: one worker thread per cable, each owned and joined by
// the call that started it. Each cable's outcome is handed to `finished` as soon as it is final (on the
// worker's thread, one call at a time); the caller stores and prints it there.

#include "EepromImage.h"
#include "Host.h"
#include "LedgerRecord.h"
#include "StationLedger.h"
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
    // A numbered cable: how its number ends, stored with the record in one transaction.
    std::optional<SerialVerdict> serialVerdict;
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
    // SerialMode::Numwell: records every number as reserved for its cable (serial, device objects), in
    // one durable transaction, before any cable is written; numbers the ledger held already go into
    // `held` (their cables are not written). False (with a sentence) stops the run.
    std::function<bool(const std::vector<std::pair<std::string, std::string>> &, std::vector<std::string> *held,
                       std::string *)>
        reserve;
};

// Why a program run stopped before writing any cable ("" when it ran).
struct ProgramStop {
    std::string reason;
    bool ledger = false; // the ledger did not take the reservations (else: the numbers were not saved)
};

// The image with `serial` as its serial text (serial index 3); false when the text does not fit.
bool ImageWithSerial(const EepromImage &image, const std::string &serial, EepromImage &out);

// The image with the serial-number flag off and the serial text's characters blanked: what a failed
// cable is written with, so that it never carries a number that is void.
EepromImage ImageWithoutSerial(const EepromImage &image);

// Writes, reads back and compares every cable whose chip model is the image's. Cables of another
// chip are not touched and come back in `skipped`. With numbers, each cable's number is spent and
// reserved before any cable is written; a failed cable's number is void (and cleared from its EEPROM
// where possible), never given to another cable.
ProgramStop ProgramCables(platform::Host &host, const std::vector<CablePair> &cables, const ProgramPlan &plan,
                   const OutcomeSink &finished, std::vector<CablePair> *skipped);

struct TestPlan {
    EepromImage image;
    std::string imageSha256;
    // Set when the image has the serial number on: why a cable's serial text is not one this station
    // (or the line) programmed, "" when it is. A serial carried by two cables of the run fails both.
    // Called on the calling thread once every cable is tested; the outcomes are handed on after it.
    std::function<std::string(const std::string &serial)> serialStanding;
};

inline constexpr const char *kStepSerialNumber = "Serial number";

// The production test of every cable at once, with the production tester's steps, masks and limits.
void TestCables(platform::Host &host, const std::vector<CablePair> &cables, const TestPlan &plan,
                const OutcomeSink &finished);

} // namespace line
