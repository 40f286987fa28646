#include "LineRun.h"

#include "BridgeDevice.h"
#include "FunctionTest.h"
#include "HostMachine.h"
#include "StepLog.h"
#include "TestObserver.h"
#include "TestRecord.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace line {

namespace {

using Clock = std::chrono::steady_clock;

// A side's location for its record, when the walk found it.
std::optional<std::string> Located(const BridgeSide &side)
{
    return side.location.empty() ? std::nullopt : std::optional<std::string>(side.location);
}

constexpr const char *kStepInit = "Initialize device";
constexpr const char *kStepChip = "Check chip";
constexpr const char *kStepWrite = "Write EEPROM";
constexpr const char *kStepVerify = "Verify configuration";
constexpr const char *kStepSerial = "Take serial number";

// Runs `body` for every item at once, one thread each, and joins them all. An item whose thread cannot
// be started runs on the calling thread instead, so every item is done when this returns.
template <typename Item, typename Body>
void ForEachAtOnce(std::vector<Item *> &items, const Body &body)
{
    std::vector<std::thread> threads;
    threads.reserve(items.size());
    for (Item *item : items) {
        try {
            threads.emplace_back([&body, item] { body(*item); });
        } catch (const std::system_error &) {
            body(*item);
        }
    }
    for (std::thread &t : threads)
        t.join();
}

// Hands outcomes to the caller's sink one at a time, from whichever thread finishes.
class SerialSink {
public:
    explicit SerialSink(const OutcomeSink &sink) : m_sink(sink) {}
    void operator()(CableOutcome &outcome)
    {
        std::lock_guard lock(m_mutex);
        m_sink(outcome);
    }

private:
    const OutcomeSink &m_sink;
    std::mutex m_mutex;
};

struct ProgramJob {
    CableOutcome outcome;
    Clock::time_point began;
    EepromImage target;
    bool ok = true;
    bool skipped = false;
    bool numbered = false; // holds a reserved number: it ends programmed or void

    void Step(const char *name, bool passed)
    {
        outcome.record.steps.push_back({name, passed ? "OK" : "FAIL"});
        if (!passed)
            ok = false;
    }
    void Finish(bool passed)
    {
        outcome.passed = passed;
        outcome.record.verdict = passed ? LedgerRecord::kPass : LedgerRecord::kFail;
        outcome.record.durationMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
        if (!passed && outcome.detail.empty())
            outcome.detail = outcome.record.FailedStep();
        if (numbered && !outcome.serialVerdict)
            outcome.serialVerdict = SerialVerdict{outcome.record.serial, passed, passed ? "" : outcome.detail, ""};
    }
};

std::string DescribeDifferences(const std::vector<LedgerField> &fields)
{
    std::string text;
    for (const LedgerField &f : fields) {
        if (!text.empty())
            text += "; ";
        text += f.field + " expected " + f.expected + " found " + f.found;
    }
    return text;
}

// Writes the image so that a run killed half-way never leaves a cable showing a serial number pieced
// together from two numbers: the serial flag goes off with the first block written and comes back with
// the last one, so a half-written cable shows no serial at all.
bool WriteSerialLast(BridgeDevice &device, const EepromImage &image)
{
    constexpr uint16_t kFlag = offsetof(EepromRecord, bSerialIndex);
    constexpr uint16_t kFlagBlock = kFlag / 8 * 8;
    std::array<uint8_t, EepromImage::kEepromSize> bytes{};
    std::memcpy(bytes.data(), image.Bytes(), bytes.size());
    const uint8_t flag = bytes[kFlag];
    bytes[kFlag] = 0;
    if (!device.WriteEeprom(bytes.data() + kFlagBlock, kFlagBlock, 8) ||
        !device.WriteEeprom(bytes.data(), 0, EepromImage::kEepromSize))
        return false;
    bytes[kFlag] = flag;
    return flag == 0 || device.WriteEeprom(bytes.data() + kFlagBlock, kFlagBlock, 8);
}

void WriteAndVerify(platform::Host &host, ProgramJob &job)
{
    BridgeDevice device(host);
    if (!device.Open(job.outcome.cable.a.name)) {
        job.Step(kStepWrite, false);
        job.outcome.detail = std::string(kStepWrite) + ": the side did not open";
        return;
    }
    if (!WriteSerialLast(device, job.target)) {
        job.Step(kStepWrite, false);
        return;
    }
    job.Step(kStepWrite, true);
    std::array<uint8_t, EepromImage::kEepromSize> back{};
    if (!device.ReadEeprom(back.data(), 0, EepromImage::kEepromSize)) {
        job.Step(kStepVerify, false);
        job.outcome.detail = std::string(kStepVerify) + ": the EEPROM could not be read back";
        return;
    }
    const bool same = std::memcmp(back.data(), job.target.Bytes(), back.size()) == 0;
    job.Step(kStepVerify, same);
    if (!same) {
        for (const auto &d : production::DifferingFields(job.target.Bytes(), back.data(), false))
            job.outcome.record.differing.push_back({d.field, d.expected, d.found});
        job.outcome.detail = std::string(kStepVerify) + ": " + DescribeDifferences(job.outcome.record.differing);
    }
}

// A numbered cable that failed: write it again without the serial, so it never carries a void number.
// Says in the verdict whether that worked ("yes": the read-back holds no serial text).
void ClearSerial(platform::Host &host, ProgramJob &job, const EepromImage &cleared)
{
    if (job.outcome.detail.empty())
        job.outcome.detail = job.outcome.record.FailedStep();
    SerialVerdict verdict{job.outcome.record.serial, false, job.outcome.detail, "no"};
    BridgeDevice device(host);
    std::array<uint8_t, EepromImage::kEepromSize> back{};
    if (device.Open(job.outcome.cable.a.name) && WriteSerialLast(device, cleared) &&
        device.ReadEeprom(back.data(), 0, EepromImage::kEepromSize) &&
        std::memcmp(back.data(), cleared.Bytes(), back.size()) == 0)
        verdict.cleared = "yes";
    job.outcome.serialVerdict = verdict;
    job.outcome.detail += verdict.cleared == "yes" ? " (its serial number was cleared from the EEPROM)"
                                                   : " (its serial number could not be cleared: the cable may hold it)";
}

} // namespace

