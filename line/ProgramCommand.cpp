// mfgkit program: every cable whose chip matches the image written, read back and compared, all at
// once; its serial text kept, fixed, or a number of its own from Numwell, spent and reserved in the
// ledger before the first cable is written.

#include "MfgkitCommands.h"

#include "CableRun.h"
#include "LineRun.h"
#include "LineSession.h"
#include "NumwellSerials.h"
#include "ProgramOptions.h"
#include "Reports.h"
#include "Station.h"
#include "StationLedger.h"
#include "StationLock.h"

#include <memory>

namespace line::mfgkit {

namespace {

constexpr const char *kProgramHelp = R"(usage: mfgkit program IMAGE [--serial numwell|keep|TEXT] [--expect N] [--json]

Programs every cable present whose chip matches the image file (.eep), all at once, one worker per
cable: writes the EEPROM, reads it back and compares. Each cable's outcome is stored in the station's
ledger before its line is printed.

  --serial keep     the image's own serial text (the default)
  --serial TEXT     this fixed serial text for every cable
  --serial numwell  a number of its own for each cable from Numwell. Numwell asks the operator for
                    the station the first time and to confirm the date every time, so this needs a
                    display (without one it stops before any cable is touched). Every number is
                    spent and reserved in the ledger before the first cable is written; it ends
                    programmed, or void when its cable fails (then its serial is cleared from the
                    EEPROM where possible). A void number is never given to another cable.
  --expect N        stop at once unless exactly N cables are present
  --json            one JSON document on standard output instead of lines and a table

With a line server ($QT7730_LEDGER), the run's numbers are leased on the server before any cable is
written; a number another station holds is refused (that cable is not written, the run goes on).
Without the server reachable the numbers are checked on this station only, and it says so once.
--serial numwell and --serial TEXT need an image with the serial number on, and one such run at a
time per station: a second one is refused at once. A run that was killed is found at the next start:
its numbers without a verdict become void, and the cables that may hold them are listed.

Cables of another chip than the image's are not touched and are listed. Exit status: 0 all good,
1 a cable failed (or was not programmed, or a side has no partner), 2 usage, 3 no cable,
4 the ledger does not take records (then no cable is written) or a record could not be stored,
5 another numbering run holds the station.
)";

// The serial mode of the run and its checks against the image, before anything is touched; a status to
// end with, or -1 to go on.
int ChooseSerialMode(Context &c, const CableRun &run, ProgramPlan &plan)
{
    // A serial written under an image that says "no serial number" would fail every cable's test.
    if (run.serial != "keep" && plan.image.m_rec.bSerialIndex == 0) {
        c.err << "mfgkit: the image " << Printable(run.image)
              << " has the serial number off, so cables given a serial would fail their test against it. Save "
                 "the image in Quillon with \"Enable S/N\" checked, or program with --serial keep. No cable was "
                 "touched.\n";
        return kExitUsage;
    }
    EepromImage trial;
    if (run.serial == "numwell") {
        plan.mode = SerialMode::Numwell;
        // Checked before anything is touched: a display that is named but gone would make the toolkit
        // abort the whole program inside Numwell.
        if (std::string why; c.env.needDisplay && !platform::DisplayReachable(&why)) {
            c.err << "mfgkit: --serial numwell needs a display (" << why
                  << "): Numwell asks the operator for the station and to confirm the date. No cable was touched.\n";
            return kExitUsage;
        }
        if (!ImageWithSerial(plan.image, "F26120899999", trial)) {
            c.err << "mfgkit: the image has no room for a serial number in its string area\n";
            return kExitUsage;
        }
    } else if (run.serial == "keep") {
        plan.mode = SerialMode::Keep;
    } else {
        plan.mode = SerialMode::Text;
        plan.text = run.serial;
        if (run.serial.empty() || !ImageWithSerial(plan.image, run.serial, trial))
            return Usage(c, "the serial text \"" + Printable(run.serial) + "\" does not fit the image's string area",
                         kProgramHelp);
    }
    return -1;
}

// The station, and with --serial numwell Numwell started (its dialogs: the cables are found by now, so
// the operator is never asked for nothing); a status to end with, or -1 to go on.
int StartSerials(Context &c, ProgramPlan &plan, std::unique_ptr<SerialSource> &serials)
{
    plan.station = CurrentStation();
    if (plan.mode != SerialMode::Numwell)
        return -1;
    std::string error;
    serials = c.env.numwell ? c.env.numwell() : std::make_unique<NumwellSerials>();
    if (!serials || !serials->Begin(&error)) {
        c.err << "mfgkit: " << error << ". No cable was touched.\n";
        return kExitUsage;
    }
    plan.serials = serials.get();
    if (serials->Station() >= 0)
        plan.station.station = serials->Station();
    return -1;
}

} // namespace

int Program(Context &c, const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        c.out << kProgramHelp;
        return kExitOk;
    }
    CableRun run;
    if (int status = ParseCableRun(c, args, true, run, kProgramHelp); status >= 0)
        return status;
    ProgramPlan plan;
    std::string error;
    if (!LoadImage(run.image, plan.image, plan.imageSha256, error)) {
        c.err << "mfgkit: " << error << "\n";
        return kExitUsage;
    }
    if (int status = ChooseSerialMode(c, run, plan); status >= 0)
        return status;

    StationLock lock;
    if (plan.mode != SerialMode::Keep && !lock.TryLock(&error)) {
        c.err << "mfgkit: " << error << ". No cable was touched.\n";
        return kExitBusy;
    }
    StationLedger ledger;
    std::int64_t runId = 0;
    if (!StartLedgerRun(c, ledger, LedgerRecord::kProgram, runId))
        return kExitLedger;
    Reporter reporter(c, run, ledger);
    reporter.EarlierRunVoided(VoidWhatKilledRunsLeft(c, ledger, lock));
    Pairing pairing;
    if (int status = FindCables(c, run, pairing); status >= 0)
        return status;

    std::unique_ptr<SerialSource> serials;
    if (int status = StartSerials(c, plan, serials); status >= 0)
        return status;

    LineSession lineServer(SayTo(c), {plan.station.station, plan.station.host}, ledger.Path());
    if (!lineServer.Error().empty()) {
        c.err << "mfgkit: " << lineServer.Error() << ". No cable was touched.\n";
        return kExitUsage;
    }
    if (plan.serials)
        plan.serials = &lineServer.Reserving(*plan.serials, ledger.InstanceId());
    plan.reserve = [&](const std::vector<std::pair<std::string, std::string>> &numbers, std::vector<std::string> *held,
                       std::string *why) { return ledger.ReserveSerials(runId, numbers, held, why); };

    reporter.Start(pairing.cables.size());
    std::vector<CablePair> skipped;
    const ProgramStop stop = ProgramCables(
        c.host, pairing.cables, plan, [&](CableOutcome &o) { return lineServer.Appended(reporter.Finished(o)); },
        &skipped);
    if (!stop.reason.empty()) {
        c.err << "mfgkit: no cable was written: " << stop.reason << "\n";
        lineServer.Finish(kLineDrain);
        return kExitLedger;
    }
    const int status = reporter.Finish("program", pairing, skipped);
    ledger.EndRun(runId);
    lineServer.Finish(kLineDrain);
    return status;
}

} // namespace line::mfgkit
