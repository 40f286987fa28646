#include "ProductionFlow.h"

#include "InfoFields.h"
#include "TamberIconIds.h"
#include "TamberTexts.h"

#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

namespace production {

namespace {

std::thread StartStdThread(std::function<void()> body)
{
    return std::thread(std::move(body));
}

// One port against the batch's patterns; an accepted port's names go to `ends`.
PortMatch MatchAgainst(const std::array<std::string, 3> &patterns, int nPatterns, const PortView &port,
                       std::vector<CableEnd> &ends)
{
    char key[32];
    std::snprintf(key, sizeof key, "USB\\VID_%04X&PID_%04X", unsigned(port.idVendor), unsigned(port.idProduct));
    bool matched = false;
    for (int slot = 0; slot < nPatterns; ++slot) {
        if (patterns[std::size_t(slot)] != key)
            continue;
        matched = true;
        // Same IDs but no driver: marked in the tree, never counted; the next slot is tried.
        if (!port.pszDriverKey)
            continue;
        CableEnd end;
        if (port.pszDeviceId)
            end.deviceId = port.pszDeviceId;
        if (port.pszDevicePath)
            end.devicePath = port.pszDevicePath;
        if (port.location)
            end.location = port.location;
        ends.push_back(std::move(end));
        return PortMatch::Accepted;
    }
    return matched ? PortMatch::MatchedNoDriver : PortMatch::None;
}

} // namespace

ProductionFlow::ProductionFlow(FlowView &view, FlowMachine &machine, CableRunner runner)
    : m_view(view), m_machine(machine), m_runner(std::move(runner)), m_startThread(StartStdThread)
{
}

ProductionFlow::~ProductionFlow()
{
    Shutdown();
}

void ProductionFlow::Shutdown()
{
    *m_alive = false;
    if (m_device)
        m_device->Stop();
    if (m_worker.joinable())
        m_worker.join();
    m_bWorkerRunning = false;
}

void ProductionFlow::Start(const BatchImage &batch)
{
    std::memcpy(m_run.imageBytes.data(), batch.image.Bytes(), EepromImage::kEepromSize);
    m_run.blank = batch.image.m_bBlank;
    batch.image.GetProperty(EEP_CHIP_MODEL, &m_run.chipModel, sizeof m_run.chipModel);
    batch.image.GetProperty(EEP_CHIP_VERSION, &m_run.chipVersion, sizeof m_run.chipVersion);
    m_strVID = batch.vendorId;
    m_strPID = batch.productId;
    // The first scan is what later ones are compared with; a tick that comes before it waits for it.
    m_bDetecting = true;
    OnMachine<uint32_t>([this](const std::atomic<bool> *stop) { return m_machine.ScanBridgeDevices(stop); },
                        [this](const uint32_t &mask) {
                            m_dwDevMask = mask;
                            m_bDetecting = false;
                            if (std::exchange(m_bDetectAgain, false))
                                DetectTick();
                        });
    m_view.ArmTimer(TIMER_READY, kStageDelayMs);
}

template <class Result>
void ProductionFlow::OnMachine(std::function<Result(const std::atomic<bool> *stop)> work,
                               std::function<void(const Result &)> done)
{
    if (!m_device) {
        done(work(nullptr));
        return;
    }
    std::weak_ptr<bool> alive = m_alive;
    FlowView &view = m_view;
    m_device->Post([alive, &view, work, done](const std::atomic<bool> &stop) {
        Result result = work(&stop);
        if (stop.load())
            return;
        view.PostToDialogThread([alive, done, result] {
            if (auto a = alive.lock(); a && *a)
                done(result);
        });
    });
}

void ProductionFlow::PushPrompt(bool show)
{
    m_view.UpdatePrompt(m_strPrompt, m_strDetail);
    if (show)
        m_view.ShowPrompt(true);
}

void ProductionFlow::ShowStage(int stage)
{
    for (std::string &slot : m_szPattern)
        slot.clear();
    // Without four-digit IDs there is nothing a port could match; the flow then never starts a run.
    m_nPatterns = 0;
    if (IsHex4(m_strVID) && IsHex4(m_strPID)) {
        m_szPattern[0] = "USB\\VID_" + m_strVID + "&PID_" + m_strPID;
        m_nPatterns = 1;
    }

    if (stage == 0) {
        m_view.ShowIcon(IDI_SEARCHING);
        m_strPrompt = LoadTextUtf8(IDS_PLUG_IN);
        m_view.HideResult();
    } else {
        m_view.HideResult();
        m_view.ShowIcon(IDI_FOUND);
        m_view.ShowResult(stage == 1 ? kTextOK : kTextNG, stage == 1);
        m_strPrompt = LoadTextUtf8(IDS_UNPLUG);
        m_bWaitUnplug = true;
        m_view.ArmTimer(TIMER_UNPLUG, kUnplugPollMs);
    }
    PushPrompt(true);
}

void ProductionFlow::OnDeviceChange()
{
    m_view.KillTimer(TIMER_DETECT);
    if (!CableInHand())
        m_view.ArmTimer(TIMER_DETECT, kDetectDelayMs);
}

void ProductionFlow::OnTimer(int id)
{
    switch (id) {
    case TIMER_READY:
        m_view.KillTimer(id);
        ShowStage(0);
        break;
    case TIMER_PASS:
    case TIMER_FAIL:
        m_view.KillTimer(id);
        // Waiting for the unplug takes over from here.
        m_bVerdictPending = false;
        ShowStage(id == TIMER_PASS ? 1 : 2);
        break;
    case TIMER_START_TEST:
        m_view.KillTimer(id);
        m_bStartPending = false;
        if (!m_bWorkerRunning)
            StartWorker();
        break;
    case TIMER_DETECT:
        m_view.KillTimer(id);
        DetectTick();
        break;
    case TIMER_UNPLUG:
        m_view.KillTimer(id);
        UnplugPoll();
        break;
    default:
        break;
    }
}

PortMatch ProductionFlow::MatchPort(const PortView &port)
{
    return MatchAgainst(m_szPattern, m_nPatterns, port, m_devList);
}

void ProductionFlow::DetectTick()
{
    // The worker's cable and the result on screen stay as they are until the cable leaves: a tick
    // armed before the run started must not walk (or show anything, or start another run of the same
    // cable) meanwhile, from the two ends being found to the unplug.
    if (CableInHand())
        return;
    if (m_bDetecting) {
        m_bDetectAgain = true;
        return;
    }
    m_bDetecting = true;
    OnMachine<Detection>(
        [this, known = m_dwDevMask, patterns = m_szPattern, n = m_nPatterns](const std::atomic<bool> *stop) {
            return Detect(known, patterns, n, stop);
        },
        [this](const Detection &found) { DetectionDone(found); });
}

// Runs on the device worker: touches nothing of the flow but the machine.
ProductionFlow::Detection ProductionFlow::Detect(uint32_t knownMask, const std::array<std::string, 3> &patterns,
                                                 int nPatterns, const std::atomic<bool> *stop)
{
    Detection found;
    if (m_machine.IsInstallPending()) {
        found.installPending = true;
        return found;
    }
    found.mask = m_machine.ScanBridgeDevices(stop);
    found.notice = m_machine.DeviceNotice();
    if ((found.mask & ~knownMask) && nPatterns > 0 && !(stop && stop->load())) {
        found.walked = true;
        m_machine.WalkTopology([&](const PortView &port) { return MatchAgainst(patterns, nPatterns, port, found.ends); });
    }
    return found;
}

void ProductionFlow::DetectionDone(const Detection &found)
{
    m_bDetecting = false;
    // A side present that cannot be used is said in the prompt window's second line, until it goes.
    if (!found.installPending && found.notice != m_strDetail) {
        m_strDetail = found.notice;
        m_view.UpdatePrompt(m_strPrompt, m_strDetail);
    }
    if (!CableInHand()) {
        if (found.installPending) {
            m_view.ArmTimer(TIMER_DETECT, kDetectDelayMs);
        } else if (found.mask & ~m_dwDevMask) {
            if (found.walked) {
                m_devList = found.ends;
                // The list, not the walk's count, decides: it is what the run will read.
                const std::size_t ends = m_devList.size();
                if (ends >= 2) {
                    m_dwDevMask = found.mask;
                    m_view.HideResult();
                    m_view.ShowPrompt(false);
                    m_szInstanceA = m_devList[0].deviceId.value_or(std::string());
                    m_szInstanceB = m_devList[1].deviceId.value_or(std::string());
                    m_bStartPending = true;
                    m_view.ArmTimer(TIMER_START_TEST, kStageDelayMs);
                } else if (ends == 1) {
                    m_strPrompt = kTextAnotherEnd;
                    m_view.HideResult();
                    PushPrompt(true);
                } else {
                    m_view.HideResult();
                    m_view.ShowIcon(IDI_FOUND);
                    m_view.ShowResult(kTextNG, false);
                    m_dwDevMask = found.mask;
                    m_bNGShown = true;
                }
            }
        } else if (m_dwDevMask & ~found.mask) {
            m_dwDevMask = found.mask;
            m_view.ShowIcon(IDI_SEARCHING);
            if (m_bNGShown) {
                m_view.HideResult();
                m_bNGShown = false;
            }
        }
    }
    // A tick that came meanwhile looks again at what is there now.
    if (std::exchange(m_bDetectAgain, false))
        DetectTick();
}

void ProductionFlow::StartWorker()
{
    if (m_devList.size() < 2)
        return;
    RunInputs run = m_run;
    run.sideA = m_devList[0];
    run.sideB = m_devList[1];

    std::weak_ptr<bool> alive = m_alive;
    FlowView &view = m_view;
    // Log lines reach the dialog thread in the order the worker wrote them, before its verdict.
    LogFn log = [this, alive, &view](const std::string &text) {
        view.PostToDialogThread([this, alive, text] {
            if (auto a = alive.lock(); a && *a)
                AppendLog(text);
        });
    };
    auto body = [this, alive, &view, run, log, runner = m_runner] {
        bool passed = false;
        if (runner)
            passed = runner(run, log);
        if (!passed)
            log("FAIL\n");
        view.PostToDialogThread([this, alive, passed] {
            if (auto a = alive.lock(); a && *a)
                WorkerFinished(passed);
        });
    };

    m_bWorkerRunning = true;
    try {
        m_worker = m_startThread(std::move(body));
    } catch (const std::system_error &) {
        m_worker = std::thread();
    }
    if (!m_worker.joinable()) {
        // No thread, no run: the cable fails visibly and the flow waits for it to be unplugged.
        m_bWorkerRunning = false;
        m_bVerdictPending = true;
        AppendLog(LoadTextUtf8(IDS_INIT_DEVICE) + "FAIL\n");
        m_view.ArmTimer(TIMER_FAIL, kStageDelayMs);
    }
}

void ProductionFlow::WorkerFinished(bool passed)
{
    // The worker posted this as its last act; it is about to return.
    if (m_worker.joinable())
        m_worker.join();
    m_bVerdictPending = true;
    m_view.ArmTimer(passed ? TIMER_PASS : TIMER_FAIL, kStageDelayMs);
    m_bWorkerRunning = false;
}

void ProductionFlow::UnplugPoll()
{
    if (m_bUnplugPolling)
        return;
    m_bUnplugPolling = true;
    OnMachine<bool>(
        [this, a = m_szInstanceA, b = m_szInstanceB](const std::atomic<bool> *) {
            for (const std::string *id : {&a, &b})
                if (!id->empty() && m_machine.IsDevicePresent(*id))
                    return false;
            return true;
        },
        [this](const bool &removed) {
            m_bUnplugPolling = false;
            UnplugChecked(removed);
        });
}

void ProductionFlow::UnplugChecked(bool allEndsRemoved)
{
    if (!allEndsRemoved) {
        m_view.ArmTimer(TIMER_UNPLUG, kUnplugPollMs);
        return;
    }
    m_view.ShowIcon(IDI_SEARCHING);
    m_strDetail.clear();
    m_strPrompt = LoadTextUtf8(IDS_PLUG_IN);
    ClearLog();
    m_view.HideResult();
    m_bWaitUnplug = false;
    m_dwDevMask = 0;
    PushPrompt(true);
}

void ProductionFlow::AppendLog(const std::string &text)
{
    m_strLog += text;
    m_view.SetLogText(m_strLog);
}

void ProductionFlow::ClearLog()
{
    m_strLog.clear();
    m_view.SetLogText(m_strLog);
}

} // namespace production