EepromImage ImageWithoutSerial(const EepromImage &image)
{
    EepromImage out = image;
    char text[256] = {};
    if (out.GetString(3, text, sizeof text)) {
        const std::string blank(std::strlen(text), '\0');
        out.SetProperty(EEP_SERIAL_STRING, blank.data(), uint16_t(blank.size()));
    }
    out.m_rec.bSerialIndex = 0;
    return out;
}

bool ImageWithSerial(const EepromImage &image, const std::string &serial, EepromImage &out)
{
    out = image;
    if (serial.size() > 126)
        return false;
    if (!out.SetProperty(EEP_SERIAL_STRING, serial.data(), uint16_t(serial.size())))
        return false;
    out.m_rec.bSerialIndex = EepromImage::kSerialInUse;
    return true;
}

namespace {

// One job per cable, its record begun: the run's start, the station, the image and where it is plugged.
std::vector<std::unique_ptr<ProgramJob>> MakeJobs(const std::vector<CablePair> &cables, const ProgramPlan &plan)
{
    const std::string startUtc = NowUtc();
    std::vector<std::unique_ptr<ProgramJob>> owned;
    for (const CablePair &cable : cables) {
        auto job = std::make_unique<ProgramJob>();
        job->began = Clock::now();
        job->outcome.cable = cable;
        LedgerRecord &r = job->outcome.record;
        r.kind = LedgerRecord::kProgram;
        r.tool = "mfgkit";
        r.timeUtc = startUtc;
        r.station = plan.station.station;
        r.host = plan.station.host;
        r.imageSha256 = plan.imageSha256;
        r.devices = {cable.a.name, cable.b.name};
        if (Located(cable.a) || Located(cable.b))
            r.ports = {cable.a.location, cable.b.location};
        owned.push_back(std::move(job));
    }
    return owned;
}

// The chip of every cable, all at once: only cables of the image's chip are written.
void CheckChips(platform::Host &host, std::vector<ProgramJob *> &jobs, uint32_t wantedModel)
{
    ForEachAtOnce(jobs, [&](ProgramJob &job) {
        BridgeDevice device(host);
        const bool opened = device.Open(job.outcome.cable.a.name);
        job.Step(kStepInit, opened);
        if (!opened)
            return;
        uint32_t model = 0, version = 0;
        const bool answered = device.QueryChip(&model, &version);
        job.outcome.record.chipModel = model;
        job.outcome.record.chipVersion = version;
        if (answered && model != wantedModel) {
            job.skipped = true;
            return;
        }
        job.Step(kStepChip, answered);
    });
}

// Numbers for the cables to write: spent (the counter saved past them), leased on the line and reserved
// in the ledger, all before the first write: whatever happens to the run after this, none of them can
// be handed out again. A cable whose number was refused, or held already, is not written. Why the run
// stops before any write, or nothing to go on.
std::optional<ProgramStop> ReserveNumbers(const ProgramPlan &plan, std::vector<ProgramJob *> &writing)
{
    std::string error;
    std::optional<std::vector<std::string>> numbers = plan.serials->Spend(writing.size(), &error);
    if (!numbers || numbers->size() != writing.size())
        return ProgramStop{error.empty() ? "the serial numbers could not be taken" : error, false};
    const std::vector<std::string> refused = plan.serials->Lease(*numbers);
    std::vector<std::pair<std::string, std::string>> reservations;
    for (std::size_t i = 0; i < writing.size(); ++i) {
        writing[i]->outcome.record.serial = (*numbers)[i];
        reservations.emplace_back((*numbers)[i], writing[i]->outcome.cable.Name());
    }
    std::vector<std::string> held;
    if (plan.reserve && !plan.reserve(reservations, &held, &error)) {
        for (const auto &[serial, devices] : reservations)
            plan.serials->Void(serial, "not written: the station's ledger did not take its reservation");
        return ProgramStop{error, true};
    }
    for (std::size_t i = 0; i < writing.size(); ++i) {
        ProgramJob &job = *writing[i];
        const std::string &serial = job.outcome.record.serial;
        const bool heldBefore = std::find(held.begin(), held.end(), serial) != held.end();
        job.numbered = !heldBefore;
        std::string why = i < refused.size() ? refused[i] : std::string();
        if (why.empty() && heldBefore)
            why = "serial " + serial + " was issued by this station before (its counter was set back)";
        if (why.empty() && !ImageWithSerial(plan.image, serial, job.target))
            why = "it does not fit the image";
        job.Step(kStepSerial, why.empty());
        if (!why.empty()) {
            job.outcome.detail = std::string(kStepSerial) + ": " + why;
            if (job.numbered)
                job.outcome.serialVerdict = SerialVerdict{serial, false, job.outcome.detail, ""};
        }
    }
    return std::nullopt;
}

// The image's own serial text, or the one fixed text, for every cable to write.
void FixedSerials(const ProgramPlan &plan, std::vector<ProgramJob *> &writing)
{
    for (ProgramJob *job : writing) {
        if (plan.mode == SerialMode::Keep) {
            job->target = plan.image;
            job->outcome.record.serial = plan.image.SerialText();
        } else if (plan.mode == SerialMode::Text) {
            job->outcome.record.serial = plan.text;
            if (!ImageWithSerial(plan.image, plan.text, job->target)) {
                job->Step(kStepSerial, false);
                job->outcome.detail = std::string(kStepSerial) + ": it does not fit";
            }
        }
    }
}

// Every cable written at most once, read back and compared, all at once; a failure is final at once. A
// numbered cable's number is confirmed, or void (its serial cleared from the EEPROM where possible).
void WriteAll(platform::Host &host, const ProgramPlan &plan, std::vector<ProgramJob *> &writing, SerialSink &sink)
{
    const EepromImage cleared = ImageWithoutSerial(plan.image);
    ForEachAtOnce(writing, [&](ProgramJob &job) {
        if (job.ok) {
            WriteAndVerify(host, job);
            if (!job.ok && job.numbered)
                ClearSerial(host, job, cleared);
        }
        job.Finish(job.ok);
        if (job.numbered) {
            if (job.ok)
                plan.serials->Confirm(job.outcome.record.serial);
            else
                plan.serials->Void(job.outcome.record.serial,
                                   job.outcome.serialVerdict ? job.outcome.serialVerdict->reason : job.outcome.detail);
        }
        sink(job.outcome);
    });
}

} // namespace

