// mfgkit test: the production test of every cable present, all at once, each outcome stored in the
// station's ledger; with the serial number on, each cable's number checked against the ledger (and
// the line's server).

#include "MfgkitCommands.h"

#include "CableRun.h"
#include "LineRun.h"
#include "LineSession.h"
#include "Station.h"
#include "StationLedger.h"
#include "StationLock.h"

namespace line::mfgkit {

namespace {

constexpr const char *kTestHelp = R"(usage: mfgkit test IMAGE [--expect N] [--any-serial] [--json]

The production test of every cable present, all at once, with the production tester's steps:
chip version, EEPROM compared with the image (the serial text masked), and 131,071 bytes each way
within 2000 ms. A cable whose EEPROM differs has each differing field named with the expected and
the found value. Each outcome is stored in the station's ledger before its line is printed.

  --expect N        stop at once unless exactly N cables are present
  --any-serial      do not check the serial numbers against the ledger (cables programmed elsewhere)
  --json            one JSON document on standard output

With an image whose serial number is on, a step "Serial number" fails a cable whose serial is void,
was never programmed on this station (or on the line, with a line server), or is carried by another
cable of the same run.

Exit status: 0 all passed, 1 a cable failed (or a side has no partner), 2 usage, 3 no cable,
4 a record could not be stored.
)";

// Why a tested cable's serial is not one this station (or the line) programmed; "" when it is.
std::string SerialStanding(StationLedger &ledger, LineSession &lineServer, const std::string &serial)
{
    std::string error;
    if (const std::optional<SerialEntry> e = ledger.Serial(serial, &error)) {
        if (e->state == SerialEntry::kProgrammed)
            return {};
        if (e->state == SerialEntry::kVoid)
            return serial + " is void (" + e->reason + ")";
        return serial + " is reserved by a run that has not ended";
    }
    if (ledger.ProgrammedByRecord(serial))
        return {};
    if (const auto onLine = lineServer.SerialOnLine(serial)) {
        if (onLine->known && onLine->confirmed)
            return {};
        if (onLine->known && !onLine->voidReason.empty())
            return serial + " is void on the line (" + onLine->voidReason + ")";
        if (onLine->known)
            return serial + " was leased on the line and never confirmed";
        return serial + " was never programmed on the line";
    }
    return serial + " was never programmed on this station";
}

} // namespace

int Test(Context &c, const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        c.out << kTestHelp;
        return kExitOk;
    }
    CableRun run;
    if (int status = ParseCableRun(c, args, false, run, kTestHelp); status >= 0)
        return status;
    TestPlan plan;
    std::string error;
    if (!LoadImage(run.image, plan.image, plan.imageSha256, error)) {
        c.err << "mfgkit: " << error << "\n";
        return kExitUsage;
    }
    StationLedger ledger;
    std::int64_t runId = 0;
    if (!StartLedgerRun(c, ledger, LedgerRecord::kTest, runId))
        return kExitLedger;
    Reporter reporter(c, run, ledger);
    reporter.EarlierRunVoided(VoidWhatKilledRunsLeft(c, ledger, StationLock()));
    Pairing pairing;
    if (int status = FindCables(c, run, pairing); status >= 0)
        return status;
    const StationIdentity station = CurrentStation();
    LineSession lineServer(SayTo(c), {station.station, station.host}, ledger.Path());
    if (!lineServer.Error().empty()) {
        c.err << "mfgkit: " << lineServer.Error() << ". No cable was touched.\n";
        return kExitUsage;
    }
    if (plan.image.m_rec.bSerialIndex != 0)
        plan.serialStanding = [&](const std::string &serial) {
            return run.anySerial ? std::string() : SerialStanding(ledger, lineServer, serial);
        };
    reporter.Start(pairing.cables.size());
    TestCables(c.host, pairing.cables, plan, [&](CableOutcome &o) { return lineServer.Appended(reporter.Finished(o)); });
    const int status = reporter.Finish("test", pairing, {});
    ledger.EndRun(runId);
    lineServer.Finish(kLineDrain);
    return status;
}

} // namespace line::mfgkit
