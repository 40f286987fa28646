// What a program or test run does before it touches a cable: its arguments, the image, the ledger's
// first durable write, the numbers a killed run left, and the cables found and paired.

#include "CableRun.h"

#include "Os.h"
#include "Reports.h"
#include "Station.h"

#include <array>
#include <fstream>

namespace line::mfgkit {

namespace {

bool ParseCount(const std::string &text, int &value)
{
    if (text.empty() || text.size() > 3)
        return false;
    for (char ch : text)
        if (ch < '0' || ch > '9')
            return false;
    value = std::stoi(text);
    return true;
}

bool OpenLedger(Context &c, StationLedger &ledger)
{
    const std::string path = c.env.ledgerPath.empty() ? LedgerPath() : c.env.ledgerPath;
    std::string error;
    if (ledger.Open(path, &error))
        return true;
    c.err << "mfgkit: the station's ledger cannot be written, so no cable is touched: " << error << "\n";
    return false;
}

} // namespace

// Parses IMAGE [--serial X] [--expect N] [--json]; returns a usage status or -1 when parsed.
int ParseCableRun(Context &c, const std::vector<std::string> &args, bool program, CableRun &run, const char *help)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--json") {
            run.json = true;
        } else if (!program && a == "--any-serial") {
            run.anySerial = true;
        } else if (a == "--expect" || (program && a == "--serial")) {
            if (i + 1 >= args.size())
                return Usage(c, a + " needs a value", help);
            const std::string &value = args[++i];
            if (a == "--serial")
                run.serial = value;
            else if (!ParseCount(value, run.expect))
                return Usage(c, "--expect needs a number of cables, not \"" + Printable(value) + "\"", help);
        } else if (!a.empty() && a[0] == '-') {
            return Usage(c, "unknown option " + Printable(a), help);
        } else if (run.image.empty()) {
            run.image = a;
        } else {
            return Usage(c, "one image only (\"" + Printable(a) + "\" is one too many)", help);
        }
    }
    if (run.image.empty())
        return Usage(c, "which image? The image file (.eep) is required", help);
    return -1;
}

// The image file, checked as the programs check it; false with a sentence when it cannot be used.
bool LoadImage(const std::string &path, EepromImage &image, std::string &sha, std::string &error)
{
    std::string why;
    switch (platform::KindOfFile(path, &why)) {
    case platform::FileKind::Regular:
        break;
    case platform::FileKind::Missing:
        error = "cannot read the image " + path + ": No such file or directory";
        return false;
    default:
        error = "the image " + path + (why.empty() ? " is not a regular file" : ": " + why);
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    std::array<uint8_t, EepromImage::kImageSize> bytes{};
    file.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(bytes.size()));
    const std::size_t got = std::size_t(file.gcount());
    if (!file && !file.eof()) {
        error = "cannot read the image " + path;
        return false;
    }
    const uint32_t model = bytes[256] | bytes[257] << 8 | bytes[258] << 16 | uint32_t(bytes[259]) << 24;
    const int result = image.LoadBytes(bytes.data(), got, model);
    if (result < 0) {
        error = "the image " + path + " cannot be used: " + EepromImage::ErrorText(result);
        return false;
    }
    sha = Sha256Hex(image.Bytes(), EepromImage::kImageSize);
    return true;
}

// Finds and pairs the cables; a status to end with, or -1 to go on.
int FindCables(Context &c, const CableRun &run, Pairing &pairing)
{
    const std::vector<BridgeSide> sides = FindBridgeSides(c.host, false);
    if (sides.empty()) {
        c.err << NoDevice(c, "no cable is present");
        return kExitNoDevice;
    }
    pairing = PairByData(c.host, sides);
    LocateSides(c.host, pairing);
    for (const BridgeSide &s : pairing.unpaired)
        c.err << "mfgkit: " << s.ShortName() << " has no partner side: plug in both ends (it is left alone)\n";
    if (run.expect >= 0 && int(pairing.cables.size()) != run.expect) {
        c.err << "mfgkit: " << pairing.cables.size() << " cable(s) present, " << run.expect
              << " expected: nothing is done\n";
        return pairing.cables.empty() ? kExitNoDevice : kExitCableFailed;
    }
    if (pairing.cables.empty()) {
        c.err << "mfgkit: no cable with both sides plugged in\n";
        return pairing.unpaired.empty() ? kExitNoDevice : kExitCableFailed;
    }
    return -1;
}

// Opens the ledger and makes the run's first durable write: proof that the ledger takes records, before
// any cable is touched. False (said) when it does not.
bool StartLedgerRun(Context &c, StationLedger &ledger, const char *kind, std::int64_t &runId)
{
    if (!OpenLedger(c, ledger))
        return false;
    std::string error;
    const std::optional<std::int64_t> id = ledger.BeginRun(kind, "mfgkit", &error);
    if (!id) {
        c.err << "mfgkit: the station's ledger does not take records, so no cable is touched: " << error << "\n";
        return false;
    }
    runId = *id;
    return true;
}

// The numbers a killed run left reserved become void. Only while this process holds the station's
// numbering lock (`held`), or can take it for a moment: then no live run holds any reservation.
std::vector<SerialEntry> VoidWhatKilledRunsLeft(Context &c, StationLedger &ledger, const StationLock &held)
{
    StationLock probe;
    if (!held.Held() && !probe.TryLock(nullptr, false))
        return {};
    std::string error;
    std::optional<std::vector<SerialEntry>> left =
        ledger.VoidUnsettled("the run ended before this cable's verdict", &error);
    if (!left) {
        c.err << "mfgkit: an earlier run's serial numbers could not be settled: " << error << "\n";
        return {};
    }
    return *left;
}

} // namespace line::mfgkit