ProgramStop ProgramCables(platform::Host &host, const std::vector<CablePair> &cables, const ProgramPlan &plan,
                          const OutcomeSink &finished, std::vector<CablePair> *skipped)
{
    SerialSink sink(finished);
    const std::vector<std::unique_ptr<ProgramJob>> owned = MakeJobs(cables, plan);
    std::vector<ProgramJob *> jobs;
    for (const auto &job : owned)
        jobs.push_back(job.get());
    CheckChips(host, jobs, plan.image.m_rec.dwChipModel.get());
    std::vector<ProgramJob *> writing;
    std::vector<ProgramJob *> failedEarly;
    for (ProgramJob *job : jobs) {
        if (job->skipped) {
            if (skipped)
                skipped->push_back(job->outcome.cable);
        } else if (!job->ok) {
            failedEarly.push_back(job);
        } else {
            writing.push_back(job);
        }
    }

    // The serial text of each cable, before any cable is written.
    if (plan.mode == SerialMode::Numwell && !writing.empty()) {
        if (std::optional<ProgramStop> stop = ReserveNumbers(plan, writing))
            return *stop;
    } else {
        FixedSerials(plan, writing);
    }

    for (ProgramJob *job : failedEarly) {
        job->Finish(false);
        sink(job->outcome);
    }
    WriteAll(host, plan, writing, sink);
    return {};
}

