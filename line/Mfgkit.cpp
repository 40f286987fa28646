#include "Mfgkit.h"

#ifdef KIT_WITH_DASHBOARD
#include "DashboardCommand.h"
#endif
#include "InfoFields.h"
#include "LineCommands.h"
#include "LineRun.h"
#include "LineSession.h"
#include "NumwellSerials.h"
#include "Os.h"
#include "ProgramOptions.h"
#include "Reports.h"
#include "Sides.h"
#include "Station.h"
#include "StationLedger.h"
#include "StationLock.h"
#include "TestObserver.h"
#include "UsbTreeWalker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>


namespace line {

namespace {

constexpr const char *kMainHelp = R"(usage: mfgkit COMMAND [ARGUMENTS]   (mfgkit COMMAND --help for each)

The line's command-line programmer and tester for QT7730 / QT7701 bridge cables.

  scan                 the bridge device objects and the cables they form
  walk                 the USB topology as an indented tree
  program IMAGE        program every cable present whose chip matches the image, all at once
  test IMAGE           the production test of every cable present, all at once
  records              the station's records (CSV or JSON)
  report               per day: programmed, tested, passed, failed by step, first-pass yield
  ledger               the line's ledger server: init, status, push (records --line, report --line)
  dashboard            a web page of the line's yield, failures and stations, live

Exit status: 0 all good, 1 a cable failed, 2 usage, 3 no bench / no device, 4 a record could not be
stored, 5 another numbering run holds the station. The records are kept in $QT7730_LEDGER_DB, or
ledger.db in the station's data folder (/var/lib/qt7730-mfg-kit; on Windows %ProgramData%\QT7730 MFG Kit),
and with $QT7730_LEDGER (a PostgreSQL connection string) sent to the line's server as well.
)";

constexpr const char *kScanHelp = R"(usage: mfgkit scan

Lists every bridge device object present (name, chip model and version, identity, serial text) and
the cables they form. The two sides of a cable are paired by data: a short token written on one
side arrives on the other. A side without a partner is named: plug in both ends.
Exit status: 0, 1 when a side has no partner, 3 when no device object is present.
)";

constexpr const char *kWalkHelp = R"(usage: mfgkit walk

The USB topology as an indented text tree: host controllers, hubs, ports and devices.
Exit status: 0, or 3 when there is no host controller.
)";

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

constexpr const char *kRecordsHelp = R"(usage: mfgkit records [--since DATE] [--serial TEXT] [--void] [--csv|--json] [--line]

The station's records, oldest first: as a table (the default), CSV or JSON.
  --since DATE      records from this UTC day on (YYYY-MM-DD)
  --serial TEXT     only the records of this serial text
  --void            the void serial numbers instead: each with its reason, its cable's device
                    objects and whether its serial was cleared from that cable
  --line            every station's records, from the line's server ($QT7730_LEDGER)
Exit status: 0, 2 usage, 4 the ledger cannot be read (1 the line's server cannot).
)";

constexpr const char *kReportHelp = R"(usage: mfgkit report [--since DATE] [--line]

Per UTC day: cables programmed (and failed programming), tested, passed, failed, the failures by
the step that failed, the first-pass yield (of the cables first tested that day, how many passed
that first test), and the serial numbers that became void, by reason.
  --line            per station across the line, from the line's server ($QT7730_LEDGER): programmed,
                    tested, passed, yield; cables programmed at one station that failed the test at
                    another; serial numbers programmed by more than one station; numbers
                    leased and never confirmed (void), per day and reason
Exit status: 0, 2 usage, 4 the ledger cannot be read (1 the line's server cannot).
)";

// At the end of a run, the records not yet on the line's server get this long; then they wait in the
// outbox for the next run (or `mfgkit ledger push`).
constexpr std::chrono::seconds kLineDrain{3};

struct Context {
    MfgkitEnv &env;
    platform::Host &host;
    std::ostream &out;
    std::ostream &err;
    bool jsonPrinted = false; // the run's JSON document is out
};

// Writes to two streams: what a run says on stderr, also kept for its JSON answer.
class TeeBuffer : public std::streambuf {
public:
    TeeBuffer(std::ostream &a, std::ostream &b) : m_a(a), m_b(b) {}

protected:
    int overflow(int ch) override
    {
        if (ch != traits_type::eof()) {
            m_a.put(char(ch));
            m_b.put(char(ch));
        }
        return ch;
    }
    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        m_a.write(s, n);
        m_b.write(s, n);
        return n;
    }

