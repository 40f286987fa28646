// The reporter of a program or test run: each cable's record stored before its line is printed, the
// progress line on a terminal, and the summary table or the run's JSON document.

#include "CableRun.h"

#include "Reports.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace line::mfgkit {

bool Reporter::Finished(CableOutcome &o)
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

void Reporter::EarlierRunVoided(const std::vector<SerialEntry> &entries)
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

int Reporter::Finish(const char *command, const Pairing &pairing, const std::vector<CablePair> &skipped)
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
    if (m_run.json)
        PrintJson(command, pairing, skipped, passed, failed, status);
    else
        PrintTable(pairing, skipped, passed, failed);
    return status;
}

void Reporter::PrintJson(const char *command, const Pairing &pairing, const std::vector<CablePair> &skipped,
                         int passed, int failed, int status)
{
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
}

void Reporter::PrintTable(const Pairing &pairing, const std::vector<CablePair> &skipped, int passed, int failed)
{
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
}

void Reporter::Progress()
{
    if (!m_c.env.terminal || m_run.json || m_total == 0)
        return;
    m_c.out << "\r[" << m_done << "/" << m_total << " cables done]" << std::flush;
    m_progressShown = true;
}

void Reporter::ClearProgress()
{
    if (m_progressShown)
        m_c.out << "\r\033[K" << std::flush;
    m_progressShown = false;
}

} // namespace line::mfgkit
