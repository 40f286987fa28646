#pragma once
// A known line for the dashboard's tests: stations (one host also with records from before Numwell's
// first use), ports, failures with differing EEPROM fields, a retested serial, a serial programmed by
// two stations, a void number, and texts from cables that are markup. Records are stored as the
// stations store them (LedgerRecord bodies, sent as an outbox sends them). The expected numbers are
// counted here from the seed, plainly, record by record.

#include "LedgerRecord.h"

#include <QDateTime>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace seed {

inline const char *const kMarkup = "<img src=x onerror=alert(1)>";
inline const char *const kImageA = "aaaa1111bbbb2222cccc3333dddd4444eeee5555ffff6666aaaa1111bbbb2222";
inline const char *const kImageB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

inline std::string Minus(const QDateTime &at, int minutes)
{
    return at.addSecs(-60 * minutes).toString(Qt::ISODateWithMs).toStdString();
}

inline line::LedgerRecord Record(const QDateTime &at, int minutesAgo, const std::string &kind, int station,
                                 const std::string &host, const std::string &serial, const std::string &failedStep = {},
                                 std::vector<line::LedgerField> differing = {}, int port = 1,
                                 const std::string &image = kImageA)
{
    line::LedgerRecord r;
    r.kind = kind;
    r.tool = "mfgkit";
    r.timeUtc = Minus(at, minutesAgo);
    r.station = station;
    r.host = host;
    r.serial = serial;
    r.imageSha256 = image;
    r.chipModel = 0x7730;
    r.chipVersion = 0x8005;
    r.devices = {"\\\\.\\HOSTLNK-" + std::to_string(port), "\\\\.\\HOSTLNK-" + std::to_string(port + 1)};
    // The sides' hub ports: the fixture's hub on port 2 of controller 0.
    r.ports = {"0-2." + std::to_string(port), "0-2." + std::to_string(port + 1)};
    if (kind == line::LedgerRecord::kTest)
        r.steps = {{"Initialize device", "OK"}, {"Check chip version", "OK"}, {"Verify configuration", "OK"},
                   {"Send data from side A to B", "OK"}};
    else
        r.steps = {{"Initialize device", "OK"}, {"Write EEPROM", "OK"}, {"Read back", "OK"}};
    bool failed = false;
    for (auto &s : r.steps)
        if (failed)
            s.result = "Skip";
        else if (s.name == failedStep)
            s.result = "FAIL", failed = true;
    r.verdict = failedStep.empty() ? line::LedgerRecord::kPass : line::LedgerRecord::kFail;
    r.differing = std::move(differing);
    r.durationMs = 900;
    return r;
}

// The line: `at` is the dashboard's "now"; every record lies before it.
inline std::vector<line::LedgerRecord> Line(const QDateTime &at)
{
    using R = line::LedgerRecord;
    const int m = at.time().minute(); // minutes since the hour began
    const int h = 60 * at.time().hour() + m; // since the day began
    std::vector<R> v;
    // Yesterday: four cables programmed and tested; S2 fails its EEPROM check.
    for (const char *s : {"S1", "S2", "S3", "S4"})
        v.push_back(Record(at, h + 300, R::kProgram, 1, "alpha", s));
    v.push_back(Record(at, h + 200, R::kTest, 1, "alpha", "S1", {}, {}, 1));
    v.push_back(Record(at, h + 199, R::kTest, 1, "alpha", "S2", "Verify configuration",
                       {{"product text", "Bridge cable", "Bridge cab1e"}}, 3));
    v.push_back(Record(at, h + 198, R::kTest, 2, "beta", "S3", {}, {}, 1));
    v.push_back(Record(at, h + 197, R::kTest, 2, "beta", "S4", {}, {}, 3));
    // Today, before this hour: S2 retested and passes; S5 fails its data test (port 3) on beta; a failed
    // programming with a differing serial.
    v.push_back(Record(at, m + 120, R::kTest, 1, "alpha", "S2", {}, {}, 1));
    v.push_back(Record(at, m + 110, R::kProgram, 2, "beta", "S5"));
    v.push_back(Record(at, m + 100, R::kTest, 2, "beta", "S5", "Send data from side A to B", {}, 3));
    v.push_back(Record(at, m + 90, R::kProgram, 2, "beta", "S9", "Read back", {{"serial", "S9", "S?"}}, 5, kImageB));
    // This hour: S5 retested and passes; S6 passes; S7 fails with markup in its product text; a test on
    // alpha from before Numwell's first use (station -1) counts with station 1.
    v.push_back(Record(at, m > 20 ? 20 : m / 2 + 1, R::kTest, 2, "beta", "S5", {}, {}, 1));
    v.push_back(Record(at, m > 20 ? 15 : m / 3 + 1, R::kProgram, 1, "alpha", "S6"));
    v.push_back(Record(at, m > 20 ? 10 : m / 4 + 1, R::kTest, 1, "alpha", "S6", {}, {}, 1, kImageB));
    v.push_back(Record(at, m > 20 ? 8 : m / 5 + 1, R::kTest, 1, "alpha", "S7", "Verify configuration",
                       {{"vendor ID", "0C5E", "0000"}, {"product text", "Bridge cable", kMarkup}}, 3));
    v.push_back(Record(at, m > 20 ? 5 : m / 6 + 1, R::kTest, -1, "alpha", "S8", {}, {}, 3));
    v.back().ports.clear(); // recorded before the kit knew the ports
    // One serial programmed by two stations (one of them on a PC without a line server at the time).
    v.push_back(Record(at, m + 80, R::kProgram, 1, "alpha", "D1"));
    v.push_back(Record(at, m + 70, R::kProgram, 2, "beta", "D1"));
    // A test without a readable serial: a first test every time.
    v.push_back(Record(at, m + 60, R::kTest, 2, "beta", "", "Check chip version", {}, 5));
    v.back().ports[1].clear(); // side B was not found
    return v;
}

