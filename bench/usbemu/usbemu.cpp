// usbemu: runs a command inside an emulated USB stack in which bench cables answer the real usbfs
// requests, so the kit's USB backend (QT7730_HOST=usb) can be tried and tested without a cable.

#include "Bench.h"
#include "BenchHome.h"
#include "DataDirectory.h"
#include "UsbEmulator.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>
#include "ProgramOptions.h"

namespace {

const char* const kHelp =
    "usage: usbemu [--cable blank|FILE]... [--hub N] [--device] [--root-ports N] -- COMMAND [ARG...]\n"
    "       usbemu --bench -- COMMAND [ARG...]\n"
    "\n"
    "Runs COMMAND inside an emulated USB stack (umockdev) in which bench cables answer the real usbfs\n"
    "requests: control transfers (version and status queries, EEPROM read and write, prepare) and bulk\n"
    "transfers (what one side writes on endpoint 0x02 arrives on the other side's endpoint 0x83).\n"
    "COMMAND gets QT7730_HOST=usb (unless already set) and a private copy of the kit's data directory\n"
    "(QT7730_DATA_DIR), so Quillon's INF update stays inside the run.\n"
    "\n"
    "The topology: one host controller (bus 1) whose root hub has --root-ports ports (default 8).\n"
    "  --cable blank      a cable with a blank EEPROM (it enumerates as 0C5E:7730)\n"
    "  --cable FILE       a cable whose EEPROM holds the first 256 bytes of FILE (a .eep image or a\n"
    "                     raw 256-byte dump)\n"
    "  --hub N            an external hub with N ports on root port 1; the cables go into its ports\n"
    "  --device           an ordinary device (a mouse, 046D:C077) on the next free port\n"
    "Each cable takes two consecutive ports (side A, then side B), in the order given.\n"
    "\n"
    "  --bench            the world of the running bench daemon ($VBENCH_HOME) instead: its\n"
    "                     controllers, hubs, devices and cables, so that vbench plug, unplug,\n"
    "                     eeprom and fault act on what COMMAND sees, and what it writes lands in the\n"
    "                     daemon's cables. COMMAND uses the bench's INF (vbench inf) as the kit's.\n"
    "\n"
    "Examples:\n"
    "  usbemu --cable blank -- quillon\n"
    "  usbemu --cable good.eep --cable bad.eep --hub 4 -- tamber\n";

int Fail(const std::string& message)
{
    std::fprintf(stderr, "usbemu: %s\n", message.c_str());
    return 2;
}

pid_t g_child = 0;

void Forward(int signal)
{
    if (g_child > 0)
        ::kill(g_child, signal);
}

int Run(char** command, int& status)
{
    std::signal(SIGINT, Forward);
    std::signal(SIGTERM, Forward);
    g_child = ::fork();
    if (g_child == 0) {
        ::execvp(command[0], command);
        std::fprintf(stderr, "usbemu: cannot run %s: %s\n", command[0], std::strerror(errno));
        std::_Exit(127);
    }
    if (g_child < 0) {
        std::fprintf(stderr, "usbemu: cannot start %s: %s\n", command[0], std::strerror(errno));
        return 2;
    }
    int wstatus = 0;
    while (::waitpid(g_child, &wstatus, 0) < 0 && errno == EINTR) {
    }
    status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return status;
}

// The daemon keeps the emulated stack of its bench; the command joins it.
int RunInBench(char** command)
{
    const std::string home = benchwire::BenchHome();
    std::ifstream in(home + "/usbemu.dir");
    std::string dir;
    std::getline(in, dir);
    std::error_code error;
    if (dir.empty() || !std::filesystem::is_directory(dir, error))
        return Fail("no bench daemon serves " + home + " (start one with: vbench start)");
    ::setenv("UMOCKDEV_DIR", dir.c_str(), 1);
    ::setenv("LD_PRELOAD", bench::UsbEmulator::PreloadValue().c_str(), 1);
    ::setenv("QT7730_DATA_DIR", benchwire::BenchSystemDirectory(home).c_str(), 1);
    ::setenv("QT7730_INF_NAME", bench::BenchOptions().driverInfName.c_str(), 1);
    ::setenv("QT7730_HOST", "usb", 0);
    int status = 2;
    Run(command, status);
    return status;
}

// What the command line asks for.
struct Options {
    std::vector<bench::CableSpec> cables;
    int hubPorts = 0, rootPorts = 8;
    bool device = false, useBench = false;
    int command = -1; // argv index of the command to run
};

// A cable for --cable WHAT: blank, or with the EEPROM of an image or dump; an error text otherwise.
std::string ReadCable(const std::string& what, bench::CableSpec& cable)
{
    if (what == "blank")
        return {};
    std::error_code error;
    if (!std::filesystem::is_regular_file(what, error))
        return "--cable " + what + ": not a regular file";
    std::ifstream in(what, std::ios::binary);
    std::vector<char> bytes;
    bytes.resize(265);
    in.read(bytes.data(), std::streamsize(bytes.size()));
    const auto got = in.gcount();
    if (got != 256 && got != 264)
        return "--cable " + what + ": an image is 264 bytes and an EEPROM dump 256";
    std::memcpy(cable.eeprom.data(), bytes.data(), cable.eeprom.size());
    return {};
}

// Reads the command line into `options`; an exit status when the program ends here (help, bad input).
std::optional<int> ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--") {
            options.command = i + 1;
            break;
        } else if (arg == "--cable" && hasValue) {
            bench::CableSpec cable;
            if (const std::string problem = ReadCable(argv[++i], cable); !problem.empty())
                return Fail(problem);
            options.cables.push_back(cable);
        } else if ((arg == "--hub" || arg == "--root-ports") && hasValue) {
            char* end = nullptr;
            const long n = std::strtol(argv[++i], &end, 10);
            if (!end || *end || n < 1 || n > 255)
                return Fail(arg + " takes a port count from 1 to 255");
            (arg == "--hub" ? options.hubPorts : options.rootPorts) = int(n);
        } else if (arg == "--device") {
            options.device = true;
        } else if (arg == "--bench") {
            options.useBench = true;
        } else {
            return Fail("unknown or incomplete option " + arg + " (usbemu --help)");
        }
    }
    if (options.command < 0 || options.command >= argc)
        return Fail("no command to run (usbemu --help)");
    return std::nullopt;
}