private:
    std::ostream &m_a, &m_b;
};

// The line server's messages for the operator, on the run's thread.
LineSession::Say SayTo(Context &c)
{
    return [&c](const std::string &message) { c.err << "mfgkit: " << message << "\n"; };
}

int Usage(Context &c, const std::string &message, const char *help)
{
    c.err << "mfgkit: " << message << "\n\n" << help;
    return kExitUsage;
}

bool WantsHelp(const std::vector<std::string> &args)
{
    for (const std::string &a : args)
        if (a == "--help" || a == "-h")
            return true;
    return false;
}

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

std::string Hex4(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string Identity(const BridgeSide &side)
{
    if (!side.eeprom)
        return "(EEPROM unreadable)";
    EepromImage image;
    std::memcpy(image.Bytes(), side.eeprom->data(), EepromImage::kEepromSize);
    if (image.m_rec.wSignature.get() != EepromImage::kSignature)
        return "blank (0C5E:" + Hex4(side.chipModel) + ")";
    production::InfoFields fields;
    production::ReadInfoFields(image, fields);
    return fields.m_strVendorID + ":" + fields.m_strSelectedPID;
}

std::string Pad(const std::string &text, std::size_t width)
{
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// "Nothing found", with what the Host advises (start the bench; a side this user may not open).
std::string NoDevice(Context &c, const std::string &what)
{
    const std::string advice = c.host.NoDeviceAdvice();
    return "mfgkit: " + what + (advice.empty() ? "" : " (" + advice + ")") + "\n";
}

int Scan(Context &c, const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        c.out << kScanHelp;
        return kExitOk;
    }
    if (!args.empty())
        return Usage(c, "scan takes no arguments", kScanHelp);
    const std::vector<BridgeSide> sides = FindBridgeSides(c.host, true);
    if (sides.empty()) {
        c.err << NoDevice(c, "no bridge device object is present");
        return kExitNoDevice;
    }
    c.out << Pad("Device object", 16) << Pad("Chip", 16) << Pad("Identity", 22) << "Serial\n";
    for (const BridgeSide &s : sides) {
        const std::string chip = s.chipAnswered ? ChipName(s.chipModel) + " " + Hex4(s.chipVersion) : "(no answer)";
        const std::string serial = s.eeprom ? EepromImage::OfEeprom(s.eeprom->data()).SerialText() : "";
        c.out << Pad(s.ShortName(), 16) << Pad(chip, 16) << Pad(Identity(s), 22) << Printable(serial) << "\n";
    }
    const Pairing pairing = PairByData(c.host, sides);
    c.out << "\nCables: " << pairing.cables.size() << "\n";
    for (const CablePair &p : pairing.cables)
        c.out << "  " << p.a.ShortName() << " + " << p.b.ShortName() << "\n";
    for (const BridgeSide &s : pairing.unpaired)
        c.out << "  " << s.ShortName() << ": no partner side found: plug in both ends"
              << " (a cable whose data path is dead both ways looks the same)\n";
    // Sides present that no scan lists (all 32 device objects in use, or not openable by this user).
    if (const std::string notice = c.host.DeviceNotice(); !notice.empty())
        c.out << "\nmfgkit: " << notice << "\n";
    return pairing.unpaired.empty() ? kExitOk : kExitCableFailed;
}

void PrintTree(Context &c, const UsbTree &tree, TreeItem parent, int depth)
{
    for (TreeItem item : tree.Children(parent)) {
        std::string mark;
        if (tree.Mark(item) == ITEM_ERROR)
            mark = "  [error]";
        c.out << std::string(std::size_t(depth) * 2, ' ') << Printable(tree.Text(item)) << mark << "\n";
        PrintTree(c, tree, item, depth + 1);
    }
}

int Walk(Context &c, const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        c.out << kWalkHelp;
        return kExitOk;
    }
    if (!args.empty())
        return Usage(c, "walk takes no arguments", kWalkHelp);
    UsbTreeWalker walker(c.host);
    walker.WalkAllControllers(nullptr, nullptr);
    if (walker.Tree().Children(TREE_NONE).empty()) {
        c.err << NoDevice(c, "no USB host controller found");
        return kExitNoDevice;
    }
    PrintTree(c, walker.Tree(), TREE_NONE, 0);
    return kExitOk;
}