// What the page must show, counted from the records.
struct Counts {
    long programmed = 0, programFailed = 0, tested = 0, passed = 0, first = 0, firstPassed = 0, finalPassed = 0;
    bool operator==(const Counts &) const = default;
};

inline int Counted(const line::LedgerRecord &r, const std::vector<line::LedgerRecord> &all)
{
    if (r.station >= 0)
        return r.station;
    std::set<int> used;
    for (const auto &x : all)
        if (x.host == r.host && x.station >= 0)
            used.insert(x.station);
    return used.size() == 1 ? *used.begin() : r.station;
}

inline Counts Period(const std::vector<line::LedgerRecord> &all, const std::string &from, const std::string &to)
{
    Counts c;
    for (const auto &r : all) {
        if (r.timeUtc < from || r.timeUtc >= to)
            continue;
        const bool pass = r.verdict == line::LedgerRecord::kPass;
        if (r.kind == line::LedgerRecord::kProgram) {
            (pass ? c.programmed : c.programFailed)++;
            continue;
        }
        ++c.tested;
        c.passed += pass;
        bool first = true;
        const line::LedgerRecord *last = &r;
        for (const auto &x : all) {
            if (r.serial.empty() || x.kind != line::LedgerRecord::kTest || x.serial != r.serial)
                continue;
            first = first && !(x.timeUtc < r.timeUtc);
            if (x.timeUtc > last->timeUtc)
                last = &x;
        }
        if (first) {
            ++c.first;
            c.firstPassed += pass;
            c.finalPassed += last->verdict == line::LedgerRecord::kPass;
        }
    }
    return c;
}

// (kind, failed step) -> failures, and field -> failures, over [from, to).
inline std::map<std::pair<std::string, std::string>, long> Steps(const std::vector<line::LedgerRecord> &all,
                                                                 const std::string &from, const std::string &to)
{
    std::map<std::pair<std::string, std::string>, long> out;
    for (const auto &r : all)
        if (r.timeUtc >= from && r.timeUtc < to && r.verdict != line::LedgerRecord::kPass)
            ++out[{r.kind, r.FailedStep()}];
    return out;
}
inline std::map<std::string, long> Fields(const std::vector<line::LedgerRecord> &all, const std::string &from,
                                          const std::string &to)
{
    std::map<std::string, long> out;
    for (const auto &r : all)
        if (r.timeUtc >= from && r.timeUtc < to && r.verdict != line::LedgerRecord::kPass)
            for (const auto &f : r.differing)
                ++out[f.field];
    return out;
}
// (station, host, hub port) -> (tested, passed) over the tests of [from, to): a test counts once at
// each port its sides were plugged into, at "unknown" for a side (or a record) that does not say.
inline std::map<std::tuple<long, std::string, std::string>, std::pair<long, long>>
Ports(const std::vector<line::LedgerRecord> &all, const std::string &from, const std::string &to)
{
    std::map<std::tuple<long, std::string, std::string>, std::pair<long, long>> out;
    for (const auto &r : all) {
        if (r.kind != line::LedgerRecord::kTest || r.timeUtc < from || r.timeUtc >= to)
            continue;
        std::set<std::string> at;
        for (const auto &port : r.ports)
            at.insert(port.empty() ? "unknown" : port);
        if (at.empty())
            at.insert("unknown");
        for (const auto &port : at) {
            auto &p = out[{Counted(r, all), r.host, port}];
            ++p.first;
            p.second += r.verdict == line::LedgerRecord::kPass;
        }
    }
    return out;
}

} // namespace seed
