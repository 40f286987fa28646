#pragma once
// The application object: binds the main window to the machine the process runs on, relays
// device-change notifications onto the window's thread, runs the window, and ends with it.

#include "Host.h"

#include <cstdint>
#include <functional>

class Prompter;
class QObject;

namespace production {

class CTamberApp {
public:
    CTamberApp(platform::Host &host, Prompter &prompter) : m_host(host), m_prompter(prompter) {}
    // Runs the main window modally; returns when it has ended.
    int Run();

private:
    platform::Host &m_host;
    Prompter &m_prompter;
};

// Delivers the Host's device-change notifications to `call` on `context`'s thread for as long as it
// lives; after destruction no notification reaches `call`. Destroy it before `context`.
class DeviceChangeRelay {
public:
    DeviceChangeRelay(platform::Host &host, QObject *context, std::function<void()> call);
    ~DeviceChangeRelay();
    DeviceChangeRelay(const DeviceChangeRelay &) = delete;
    DeviceChangeRelay &operator=(const DeviceChangeRelay &) = delete;

private:
    platform::Host &m_host;
    std::uint64_t m_id = 0;
};

} // namespace production