// What a program or test run shares: the arguments, the ledger, the cables, the lines and the table.
struct CableRun {
    std::string image;
    std::string serial = "keep";
    int expect = -1;
    bool json = false;
    bool anySerial = false; // test: no ledger check of the serial numbers
};

class Reporter {
public:
    Reporter(Context &c, const CableRun &run, StationLedger &ledger) : m_c(c), m_run(run), m_ledger(ledger) {}

    void Start(std::size_t total) { m_total = total; Progress(); }

    // Stores the outcome, then prints its line; a cable whose record could not be stored is not claimed.
    bool Finished(CableOutcome &o)
    {
        std::string error;
        const SerialVerdict *verdict = o.serialVerdict ? &*o.serialVerdict : nullptr;
        std::optional<std::int64_t> seq = m_c.env.store ? m_c.env.store(o.record, &error)
                                                        : m_ledger.Append(o.record, &error, verdict);
        ++m_done;
        ClearProgress();
        if (!seq) {
            m_storeFailed = true;
            m_c.err << "mfgkit: " << o.cable.Name() << ": its record could not be stored, so no result is claimed: "
                    << error << "\n";
            m_unstored.push_back(o.cable.Name());
            Progress();
            return false;
        }
        o.record.seq = *seq;
        if (!o.passed)
            m_failed = true;
        m_outcomes.push_back(o);
        if (!m_run.json) {
            m_c.out << Pad(o.cable.Name(), 22) << Pad(o.record.serial.empty() ? "-" : Printable(o.record.serial), 16)
                    << (o.passed ? "PASS" : "FAIL");
            if (!o.passed)
                m_c.out << "  " << Printable(o.detail);
            m_c.out << "\n";
            m_c.out.flush();
        }
        Progress();
        return true;
    }

    // Numbers an earlier, killed run left without a verdict: void now; their cables may hold them.
    void EarlierRunVoided(const std::vector<SerialEntry> &entries)
    {
        m_recovered = entries;
        if (m_run.json || entries.empty())
            return;
        m_c.out << "An earlier run ended before the verdicts of " << entries.size()
                << " cable(s). Their serial numbers are void now; re-test these cables (mfgkit test) or "
                   "program them again:\n";
        for (const SerialEntry &e : entries)
            m_c.out << "  " << Pad(Printable(e.devices), 24) << Printable(e.serial) << "  (reserved " << e.reservedUtc
                    << ")\n";
        m_c.out << "\n";
        m_c.out.flush();
    }

