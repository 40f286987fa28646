#pragma once
// The flow's surroundings for tests: timers that a test fires by hand, a prompt window reduced to
// its state, a machine with scripted ports, and a dialog-thread queue that the test pumps.

#include "ProductionFlow.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace production_test {

using namespace production;

struct FakeView : FlowView {
    std::map<int, int> timers; // armed id -> delay
    int icon = 0;
    bool resultShown = false;
    std::string resultText;
    bool resultGreen = false;
    std::string prompt, detail;
    bool promptShown = false;
    std::string log;

    std::mutex lock;
    std::condition_variable posted;
    std::deque<std::function<void()>> queue;

    void ArmTimer(int id, int ms) override { timers[id] = ms; }
    void KillTimer(int id) override { timers.erase(id); }
    void ShowIcon(int id) override { icon = id; }
    void ShowResult(const std::string &text, bool green) override
    {
        resultText = text;
        resultGreen = green;
        resultShown = true;
    }
    void HideResult() override { resultShown = false; }
    void UpdatePrompt(const std::string &p, const std::string &d) override
    {
        prompt = p;
        detail = d;
    }
    void ShowPrompt(bool visible) override { promptShown = visible; }
    void SetLogText(const std::string &whole) override { log = whole; }
    void PostToDialogThread(std::function<void()> call) override
    {
        std::lock_guard<std::mutex> guard(lock);
        queue.push_back(std::move(call));
        posted.notify_all();
    }

    bool Armed(int id) const { return timers.count(id) != 0; }

    // Runs posted calls on this (the test's "dialog") thread until `done` holds.
    template <class Pred>
    bool PumpUntil(Pred done, std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            std::unique_lock<std::mutex> guard(lock);
            if (queue.empty() && posted.wait_until(guard, end) == std::cv_status::timeout && queue.empty())
                return false;
            while (!queue.empty()) {
                auto call = std::move(queue.front());
                queue.pop_front();
                guard.unlock();
                call();
                guard.lock();
            }
        }
        return true;
    }
};

struct FakePort {
    uint16_t vid, pid;
    std::string driverKey, deviceId, devicePath; // empty: none
    bool present = true;
};

struct FakeMachine : FlowMachine {
    uint32_t mask = 0;
    std::vector<FakePort> ports;
    int pendingTicks = 0;
    int scans = 0, walks = 0;
    std::vector<PortMatch> lastMarks;

    uint32_t ScanBridgeDevices(const std::atomic<bool> *) override
    {
        ++scans;
        return mask;
    }
    int WalkTopology(const std::function<PortMatch(const PortView &)> &visitor) override
    {
        ++walks;
        lastMarks.clear();
        int accepted = 0;
        for (const FakePort &p : ports) {
            if (!p.present)
                continue;
            PortView view{p.vid, p.pid, p.driverKey.empty() ? nullptr : p.driverKey.c_str(),
                          p.deviceId.empty() ? nullptr : p.deviceId.c_str(),
                          p.devicePath.empty() ? nullptr : p.devicePath.c_str()};
            const PortMatch m = visitor(view);
            lastMarks.push_back(m);
            accepted += m == PortMatch::Accepted;
        }
        return accepted;
    }
    bool IsInstallPending() override { return pendingTicks > 0 && pendingTicks--; }
    bool IsDevicePresent(const std::string &id) override
    {
        for (const FakePort &p : ports)
            if (p.present && p.deviceId == id)
                return true;
        return false;
    }
};

} // namespace production_test
