#include "Host.h"

#include "Bench.h"
#include "sim/SimHost.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace platform {

namespace {

std::atomic<Host*> g_override{nullptr};

// The bench a program meets when nothing else is set up: one host controller with four empty ports,
// and the driver's INF (listing the chip's default identity) in a system directory of its own
// (QT7730_BENCH_DIR, else "qt7730-bench" in the temporary directory).
Host& ProcessSimHost()
{
    static bench::Bench bench([] {
        bench::BenchOptions options;
        const char* dir = std::getenv("QT7730_BENCH_DIR");
        options.systemDirectory = dir && *dir ? std::filesystem::path(dir)
                                              : std::filesystem::temp_directory_path() / "qt7730-bench";
        return options;
    }());
    static SimHost host = [] {
        std::error_code error;
        if (!std::filesystem::exists(bench.DriverInfPath(), error)) {
            try {
                bench.WriteDriverInf({"USB\\VID_0C5E&PID_7730"});
            } catch (const std::exception& e) {
                std::fprintf(stderr, "QT7730 bench: %s\n", e.what());
            }
        }
        bench.AddController(4);
        return SimHost(bench);
    }();
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
        if (wanted == "win32")
            std::fprintf(stderr, "QT7730_HOST=win32: this build has no Windows backend; using the bench\n");
        else if (!wanted.empty() && wanted != "sim")
            std::fprintf(stderr, "QT7730_HOST=%s is unknown; using the bench\n", wanted.c_str());
        return ProcessSimHost();
    }();
    return chosen;
}

ScopedDefaultHost::ScopedDefaultHost(Host& host) : m_previous(g_override.exchange(&host)) {}

ScopedDefaultHost::~ScopedDefaultHost() { g_override.store(m_previous); }

} // namespace platform
