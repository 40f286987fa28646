#include "Host.h"

#include "Win32Host.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace platform {

namespace {

std::atomic<Host*> g_override{nullptr};

} // namespace

Host& DefaultHost()
{
    if (Host* host = g_override.load())
        return *host;
    static Host& chosen = [] () -> Host& {
        // The bench daemon is a Linux program; on Windows the kit always talks to the real system.
        const char* name = std::getenv("QT7730_HOST");
        const std::string wanted = name ? name : "";
        if (!wanted.empty() && wanted != "win32")
            std::fprintf(stderr, "QT7730_HOST=%s is not available on Windows; using the system's devices\n",
                         wanted.c_str());
        static Win32Host host;
        return host;
    }();
    return chosen;
}

bool DefaultHostIsBench() { return false; }

std::string DefaultHostTitleSuffix() { return {}; }

std::string DefaultHostProblem()
{
    return {}; // the real system: nothing to start
}

ScopedDefaultHost::ScopedDefaultHost(Host& host) : m_previous(g_override.exchange(&host)) {}

ScopedDefaultHost::~ScopedDefaultHost() { g_override.store(m_previous); }

} // namespace platform
