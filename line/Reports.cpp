#include "Reports.h"

#include "JsonText.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace line {

namespace {

std::string Hex4(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

} // namespace

std::string RecordsCsv(const std::vector<LedgerRecord> &records)
{
    std::string csv = "seq,time_utc,kind,tool,station,host,serial,image_sha256,chip_model,chip_version,devices,"
                      "verdict,failed_step,differing,duration_ms\r\n";
    for (const LedgerRecord &r : records) {
        std::string devices, differing;
        for (const std::string &d : r.devices) {
            devices += devices.empty() ? std::string() : std::string(" ");
            devices += d;
        }
        for (const LedgerField &f : r.differing) {
            differing += differing.empty() ? std::string() : std::string("; ");
            differing += f.field + ": " + f.expected + " -> " + f.found;
        }
        const std::string fields[] = {std::to_string(r.seq), r.timeUtc, r.kind, SpreadsheetText(r.tool),
                                      std::to_string(r.station), SpreadsheetText(r.host), SpreadsheetText(r.serial),
                                      r.imageSha256, Hex4(r.chipModel), Hex4(r.chipVersion), SpreadsheetText(devices),
                                      r.verdict, SpreadsheetText(r.FailedStep()), SpreadsheetText(differing),
                                      std::to_string(r.durationMs)};
        std::string line;
        for (const std::string &f : fields) {
            line += line.empty() ? std::string() : std::string(",");
            line += CsvField(f);
        }
        csv += line + "\r\n";
    }
    return csv;
}

std::string RecordsJson(const std::vector<LedgerRecord> &records)
{
    auto list = std::make_shared<json::Value::Array>();
    for (const LedgerRecord &r : records) {
        json::Value o = json::Parse(r.ToJson()).value_or(json::Value{});
        o.Set("seq", json::Value{r.seq});
        list->push_back(std::move(o));
    }
    return json::Indented(json::Value{list});
}

std::vector<DayReport> DailyReport(const std::vector<LedgerRecord> &records, const std::string &since)
{
    std::map<std::string, DayReport> days;
    std::set<std::string> tested; // serials seen in a test already
    // A serial's first test is the one that started first, whatever order the records were stored in
    // (cables tested at once finish, and are stored, in any order).
    std::vector<const LedgerRecord *> byStart;
    for (const LedgerRecord &r : records)
        byStart.push_back(&r);
    std::stable_sort(byStart.begin(), byStart.end(),
                     [](const LedgerRecord *x, const LedgerRecord *y) { return x->timeUtc < y->timeUtc; });
    for (const LedgerRecord *record : byStart) {
        const LedgerRecord &r = *record;
        const std::string day = r.Day();
        DayReport &d = days[day];
        d.day = day;
        const bool pass = r.verdict == LedgerRecord::kPass;
        if (r.kind == LedgerRecord::kProgram) {
            (pass ? d.programmed : d.programFailed)++;
            continue;
        }
        if (r.kind != LedgerRecord::kTest)
            continue;
        ++d.tested;
        (pass ? d.passed : d.failed)++;
        if (!pass)
            ++d.failedBy[r.FailedStep().empty() ? "(no step)" : r.FailedStep()];
        // A cable without a readable serial cannot be recognised later: each such test is a first one.
        if (r.serial.empty() || tested.insert(r.serial).second) {
            ++d.firstTests;
            if (pass)
                ++d.firstPassed;
        }
    }
    std::vector<DayReport> out;
    for (auto &[day, report] : days)
        if (since.empty() || day >= since)
            out.push_back(report);
    return out;
}

std::string ReportText(const std::vector<DayReport> &days)
{
    std::string text = "Day         Programmed  Prog.failed  Tested  Passed  Failed  First-pass yield  Failed by step\n";
    char line[256];
    for (const DayReport &d : days) {
        std::string by;
        for (const auto &[step, count] : d.failedBy) {
            by += by.empty() ? std::string() : std::string(", ");
            by += step + ": " + std::to_string(count);
        }
        std::string yield = "-";
        if (d.firstTests) {
            char y[32];
            std::snprintf(y, sizeof y, "%.1f %% (%d/%d)", d.FirstPassYield(), d.firstPassed, d.firstTests);
            yield = y;
        }
        std::snprintf(line, sizeof line, "%-10s  %10d  %11d  %6d  %6d  %6d  %16s  ", d.day.c_str(), d.programmed,
                      d.programFailed, d.tested, d.passed, d.failed, yield.c_str());
        text += line + Printable(by) + "\n";
    }
    return text;
}

bool IsDate(const std::string &text)
{
    if (text.size() != 10)
        return false;
    // yyyy-mm-dd of a day that exists
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((i == 4 || i == 7) ? text[i] != '-' : (text[i] < '0' || text[i] > '9'))
            return false;
    const int y = std::stoi(text.substr(0, 4)), m = std::stoi(text.substr(5, 2)), d = std::stoi(text.substr(8, 2));
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return y >= 1 && m >= 1 && m <= 12 && d >= 1 && d <= kDays[m - 1] + (m == 2 && leap);
}

std::string VoidSerialsText(const std::vector<SerialEntry> &entries)
{
    if (entries.empty())
        return "No void serial numbers.\n";
    auto pad = [](const std::string &t, std::size_t w) { return t.size() >= w ? t + " " : t + std::string(w - t.size(), ' '); };
    std::string out = pad("Serial", 16) + pad("Void since (UTC)", 26) + pad("Cable", 24) + pad("Cleared", 9) + "Reason\n";
    for (const SerialEntry &e : entries)
        out += pad(Printable(e.serial), 16) + pad(e.settledUtc, 26) + pad(Printable(e.devices), 24) +
               pad(e.cleared.empty() ? "-" : e.cleared, 9) + Printable(e.reason) + "\n";
    return out;
}

std::string VoidSerialsCsv(const std::vector<SerialEntry> &entries)
{
    std::string out = "serial,state,reserved_utc,void_utc,devices,cleared,reason\r\n";
    for (const SerialEntry &e : entries)
        out += CsvField(SpreadsheetText(e.serial)) + "," + CsvField(e.state) + "," + CsvField(e.reservedUtc) + "," +
               CsvField(e.settledUtc) + "," + CsvField(e.devices) + "," + CsvField(e.cleared) + "," +
               CsvField(SpreadsheetText(e.reason)) + "\r\n";
    return out;
}

std::string VoidSerialsJson(const std::vector<SerialEntry> &entries)
{
    auto list = std::make_shared<json::Value::Array>();
    for (const SerialEntry &e : entries) {
        json::Value o;
        o.Set("serial", json::Value{Utf8OrEscaped(e.serial)});
        o.Set("state", json::Value{Utf8OrEscaped(e.state)});
        o.Set("reserved_utc", json::Value{Utf8OrEscaped(e.reservedUtc)});
        o.Set("void_utc", json::Value{Utf8OrEscaped(e.settledUtc)});
        o.Set("devices", json::Value{Utf8OrEscaped(e.devices)});
        o.Set("cleared", json::Value{Utf8OrEscaped(e.cleared)});
        o.Set("reason", json::Value{Utf8OrEscaped(e.reason)});
        list->push_back(std::move(o));
    }
    return json::Indented(json::Value{list});
}

std::string VoidReportText(const std::vector<SerialEntry> &entries)
{
    if (entries.empty())
        return {};
    std::map<std::string, std::map<std::string, int>> byDay; // day -> reason -> count
    for (const SerialEntry &e : entries) {
        // "Write EEPROM: ... (its serial number was cleared ...)": the reason without the cable's detail.
        std::string reason = e.reason.substr(0, e.reason.find(':'));
        ++byDay[e.settledUtc.substr(0, 10)][reason];
    }
    std::string out = "\nVoid serial numbers (never given to another cable; mfgkit records --void lists them):\n";
    for (const auto &[day, reasons] : byDay) {
        int total = 0;
        for (const auto &[reason, n] : reasons)
            total += n;
        out += "  " + day + "  " + std::to_string(total) + "\n";
        for (const auto &[reason, n] : reasons)
            out += "      " + std::to_string(n) + "  " + Printable(reason) + "\n";
    }
    return out;
}

std::string Printable(const std::string &text)
{
    std::string out = text;
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

} // namespace line
