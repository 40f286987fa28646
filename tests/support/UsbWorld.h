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
    explicit UsbWorld(bench::Bench &world) : m_env(world), emulator(world) {}

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
};
