#pragma once
// A bench served through an emulated USB stack to the kit's real USB backend: the bench's world is
// seen by libusb as buses, hubs and devices (usbemu's emulator), and the USB backend presents it with
// the bench's INF as the kit's. Needs umockdev's preload library in this process (the tests that use
// it run with LD_PRELOAD set by CMake).

#include "Bench.h"
#include "UsbEmulator.h"
#include "UsbHost.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

class UsbWorld {
public:
    // Every change of the bench reaches the backend before the change returns, as on the bench
    // itself (a real PC learns of it a little later; the backend's own hot-plug watcher does that).
    explicit UsbWorld(bench::Bench &world) : m_env(world), emulator(world), m_world(world)
    {
        m_subscription = world.Pc().Subscribe([this](platform::DeviceChange) { host.Rescan(); });
    }
    ~UsbWorld() { m_world.Pc().Unsubscribe(m_subscription); }
    UsbWorld(const UsbWorld &) = delete;
    UsbWorld &operator=(const UsbWorld &) = delete;

    // The USB backend sees hot-plug events shortly after the bench changes: waits for `done`.
    static bool WaitFor(const std::function<bool()> &done, int ms = 3000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    // The backend's INF is the bench's (set before the backend starts).
    struct Environment {
        explicit Environment(bench::Bench &world)
        {
            ::setenv("QT7730_DATA_DIR", world.Options().systemDirectory.c_str(), 1);
            ::setenv("QT7730_INF_NAME", world.Options().driverInfName.c_str(), 1);
        }
    } m_env;

public:
    bench::UsbEmulator emulator;
    platform::UsbHost host;

private:
    bench::Bench &m_world;
    std::uint64_t m_subscription = 0;
};
