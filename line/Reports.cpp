#include "Reports.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstdio>
#include <set>

namespace line {

namespace {

std::string CsvField(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

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
        const std::string fields[] = {std::to_string(r.seq), r.timeUtc, r.kind, r.tool, std::to_string(r.station),
                                      r.host, r.serial, r.imageSha256, Hex4(r.chipModel), Hex4(r.chipVersion),
                                      devices, r.verdict, r.FailedStep(), differing, std::to_string(r.durationMs)};
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
    QJsonArray list;
    for (const LedgerRecord &r : records) {
        QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(r.ToJson())).object();
        o["seq"] = qint64(r.seq);
        list.append(o);
    }
    return QJsonDocument(list).toJson(QJsonDocument::Indented).toStdString();
}

std::vector<DayReport> DailyReport(const std::vector<LedgerRecord> &records, const std::string &since)
{
    std::map<std::string, DayReport> days;
    std::set<std::string> tested; // serials seen in a test already
    for (const LedgerRecord &r : records) {
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
    return QDate::fromString(QString::fromStdString(text), Qt::ISODate).isValid();
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