namespace {

// Says why a tested cable failed, once its verdict is final.
void SayWhyFailed(CableOutcome &outcome, const std::string &serialProblem)
{
    if (!serialProblem.empty()) {
        outcome.detail = std::string(kStepSerialNumber) + ": " + serialProblem;
    } else if (!outcome.passed) {
        const std::string step = outcome.record.FailedStep();
        outcome.detail = step;
        if (step == "Send data from side A to B")
            outcome.detail += ": what " + outcome.cable.b.ShortName() + " sent did not arrive on " +
                              outcome.cable.a.ShortName();
        else if (step == "Send data from side B to A")
            outcome.detail += ": what " + outcome.cable.a.ShortName() + " sent did not arrive on " +
                              outcome.cable.b.ShortName();
        else if (!outcome.record.differing.empty())
            outcome.detail += ": " + DescribeDifferences(outcome.record.differing);
    }
}

// The production tester's worker on one cable; its record as the worker observed it.
void TestOne(platform::Host &host, const TestPlan &plan, const std::map<std::string, std::string> &names,
             CableOutcome &outcome)
{
    production::RunInputs in;
    std::memcpy(in.imageBytes.data(), plan.image.Bytes(), EepromImage::kEepromSize);
    in.chipModel = plan.image.m_rec.dwChipModel.get();
    in.chipVersion = plan.image.m_rec.dwChipVersion.get();
    in.blank = plan.image.m_bBlank;
    in.sideA = {outcome.cable.a.ShortName(), outcome.cable.a.name, Located(outcome.cable.a)};
    in.sideB = {outcome.cable.b.ShortName(), outcome.cable.b.name, Located(outcome.cable.b)};

    production::HostCableIo io(host);
    production::ObservingCableIo observed(io);
    StepLog steps(names);
    const std::string start = NowUtc();
    const auto began = Clock::now();
    const bool passed = production::TestWorker(in, observed, [&steps](const std::string &text) { steps.Feed(text); });
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
    outcome.record = production::TestRecord("mfgkit", in, observed.Observed(), steps.Steps(), passed, start, took);
    outcome.record.imageSha256 = plan.imageSha256;
    outcome.passed = passed;
}

// How many cables of the run carry each serial, as the test read them: one number carried by two cables
// of the run fails both, which is known only once every cable has been read.
std::map<std::string, int> SerialsCarried(const std::vector<CableOutcome> &outcomes)
{
    std::map<std::string, int> carried;
    for (const CableOutcome &outcome : outcomes)
        if (!outcome.record.serial.empty())
            ++carried[outcome.record.serial];
    return carried;
}

// The step "Serial number" of a cable that passed so far; its problem, "" when none.
std::string CheckSerial(const TestPlan &plan, const std::map<std::string, int> &carried, CableOutcome &outcome)
{
    std::string problem;
    if (outcome.passed) {
        const std::string &serial = outcome.record.serial;
        if (serial.empty())
            problem = "the cable carries no serial number";
        else if (carried.at(serial) > 1)
            problem = serial + " is carried by another cable of this run too";
        else
            problem = plan.serialStanding(serial);
        outcome.record.steps.push_back({kStepSerialNumber, problem.empty() ? "OK" : "FAIL"});
        if (!problem.empty()) {
            outcome.passed = false;
            outcome.record.verdict = LedgerRecord::kFail;
        }
    }
    return problem;
}

} // namespace

void TestCables(platform::Host &host, const std::vector<CablePair> &cables, const TestPlan &plan,
                const OutcomeSink &finished)
{
    SerialSink sink(finished);
    std::vector<CableOutcome> outcomes(cables.size());
    std::vector<CableOutcome *> items;
    for (std::size_t i = 0; i < cables.size(); ++i) {
        outcomes[i].cable = cables[i];
        items.push_back(&outcomes[i]);
    }
    const std::map<std::string, std::string> names = production::EnglishStepNames();
    ForEachAtOnce(items, [&](CableOutcome &outcome) {
        TestOne(host, plan, names, outcome);
        if (!plan.serialStanding) {
            SayWhyFailed(outcome, {});
            sink(outcome);
        }
    });
    if (!plan.serialStanding)
        return;
    const std::map<std::string, int> carried = SerialsCarried(outcomes);
    for (CableOutcome &outcome : outcomes) {
        SayWhyFailed(outcome, CheckSerial(plan, carried, outcome));
        sink(outcome);
    }
}

} // namespace line