    int Finish(const char *command, const Pairing &pairing, const std::vector<CablePair> &skipped)
    {
        ClearProgress();
        std::sort(m_outcomes.begin(), m_outcomes.end(),
                  [](const CableOutcome &x, const CableOutcome &y) { return x.cable.a.number < y.cable.a.number; });
        int passed = 0;
        for (const CableOutcome &o : m_outcomes)
            passed += o.passed ? 1 : 0;
        const int failed = int(m_outcomes.size()) - passed;
        int status = kExitOk;
        if (m_failed || !pairing.unpaired.empty() || !skipped.empty())
            status = kExitCableFailed;
        if (m_storeFailed)
            status = kExitLedger;

        if (m_run.json) {
            QJsonObject doc;
            doc["command"] = command;
            doc["image"] = QString::fromStdString(m_run.image);
            QJsonArray cables;
            for (const CableOutcome &o : m_outcomes) {
                QJsonObject r = QJsonDocument::fromJson(QByteArray::fromStdString(o.record.ToJson())).object();
                r["seq"] = qint64(o.record.seq);
                r["cable"] = QString::fromStdString(o.cable.Name());
                r["detail"] = QString::fromStdString(o.detail);
                cables.append(r);
            }
            doc["cables"] = cables;
            QJsonArray unpaired, skippedList, unstored;
            for (const BridgeSide &s : pairing.unpaired)
                unpaired.append(QString::fromStdString(s.ShortName()));
            for (const CablePair &p : skipped)
                skippedList.append(QJsonObject{{"cable", QString::fromStdString(p.Name())},
                                               {"chip_model", qint64(p.a.chipModel)}});
            for (const std::string &name : m_unstored)
                unstored.append(QString::fromStdString(name));
            doc["unpaired"] = unpaired;
            doc["skipped"] = skippedList;
            doc["not_recorded"] = unstored;
            QJsonArray recovered;
            for (const SerialEntry &e : m_recovered)
                recovered.append(QJsonObject{{"serial", QString::fromStdString(e.serial)},
                                             {"devices", QString::fromStdString(e.devices)},
                                             {"reserved_utc", QString::fromStdString(e.reservedUtc)}});
            doc["void_after_earlier_run"] = recovered;
            doc["passed"] = passed;
            doc["failed"] = failed;
            doc["exit_status"] = status;
            m_c.out << QJsonDocument(doc).toJson(QJsonDocument::Indented).toStdString();
            m_c.jsonPrinted = true;
            return status;
        }

        m_c.out << "\n" << Pad("Cable", 22) << Pad("Serial", 16) << Pad("Result", 8) << Pad("ms", 7) << "Failed step\n";
        for (const CableOutcome &o : m_outcomes)
            m_c.out << Pad(o.cable.Name(), 22) << Pad(o.record.serial.empty() ? "-" : Printable(o.record.serial), 16)
                    << Pad(o.passed ? "PASS" : "FAIL", 8) << Pad(std::to_string(o.record.durationMs), 7)
                    << o.record.FailedStep() << "\n";
        for (const CablePair &p : skipped)
            m_c.out << Pad(p.Name(), 22) << Pad("-", 16) << Pad("SKIP", 8) << Pad("-", 7) << "chip "
                    << ChipName(p.a.chipModel) << " is not the image's: not touched\n";
        for (const BridgeSide &s : pairing.unpaired)
            m_c.out << Pad(s.ShortName(), 22) << Pad("-", 16) << Pad("ALONE", 8) << Pad("-", 7)
                    << "no partner side: plug in both ends\n";
        for (const std::string &name : m_unstored)
            m_c.out << Pad(name, 22) << Pad("-", 16) << Pad("?", 8) << Pad("-", 7) << "record not stored\n";
        m_c.out << m_outcomes.size() + m_unstored.size() << " cable(s): " << passed << " passed, " << failed
                << " failed";
        if (!m_unstored.empty())
            m_c.out << ", " << m_unstored.size() << " not recorded";
        if (!skipped.empty())
            m_c.out << ", " << skipped.size() << " not touched";
        if (!pairing.unpaired.empty())
            m_c.out << "; " << pairing.unpaired.size() << " side(s) without a partner";
        m_c.out << "\n";
        return status;
    }

private:
    void Progress()
    {
        if (!m_c.env.terminal || m_run.json || m_total == 0)
            return;
        m_c.out << "\r[" << m_done << "/" << m_total << " cables done]" << std::flush;
        m_progressShown = true;
    }
    void ClearProgress()
    {
        if (m_progressShown)
            m_c.out << "\r\033[K" << std::flush;
        m_progressShown = false;
    }

    Context &m_c;
    const CableRun &m_run;
    StationLedger &m_ledger;
    std::vector<CableOutcome> m_outcomes;
    std::vector<std::string> m_unstored;
    std::vector<SerialEntry> m_recovered;
    std::size_t m_total = 0, m_done = 0;
    bool m_failed = false, m_storeFailed = false, m_progressShown = false;
};

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

