#pragma once
// The production line's stage and detection logic: which cable is under test, when it is tested, and
// what the operator sees. It runs on the dialog thread; the window (or a test) supplies the timers,
// the prompt window and the log through FlowView, and the machine through FlowMachine.

#include "DeviceWorker.h"
#include "TestWorker.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <array>
#include <vector>

namespace production {

enum FlowTimer : int {
    TIMER_READY = 1,
    TIMER_PASS = 2,
    TIMER_FAIL = 3,
    TIMER_START_TEST = 6,
    TIMER_DETECT = 7001,
    TIMER_UNPLUG = 7003,
};

inline constexpr int kDetectDelayMs = 1000;
inline constexpr int kStageDelayMs = 100;
inline constexpr int kUnplugPollMs = 500;

inline constexpr const char *kTextAnotherEnd = "Please plug in another end.";
inline constexpr const char *kTextOK = "OK";
inline constexpr const char *kTextNG = "N/G";

// One device port as the topology walk offers it.
struct PortView {
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    const char *pszDriverKey = nullptr; // null: the device has no driver
    const char *pszDeviceId = nullptr;
    const char *pszDevicePath = nullptr;
    const char *location = nullptr; // as the walk places the port ("0-2.3")
};

enum class PortMatch {
    None,            // not one of ours
    MatchedNoDriver, // our IDs, but no driver: re-marked, never counted
    Accepted,        // our IDs with a driver: re-marked and counted
};

// What the flow asks of the machine: on the flow's device worker when it has one (the window's
// case), else on the dialog thread; never two calls at once.
class FlowMachine {
public:
    virtual ~FlowMachine() = default;
    // ScanBridgeDevices(0x7730): bit n-1 set when device object n holds a QT7730. A raised `stop`
    // (the window closing) may end it early.
    virtual uint32_t ScanBridgeDevices(const std::atomic<bool> *stop = nullptr) = 0;
    // Walks every USB port, offering each device port to `visitor`; a port the visitor matched is
    // re-marked in the walk's tree. Returns the number of ports the visitor accepted.
    virtual int WalkTopology(const std::function<PortMatch(const PortView &)> &visitor) = 0;
    // A device installation is still pending (asked without waiting).
    virtual bool IsInstallPending() = 0;
    // The device manager has a present device with this instance ID.
    virtual bool IsDevicePresent(const std::string &instanceId) = 0;
    // What the operator must be told about the cables present that no scan shows (a side this user
    // may not open, a side left without a device object); empty when nothing.
    virtual std::string DeviceNotice() { return {}; }
};

// What the flow drives on screen. Every call comes on the dialog thread.
class FlowView {
public:
    virtual ~FlowView() = default;
    virtual void ArmTimer(int id, int ms) = 0;
    virtual void KillTimer(int id) = 0;
    virtual void ShowIcon(int id) = 0;
    virtual void ShowResult(const std::string &text, bool green) = 0;
    virtual void HideResult() = 0;
    // Pushes the prompt and detail lines into the prompt window's controls.
    virtual void UpdatePrompt(const std::string &prompt, const std::string &detail) = 0;
    virtual void ShowPrompt(bool visible) = 0;
    virtual void SetLogText(const std::string &wholeLog) = 0;
    // Runs `call` later on the dialog thread; safe to call from any thread.
    virtual void PostToDialogThread(std::function<void()> call) = 0;
};

// What the batch expects, as the EEPROM Info dialog handed it over.
struct BatchImage {
    EepromImage image;
    std::string vendorId;  // four hex digits
    std::string productId; // four hex digits: the product ID the cable presents
};

class ProductionFlow {
public:
    ProductionFlow(FlowView &view, FlowMachine &machine, CableRunner runner);
    ~ProductionFlow(); // waits for a running worker
    ProductionFlow(const ProductionFlow &) = delete;
    ProductionFlow &operator=(const ProductionFlow &) = delete;

    // Start-up after the image was chosen: takes the batch, scans, arms TIMER_READY.
    void Start(const BatchImage &batch);

