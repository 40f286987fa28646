#pragma once
// The application object: binds the main window to the machine the process runs on, relays
// device-change notifications onto the window's thread, runs the window, and ends with it.

#include "Host.h"

class Prompter;

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

} // namespace production
