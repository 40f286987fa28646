#include "LineRun.h"

#include "BridgeDevice.h"
#include "FunctionTest.h"
#include "HostMachine.h"
#include "StepLog.h"
#include "TestObserver.h"
#include "TestRecord.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace line {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kStepInit = "Initialize device";
constexpr const char *kStepChip = "Check chip";
constexpr const char *kStepWrite = "Write EEPROM";
constexpr const char *kStepVerify = "Verify configuration";
constexpr const char *kStepSerial = "Take serial number";
constexpr const char *kStepSave = "Save serial number";

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
    bool holdsNumber = false;

    void Step(const char *name, bool passed)
    {
        outcome.record.steps.push_back({name, passed ? "OK" : "FAIL"});
        if (!passed)
            ok = false;
    }
    void DropSteps(const char *from)
    {
        auto &steps = outcome.record.steps;
        for (std::size_t i = 0; i < steps.size(); ++i)
            if (steps[i].name == from) {
                steps.resize(i);
                return;
            }
    }
    void Finish(bool passed)
    {
        outcome.passed = passed;
        outcome.record.verdict = passed ? LedgerRecord::kPass : LedgerRecord::kFail;
        outcome.record.durationMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
        if (!passed && outcome.detail.empty())
            outcome.detail = outcome.record.FailedStep();
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

void WriteAndVerify(platform::Host &host, ProgramJob &job)
{
    BridgeDevice device(host);
    if (!device.Open(job.outcome.cable.a.name)) {
        job.Step(kStepWrite, false);
        job.outcome.detail = std::string(kStepWrite) + ": the side did not open";
        return;
    }
    if (!device.WriteEeprom(job.target.Bytes(), 0, EepromImage::kEepromSize)) {
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

} // namespace

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

void ProgramCables(platform::Host &host, const std::vector<CablePair> &cables, const ProgramPlan &plan,
                   const OutcomeSink &finished, std::vector<CablePair> *skipped)
{
    SerialSink sink(finished);
    const uint32_t wantedModel = plan.image.m_rec.dwChipModel.get();
    const std::string startUtc = NowUtc();

    std::vector<std::unique_ptr<ProgramJob>> owned;
    std::vector<ProgramJob *> jobs;
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
        jobs.push_back(job.get());
        owned.push_back(std::move(job));
    }

    // The chip of every cable, all at once: only cables of the image's chip are written.
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
    std::vector<ProgramJob *> writing;
    for (ProgramJob *job : jobs) {
        if (job->skipped) {
            if (skipped)
                skipped->push_back(job->outcome.cable);
        } else if (!job->ok) {
            job->Finish(false);
            sink(job->outcome);
        } else {
            writing.push_back(job);
        }
    }

    // The serial text of each cable; numbers are taken in cable order, just before the writes.
    std::vector<ProgramJob *> numbered; // holding a number, in the order taken
    auto assign = [&](ProgramJob &job) {
        std::string serial;
        bool ok = true;
        if (plan.mode == SerialMode::Keep) {
            job.target = plan.image;
            serial = production::SerialText(plan.image.Bytes());
        } else if (plan.mode == SerialMode::Text) {
            serial = plan.text;
            ok = ImageWithSerial(plan.image, serial, job.target);
        } else {
            std::string error;
            std::optional<std::string> number = plan.serials->Take(&error);
            ok = number && ImageWithSerial(plan.image, *number, job.target);
            if (number) {
                serial = *number;
                job.holdsNumber = true;
                numbered.push_back(&job);
            }
            if (!ok) {
                job.Step(kStepSerial, false);
                job.outcome.detail = std::string(kStepSerial) + ": " + (error.empty() ? "it does not fit" : error);
            }
        }
        job.outcome.record.serial = serial;
        return ok;
    };
    for (ProgramJob *job : writing)
        if (!assign(*job)) {
            job->ok = false;
            job->Finish(false);
            sink(job->outcome);
        }

    const bool numbers = plan.mode == SerialMode::Numwell;
    std::vector<ProgramJob *> round;
    for (ProgramJob *job : writing)
        if (job->ok)
            round.push_back(job);
    for (;;) {
        ForEachAtOnce(round, [&](ProgramJob &job) {
            WriteAndVerify(host, job);
            // A failure is final at once; without numbers to keep, so is a success.
            if (!job.ok && !job.holdsNumber) {
                job.Finish(false);
                sink(job.outcome);
            } else if (job.ok && !numbers) {
                job.Finish(true);
                sink(job.outcome);
            }
        });
        if (!numbers)
            break;
        // A failed cable gives its number back. The numbers after it are given back too and taken again
        // by the good cables, which are written again: the numbers kept stay without a gap.
        std::size_t firstFailed = numbered.size();
        for (std::size_t i = 0; i < numbered.size(); ++i)
            if (!numbered[i]->ok) {
                firstFailed = i;
                break;
            }
        if (firstFailed == numbered.size())
            break;
        for (std::size_t i = numbered.size(); i-- > firstFailed;) {
            ProgramJob &job = *numbered[i];
            plan.serials->GiveBack(job.outcome.record.serial);
            job.holdsNumber = false;
        }
        std::vector<ProgramJob *> again(numbered.begin() + std::ptrdiff_t(firstFailed), numbered.end());
        numbered.resize(firstFailed);
        round.clear();
        for (ProgramJob *job : again) {
            if (!job->ok) {
                job->outcome.record.serial.clear(); // its number went to another cable
                job->Finish(false);
                sink(job->outcome);
                continue;
            }
            job->DropSteps(kStepWrite);
            if (assign(*job))
                round.push_back(job);
            else {
                job->Finish(false);
                sink(job->outcome);
            }
        }
        if (round.empty())
            break;
    }

    // Numbers are spent in the order they were taken, each only once its cable read back right. After a
    // save that failed, nothing later is claimed: those numbers go back unspent.
    if (numbers) {
        std::string error;
        std::size_t kept = 0;
        for (; kept < numbered.size(); ++kept) {
            ProgramJob &job = *numbered[kept];
            if (!plan.serials->Keep(job.outcome.record.serial, &error))
                break;
            job.holdsNumber = false;
            job.Step(kStepSave, true);
            job.Finish(true);
            sink(job.outcome);
        }
        for (std::size_t i = numbered.size(); i-- > kept;)
            plan.serials->GiveBack(numbered[i]->outcome.record.serial);
        for (std::size_t i = kept; i < numbered.size(); ++i) {
            ProgramJob &job = *numbered[i];
            job.holdsNumber = false;
            job.Step(kStepSave, false);
            job.outcome.detail = std::string(kStepSave) + ": " +
                                 (i == kept ? error : std::string("not tried after an earlier save failed"));
            job.Finish(false);
            sink(job.outcome);
        }
    }
}

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
        production::RunInputs in;
        std::memcpy(in.imageBytes.data(), plan.image.Bytes(), EepromImage::kEepromSize);
        in.chipModel = plan.image.m_rec.dwChipModel.get();
        in.chipVersion = plan.image.m_rec.dwChipVersion.get();
        in.blank = plan.image.m_bBlank;
        in.sideA = {outcome.cable.a.ShortName(), outcome.cable.a.name};
        in.sideB = {outcome.cable.b.ShortName(), outcome.cable.b.name};

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
        if (!passed) {
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
        sink(outcome);
    });
}

} // namespace line
