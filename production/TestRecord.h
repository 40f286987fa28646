#pragma once
// The station's ledger record of one production test, built from what the run left behind. Tamber's
// worker and mfgkit's test command both record their runs through it, so both tools describe a cable
// the same way.

#include "LedgerRecord.h"
#include "TestObserver.h"
#include "TestWorker.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace production {

// SHA-256 of the batch image as its file holds it: the 256 EEPROM bytes and the chip trailer.
std::string BatchImageSha256(const RunInputs &in);

// The English names of the worker's translated step texts, so records read alike in any language.
std::map<std::string, std::string> EnglishStepNames();

line::LedgerRecord TestRecord(const char *tool, const RunInputs &in, const ObservingCableIo::Seen &seen,
                              const std::vector<line::LedgerStep> &steps, bool passed, const std::string &startUtc,
                              std::chrono::milliseconds duration);

} // namespace production