    void OnDeviceChange();
    void OnTimer(int id);
    void ShowStage(int stage);
    PortMatch MatchPort(const PortView &port);

    // Waits for a running worker; its results are dropped. Idempotent.
    void Shutdown();

    bool WorkerRunning() const { return m_bWorkerRunning; }
    // From the two ends being found to the cable leaving: its run is about to start, running, or its
    // verdict is about to be shown, or shown and waiting for the unplug. Detection ticks do nothing.
    bool CableInHand() const { return m_bStartPending || m_bWorkerRunning || m_bVerdictPending || m_bWaitUnplug; }
    bool WaitingForUnplug() const { return m_bWaitUnplug; }
    bool NGShown() const { return m_bNGShown; }
    uint32_t DevMask() const { return m_dwDevMask; }
    const std::string &Log() const { return m_strLog; }
    const std::string &Prompt() const { return m_strPrompt; }
    const std::string &Detail() const { return m_strDetail; }
    const std::string &Pattern() const { return m_szPattern[0]; }
    const std::vector<CableEnd> &DevList() const { return m_devList; }
    const std::string &InstanceA() const { return m_szInstanceA; }
    const std::string &InstanceB() const { return m_szInstanceB; }

    // The machine's calls run on a worker thread of the flow's own from now on; their results reach
    // the flow as posted calls. Without it (tests that drive the flow step by step) they run at once.
    void UseDeviceWorker() { m_device = std::make_unique<DeviceWorker>(); }
    // A detection (installation check, scan, walk) is under way on the device worker.
    bool Detecting() const { return m_bDetecting; }

    // Tests replace how the worker thread is started, to see a start that fails.
    using ThreadStarter = std::function<std::thread(std::function<void()>)>;
    void SetThreadStarter(ThreadStarter starter) { m_startThread = std::move(starter); }

private:
    // What one detection found, on whichever thread it ran.
    struct Detection {
        bool installPending = false;
        uint32_t mask = 0;
        bool walked = false;
        std::vector<CableEnd> ends;
        std::string notice;
    };
    Detection Detect(uint32_t knownMask, const std::array<std::string, 3> &patterns, int nPatterns,
                     const std::atomic<bool> *stop);
    void DetectionDone(const Detection &found);
    // Runs `work` on the device worker (else here) and `done` with its result on the dialog thread.
    template <class Result>
    void OnMachine(std::function<Result(const std::atomic<bool> *stop)> work, std::function<void(const Result &)> done);
    void DetectTick();
    void UnplugPoll();
    void UnplugChecked(bool allEndsRemoved);
    void StartWorker();
    void WorkerFinished(bool passed);
    void AppendLog(const std::string &text);
    void ClearLog();
    void PushPrompt(bool show);

    FlowView &m_view;
    FlowMachine &m_machine;
    CableRunner m_runner;
    ThreadStarter m_startThread;

    RunInputs m_run;               // image bytes and chip of the batch
    std::string m_strVID, m_strPID;
    std::array<std::string, 3> m_szPattern;
    int m_nPatterns = 0;
    uint32_t m_dwDevMask = 0;
    std::vector<CableEnd> m_devList;
    std::string m_szInstanceA, m_szInstanceB;
    std::string m_strPrompt, m_strDetail;
    std::string m_strLog;
    bool m_bNGShown = false;
    bool m_bWaitUnplug = false;
    bool m_bWorkerRunning = false;
    bool m_bStartPending = false;   // TIMER_START_TEST armed
    bool m_bVerdictPending = false; // TIMER_PASS or TIMER_FAIL armed
    bool m_bDetecting = false;      // a detection runs on the device worker
    bool m_bDetectAgain = false;    // a tick came meanwhile: detect again when it ends
    bool m_bUnplugPolling = false;  // a presence check runs on the device worker
    std::thread m_worker;
    std::unique_ptr<DeviceWorker> m_device; // after m_alive's users: stopped in Shutdown
    // Calls posted by the worker check this before they touch the flow, so a call that arrives after
    // the flow is gone does nothing.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace production
