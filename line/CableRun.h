#pragma once
// What a program or test run shares before and after its cables: the arguments, the image, the
// ledger's first write, the cables found and paired, and the reporter that stores each cable's record
// and prints its line, the progress line and the summary (or the run's JSON document).

#include "MfgkitCommands.h"

#include "EepromImage.h"
#include "LineRun.h"
#include "Sides.h"
#include "StationLedger.h"
#include "StationLock.h"

#include <cstdint>
#include <string>
#include <vector>

namespace line::mfgkit {

// A program or test run's arguments.
struct CableRun {
    std::string image;
    std::string serial = "keep";
    int expect = -1;
    bool json = false;
    bool anySerial = false; // test: no ledger check of the serial numbers
};

// Parses IMAGE [--serial X] [--expect N] [--json]; returns a usage status or -1 when parsed.
int ParseCableRun(Context &c, const std::vector<std::string> &args, bool program, CableRun &run, const char *help);

// The image file, checked as the programs check it; false with a sentence when it cannot be used.
bool LoadImage(const std::string &path, EepromImage &image, std::string &sha, std::string &error);

// Finds and pairs the cables; a status to end with, or -1 to go on.
int FindCables(Context &c, const CableRun &run, Pairing &pairing);

// Opens the ledger and makes the run's first durable write: proof that the ledger takes records, before
// any cable is touched. False (said) when it does not.
bool StartLedgerRun(Context &c, StationLedger &ledger, const char *kind, std::int64_t &runId);

// The numbers a killed run left reserved become void. Only while this process holds the station's
// numbering lock (`held`), or can take it for a moment: then no live run holds any reservation.
std::vector<SerialEntry> VoidWhatKilledRunsLeft(Context &c, StationLedger &ledger, const StationLock &held);

class Reporter {
public:
    Reporter(Context &c, const CableRun &run, StationLedger &ledger) : m_c(c), m_run(run), m_ledger(ledger) {}

    void Start(std::size_t total) { m_total = total; Progress(); }

    // Stores the outcome, then prints its line; a cable whose record could not be stored is not claimed.
    bool Finished(CableOutcome &o);
    // Numbers an earlier, killed run left without a verdict: void now; their cables may hold them.
    void EarlierRunVoided(const std::vector<SerialEntry> &entries);

    // The summary table (or the JSON document); the run's exit status.
    int Finish(const char *command, const Pairing &pairing, const std::vector<CablePair> &skipped);

private:
    void PrintJson(const char *command, const Pairing &pairing, const std::vector<CablePair> &skipped, int passed,
                   int failed, int status);
    void PrintTable(const Pairing &pairing, const std::vector<CablePair> &skipped, int passed, int failed);
    void Progress();
    void ClearProgress();

    Context &m_c;
    const CableRun &m_run;
    StationLedger &m_ledger;
    std::vector<CableOutcome> m_outcomes;
    std::vector<std::string> m_unstored;
    std::vector<SerialEntry> m_recovered;
    std::size_t m_total = 0, m_done = 0;
    bool m_failed = false, m_storeFailed = false, m_progressShown = false;
};

} // namespace line::mfgkit
