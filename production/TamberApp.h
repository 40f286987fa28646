#pragma once
// The application object: binds the main window to the machine the process runs on, relays
// device-change notifications onto the window's thread, runs the window, and ends with it.

#include "Host.h"

class Prompter;

namespace production {

class CTamberApp {
public:
    // `benchNotRunning`: the bench daemon Tamber's Host would find cables through is not running.
    CTamberApp(platform::Host &host, Prompter &prompter, bool benchNotRunning = false)
        : m_host(host), m_prompter(prompter), m_benchNotRunning(benchNotRunning)
    {
    }
    // Runs the main window modally; returns when it has ended.
    int Run();

private:
    platform::Host &m_host;
    Prompter &m_prompter;
    bool m_benchNotRunning;
};

} // namespace production