// The child's own copy of the kit's data (its INF), in a new temporary directory; empty if none could
// be made.
std::filesystem::path CopyKitData()
{
    char pattern[] = "/tmp/usbemu-XXXXXX";
    if (!::mkdtemp(pattern))
        return {};
    const std::filesystem::path data = pattern;
    std::error_code error;
    std::filesystem::create_directories(data / "INF", error);
    std::filesystem::copy_file(platform::KitDataDirectory() / "INF" / "qt7730.inf", data / "INF" / "qt7730.inf", error);
    if (error)
        std::fprintf(stderr, "usbemu: no default INF (%s); no cable gets the driver\n", error.message().c_str());
    return data;
}

// One controller, an optional hub on its first port, the cables side by side, then the device.
// Throws when they do not fit.
void BuildTopology(bench::Bench& world, const Options& options)
{
    const bench::DeviceId root = world.AddController(options.rootPorts);
    bench::DeviceId hub = root;
    int next = 1;
    if (options.hubPorts) {
        bench::HubSpec spec;
        spec.ports = options.hubPorts;
        hub = world.AttachHub({root, next++}, spec);
    }
    int port = options.hubPorts ? 1 : next;
    for (const bench::CableSpec& spec : options.cables) {
        const bench::CableId cable = world.AddCable(spec);
        world.PlugSide(cable, bench::Side::A, {hub, port++});
        world.PlugSide(cable, bench::Side::B, {hub, port++});
    }
    if (!options.hubPorts)
        next = port;
    if (options.device)
        world.AttachDevice({root, next});
}

// The command inside a stack of our own, over a bench built from the options.
int RunInOwnStack(char** argv, const Options& options)
{
    bench::UsbEmulator::RunUnderPreload(argv);
    const std::filesystem::path data = CopyKitData();
    if (data.empty())
        return Fail(std::string("cannot make a temporary directory: ") + std::strerror(errno));
    std::error_code error;
    int status = 2;
    {
        bench::Bench world;
        try {
            BuildTopology(world, options);
        } catch (const std::exception& e) {
            std::filesystem::remove_all(data, error);
            return Fail(std::string("the topology does not fit: ") + e.what());
        }
        bench::UsbEmulator emulator(world);
        for (const auto& [name, value] : emulator.Environment())
            ::setenv(name.c_str(), value.c_str(), 1);
        ::setenv("QT7730_DATA_DIR", data.c_str(), 1);
        ::setenv("QT7730_HOST", "usb", 0);

        Run(argv + options.command, status);
    }
    std::filesystem::remove_all(data, error);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    if (platform::AnswerVersion(argc, argv, "usbemu"))
        return 0;
    Options options;
    if (const std::optional<int> status = ParseOptions(argc, argv, options))
        return *status;
    if (options.useBench)
        return RunInBench(argv + options.command);
    return RunInOwnStack(argv, options);
}