bool OpenLedger(Context &c, StationLedger &ledger)
{
    const std::string path = c.env.ledgerPath.empty() ? LedgerPath() : c.env.ledgerPath;
    std::string error;
    if (ledger.Open(path, &error))
        return true;
    c.err << "mfgkit: the station's ledger cannot be written, so no cable is touched: " << error << "\n";
    return false;
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
    plan.station = CurrentStation();
    if (plan.mode == SerialMode::Numwell) {
        serials = c.env.numwell ? c.env.numwell() : std::make_unique<NumwellSerials>();
        if (!serials || !serials->Begin(&error)) {
            c.err << "mfgkit: " << error << ". No cable was touched.\n";
            return kExitUsage;
        }
        plan.serials = serials.get();
        if (serials->Station() >= 0)
            plan.station.station = serials->Station();
    }

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

// Opens the station's ledger for reading and hands it to `read`, which returns an error ("" when it
// read). A status to end with, or -1 when read (or when there is no ledger yet: then `none` is said
// when given, and nothing is read).
int ReadLedger(Context &c, const char *none, const std::function<std::string(StationLedger &)> &read)
{
    const std::string path = c.env.ledgerPath.empty() ? LedgerPath() : c.env.ledgerPath;
    if (platform::KindOfFile(path) == platform::FileKind::Missing) {
        if (none)
            c.err << "mfgkit: " << none << " (" << path << " does not exist)\n";
        return -1;
    }
    StationLedger ledger;
    std::string error;
    if (!ledger.OpenExisting(path, &error) || !(error = read(ledger)).empty()) {
        c.err << "mfgkit: " << error << "\n";
        return kExitLedger;
    }
    return -1;
}

// Reads the records for `records` and `report`; a status to end with, or -1 with the records.
int ReadRecords(Context &c, const LedgerQuery &query, std::vector<LedgerRecord> &records)
{
    return ReadLedger(c, "no records yet", [&](StationLedger &ledger) {
        int unreadable = 0;
        std::string error;
        records = ledger.Query(query, &error, &unreadable);
        if (unreadable)
            c.err << "mfgkit: " << unreadable << " record(s) could not be read and are left out\n";
        return error;
    });
}

// The void serial numbers settled from `since` on; a status to end with, or -1 with them.
int ReadVoid(Context &c, const std::string &since, std::vector<SerialEntry> &entries)
{
    return ReadLedger(c, nullptr, [&](StationLedger &ledger) {
        std::string error;
        entries = ledger.VoidSerials(since, &error);
        return error;
    });
}

int Records(Context &c, const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        c.out << kRecordsHelp;
        return kExitOk;
    }
    LedgerQuery query;
    enum { Table, Csv, Json } format = Table;
    int formats = 0;
    bool lineWide = false; // from the line's server instead of this station's ledger
    bool voidNumbers = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--csv" || a == "--json") {
            format = a == "--csv" ? Csv : Json;
            ++formats;
        } else if (a == "--line") {
            lineWide = true;
        } else if (a == "--void") {
            voidNumbers = true;
        } else if (a == "--since" || a == "--serial") {
            if (i + 1 >= args.size())
                return Usage(c, a + " needs a value", kRecordsHelp);
            const std::string &value = args[++i];
            if (a == "--since" && !IsDate(value))
                return Usage(c, "--since needs a date YYYY-MM-DD, not \"" + Printable(value) + "\"", kRecordsHelp);
            (a == "--since" ? query.since : query.serial) = value;
            if (a == "--serial" && value.empty())
                return Usage(c, "--serial needs a serial text", kRecordsHelp);
        } else {
            return Usage(c, "unknown argument " + Printable(a), kRecordsHelp);
        }
    }
    if (formats > 1)
        return Usage(c, "--csv or --json, not both", kRecordsHelp);
    if (voidNumbers && (lineWide || !query.serial.empty()))
        return Usage(c, "--void lists this station's void numbers: not with --line or --serial", kRecordsHelp);
    if (voidNumbers) {
        std::vector<SerialEntry> entries;
        if (int status = ReadVoid(c, query.since, entries); status >= 0)
            return status;
        c.out << (format == Csv ? VoidSerialsCsv(entries) : format == Json ? VoidSerialsJson(entries) : VoidSerialsText(entries));
        return kExitOk;
    }
    if (lineWide)
        return RunLineRecords(query.since, query.serial,
                              format == Csv ? RecordsFormat::Csv : format == Json ? RecordsFormat::Json : RecordsFormat::Text,
                              c.out, c.err);
    std::vector<LedgerRecord> records;
    if (int status = ReadRecords(c, query, records); status >= 0)
        return status;
    if (format == Csv) {
        c.out << RecordsCsv(records);
    } else if (format == Json) {
        c.out << RecordsJson(records);
    } else {
        c.out << Pad("Seq", 7) << Pad("Time (UTC)", 25) << Pad("Kind", 8) << Pad("Tool", 9) << Pad("Serial", 16)
              << Pad("Result", 7) << "Failed step\n";
        for (const LedgerRecord &r : records)
            c.out << Pad(std::to_string(r.seq), 7) << Pad(r.timeUtc, 25) << Pad(r.kind, 8) << Pad(Printable(r.tool), 9)
                  << Pad(r.serial.empty() ? "-" : Printable(r.serial), 16) << Pad(r.verdict, 7)
                  << Printable(r.FailedStep()) << "\n";
    }
    return kExitOk;
}

