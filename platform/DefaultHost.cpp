#include "Host.h"

#include "BenchHome.h"
#include "SocketHost.h"
#include "UsbHost.h"
#include "BenchWire.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace platform {

namespace {

std::atomic<Host*> g_override{nullptr};
std::atomic<bool> g_benchChosen{false};

// The bench daemon of this user (see `vbench`), reached over its socket; without a daemon the
// programs see a PC with no cables and are told once on stderr how to start one.
Host& BenchDaemonHost()
{
    static benchwire::SocketHost host(benchwire::BenchSocketPath(benchwire::BenchHome()));
    return host;
}

// This PC's own USB devices, through libusb (QT7730_HOST=usb).
Host& LiveUsbHost()
{
    static UsbHost host;
    return host;
}

} // namespace

Host& DefaultHost()
{
    if (Host* host = g_override.load())
        return *host;
    static Host& chosen = [] () -> Host& {
        const char* name = std::getenv("QT7730_HOST");
        const std::string wanted = name ? name : "";
        if (wanted == "usb")
            return LiveUsbHost();
        if (wanted == "sim" || wanted == "bench") {
            g_benchChosen = true;
            return BenchDaemonHost();
        }
        if (!wanted.empty())
            std::fprintf(stderr, "QT7730_HOST=%s is not usb or bench (this build has no Windows backend)\n",
                         wanted.c_str());
        // Nothing asked for: the bench when this user runs one (a demo, a developer), else the
        // cables of this PC. A station never runs a bench daemon; its menu entries ask for usb.
        std::string error;
        const int fd = benchwire::ConnectToDaemon(benchwire::BenchSocketPath(benchwire::BenchHome()), error);
        if (fd < 0)
            return LiveUsbHost();
        ::close(fd);
        g_benchChosen = true;
        return BenchDaemonHost();
    }();
    return chosen;
}

bool DefaultHostIsBench()
{
    if (g_override.load())
        return false;
    DefaultHost();
    return g_benchChosen;
}

std::string DefaultHostTitleSuffix() { return DefaultHostIsBench() ? " - virtual bench" : ""; }

std::string DefaultHostProblem()
{
    if (g_override.load())
        return {};
    DefaultHost();
    if (!g_benchChosen)
        return {};
    std::string error;
    const int fd = benchwire::ConnectToDaemon(benchwire::BenchSocketPath(benchwire::BenchHome()), error);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    return "The virtual bench is not running, so no cable can be found. Start it with \"vbench start\" "
           "(or \"systemctl --user start vbenchd\"); it is picked up without restarting this program.";
}

ScopedDefaultHost::ScopedDefaultHost(Host& host) : m_previous(g_override.exchange(&host)) {}

ScopedDefaultHost::~ScopedDefaultHost() { g_override.store(m_previous); }

} // namespace platform