int Report(Context &c, const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        c.out << kReportHelp;
        return kExitOk;
    }
    std::string since;
    bool lineWide = false; // across every station, from the line's server
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--line") {
            lineWide = true;
        } else if (args[i] == "--since" && i + 1 < args.size()) {
            since = args[++i];
            if (!IsDate(since))
                return Usage(c, "--since needs a date YYYY-MM-DD, not \"" + Printable(since) + "\"", kReportHelp);
        } else {
            return Usage(c, args[i] == "--since" ? "--since needs a value" : "unknown argument " + Printable(args[i]),
                         kReportHelp);
        }
    }
    if (lineWide)
        return RunLineReport(since, c.out, c.err);
    // Every record is read: a cable's first test may lie before the first day shown.
    std::vector<LedgerRecord> records;
    if (int status = ReadRecords(c, {}, records); status >= 0)
        return status;
    std::vector<SerialEntry> voided;
    if (int status = ReadVoid(c, since, voided); status >= 0)
        return status;
    c.out << ReportText(DailyReport(records, since)) << VoidReportText(voided);
    return kExitOk;
}

} // namespace

int RunMfgkit(const std::vector<std::string> &args, MfgkitEnv &env)
{
    Context c{env, env.host ? *env.host : platform::DefaultHost(), env.out ? *env.out : std::cout,
              env.err ? *env.err : std::cerr};
    if (args.empty()) {
        c.err << kMainHelp;
        return kExitUsage;
    }
    const std::string &command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        c.out << kMainHelp;
        return kExitOk;
    }
    // Which world the cables are in, first: a line that looks real on the bench would mislead.
    const bool onDevices = command == "scan" || command == "walk" || command == "program" || command == "test";
    if (onDevices && !env.host && platform::DefaultHostIsBench() && !WantsHelp(rest) &&
        std::find(rest.begin(), rest.end(), "--json") == rest.end())
        c.out << "Virtual bench: the bench's simulated cables (QT7730_HOST=usb for this PC's own)\n";
    if (command == "scan")
        return Scan(c, rest);
    if (command == "walk")
        return Walk(c, rest);
    if (command == "program" || command == "test") {
        if (std::find(rest.begin(), rest.end(), "--json") == rest.end() || WantsHelp(rest))
            return command == "program" ? Program(c, rest) : Test(c, rest);
        // A caller that asked for JSON gets it on every exit, early ones included: the status and why.
        std::ostringstream said;
        TeeBuffer tee(c.err, said);
        std::ostream err(&tee);
        Context teed{c.env, c.host, c.out, err};
        const int status = command == "program" ? Program(teed, rest) : Test(teed, rest);
        if (!teed.jsonPrinted) {
            std::string reason = said.str();
            for (std::size_t at; (at = reason.find("mfgkit: ")) != std::string::npos;)
                reason.erase(at, 8);
            while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' '))
                reason.pop_back();
            QJsonObject doc{{"command", QString::fromStdString(command)},
                            {"exit_status", status},
                            {"error", QString::fromStdString(reason)}};
            c.out << QJsonDocument(doc).toJson(QJsonDocument::Indented).toStdString();
        }
        return status;
    }
    if (command == "records")
        return Records(c, rest);
    if (command == "report")
        return Report(c, rest);
    if (command == "ledger")
        return RunLedgerCommand(rest, c.out, c.err, c.env.ledgerPath);
    if (command == "dashboard") {
#ifdef KIT_WITH_DASHBOARD
        return dashboard::RunDashboard(rest, c.out, c.err, c.env.ledgerPath);
#else
        c.err << "mfgkit dashboard: not in this build of mfgkit (the Windows kit has no dashboard yet); start it on "
                 "the line server or a Linux station\n";
        return 2;
#endif
    }
    return Usage(c, "unknown command \"" + Printable(command) + "\"", kMainHelp);
}

} // namespace line
