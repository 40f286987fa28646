// vbench: the control tool of the virtual bench. `start`, `stop` and `status` manage the daemon;
// every other command is run by the daemon (vbench --help lists them).

#include "BenchHome.h"
#include "CommandHelp.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "ProgramOptions.h"

namespace {

const char *const kUsage =
    "Usage: vbench COMMAND [ARGS]    (the bench home is $VBENCH_HOME, else ~/.local/state/qt7730-vbench)\n"
    "  start                 starts the bench daemon (does nothing when it runs); returns once it answers\n"
    "  stop                  stops it; the bench is kept for the next start\n"
    "  status                says whether it runs and what it holds\n"
    "  cable add NAME [--model 0x7730|0x7701] [--version WORD | --status S0,S1] [--eeprom FILE]\n"
    "                        a new cable, not plugged in; blank EEPROM (all 0xFF) unless FILE (256 bytes,\n"
    "                        or a 264-byte .eep image) is given\n"
    "  plug NAME [A|B|both] [--at HUB:PORT]    unplug NAME [A|B|both]\n"
    "  eeprom NAME [--set FILE]                prints the 256 EEPROM bytes, 16 per line\n"
    "  list                  controllers, hubs, ports, what is plugged where, device objects, cables\n"
    "  hub add|remove ...    device add|remove ...    controller add ...    cable remove NAME\n"
    "  fault ...             faults of cables, sides, hubs and devices (vbench fault --help)\n"
    "  timing ...            request latency, EEPROM write cycle, bulk throughput (vbench timing --help)\n"
    "  inf                   the driver INF's path and its model lines\n";

// Replaces "--eeprom FILE" / "--set FILE" by the file's bytes in hex, so the daemon never has to
// read the caller's files. Only a regular file of the right size is read: a directory, a FIFO, a
// device or a huge file gets a clear answer at once, without blocking or reading it.
bool InlineFile(std::vector<std::string> &args, const char *option, const char *replacement)
{
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] != option)
            continue;
        const std::string &path = args[i + 1];
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "vbench: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
            return false;
        }
        struct stat info{};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            std::fprintf(stderr, "vbench: %s is not a regular file; an EEPROM file holds 256 bytes (or 264 for an image)\n",
                         path.c_str());
            ::close(fd);
            return false;
        }
        if (info.st_size != 256 && info.st_size != 264) {
            std::fprintf(stderr, "vbench: %s holds %lld bytes; an EEPROM file holds 256 (or 264 for an image)\n",
                         path.c_str(), static_cast<long long>(info.st_size));
            ::close(fd);
            return false;
        }
        // One byte more than allowed, in case the file grew since it was looked at.
        std::string bytes(265, '\0');
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        ::close(fd);
        bytes.resize(got);
        if (bytes.size() != 256 && bytes.size() != 264) {
            std::fprintf(stderr, "vbench: %s changed while it was read (%zu bytes)\n", path.c_str(), bytes.size());
            return false;
        }
        std::string hex;
        char digits[3];
        for (unsigned char c : bytes) {
            std::snprintf(digits, sizeof digits, "%02x", c);
            hex += digits;
        }
        args[i] = replacement;
        args[i + 1] = hex;
    }
    return true;
}

std::string DaemonPath(const char *self)
{
    // vbenchd is installed beside vbench.
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        exe = self;
    return (exe.parent_path() / "vbenchd").string();
}

// The daemon holds an exclusive lock on this file for as long as it runs, saving included.
bool DaemonAlive(const std::string &home)
{
    const int fd = ::open(benchwire::BenchLockPath(home).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

bool Answers(const std::string &socket)
{
    int status = 0;
    std::string out;
    return benchwire::RunControlCommand(socket, {"status"}, status, out);
}

int Start(const char *self, const std::string &home, const std::string &socket)
{
    if (std::string error; !benchwire::PrepareBenchHome(home, error)) {
        std::fprintf(stderr, "vbench: %s\n", error.c_str());
        return 1;
    }
    if (Answers(socket)) {
        std::printf("the bench is running (%s)\n", home.c_str());
        return 0;
    }
    // A daemon that is still shutting down holds its lock; the new one waits for it.
    for (int i = 0; i < 100 && DaemonAlive(home); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string daemon = DaemonPath(self);
    const std::string log = benchwire::BenchLogPath(home);
    // Never through a link, never anything but a plain file: the log is the daemon's own file in its
    // own home.
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat logInfo{};
    if (out < 0 || ::fstat(out, &logInfo) != 0 || !S_ISREG(logInfo.st_mode)) {
        std::fprintf(stderr, "vbench: cannot use %s as the daemon's log: %s\n", log.c_str(),
                     out < 0 ? std::strerror(errno) : "not a regular file");
        if (out >= 0)
            ::close(out);
        return 1;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("vbench: fork");
        ::close(out);
        return 1;
    }
    if (child == 0) {
        ::setsid();
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        if (in >= 0)
            ::dup2(in, STDIN_FILENO);
        ::execl(daemon.c_str(), daemon.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ::close(out);
    for (int i = 0; i < 100; ++i) { // up to 10 s
        if (Answers(socket)) {
            std::printf("the bench is running (%s)\n", home.c_str());
            return 0;
        }
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            std::fprintf(stderr, "vbench: the daemon (%s) ended at once; see %s\n", daemon.c_str(), log.c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::fprintf(stderr, "vbench: the daemon did not answer within 10 s; see %s\n", log.c_str());
    return 1;
}

int Stop(const std::string &home, const std::string &socket)
{
    int status = 0;
    std::string out;
    if (!benchwire::RunControlCommand(socket, {"stop"}, status, out)) {
        std::printf("the bench is not running\n");
        return 0;
    }
    // Returns once the daemon has saved the bench and ended, so a start right after finds it gone.
    for (int i = 0; i < 100 && DaemonAlive(home); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (DaemonAlive(home)) {
        std::fprintf(stderr, "vbench: the daemon was asked to stop but still runs after 10 s (its lock %s is held)\n",
                     benchwire::BenchLockPath(home).c_str());
        return 1;
    }
    std::printf("the bench stopped\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (platform::AnswerVersion(argc, argv, "vbench"))
        return 0;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    // Help never needs the daemon.
    if (WantsHelp(args)) {
        std::fputs(BenchCommandHelp(args[0]).c_str(), stdout);
        return 0;
    }
    const std::string home = benchwire::BenchHome();
    const std::string socket = benchwire::BenchSocketPath(home);
    // A home that others could have prepared is not trusted with anything.
    std::error_code ec;
    if (std::filesystem::exists(home, ec)) {
        if (std::string error; !benchwire::CheckBenchHome(home, error)) {
            std::fprintf(stderr, "vbench: %s\n", error.c_str());
            return 1;
        }
    }
    if (args[0] == "start" || args[0] == "stop") {
        if (args.size() > 1) {
            std::fputs(BenchCommandHelp(args[0]).c_str(), stderr);
            return 2;
        }
        return args[0] == "start" ? Start(argv[0], home, socket) : Stop(home, socket);
    }
    if (args[0] == "status") {
        int status = 0;
        std::string out;
        if (!benchwire::RunControlCommand(socket, {"status"}, status, out)) {
            std::printf("not running (%s); start it with: vbench start\n", home.c_str());
            return 3;
        }
        std::fputs(out.c_str(), stdout);
        return status;
    }
    if ((args[0] == "cable" && !InlineFile(args, "--eeprom", "--eeprom-hex")) ||
        (args[0] == "eeprom" && !InlineFile(args, "--set", "--set-hex")))
        return 2;
    int status = 0;
    std::string out;
    if (!benchwire::RunControlCommand(socket, args, status, out)) {
        std::fputs(("vbench: " + out).c_str(), stderr);
        return 3;
    }
    std::fputs(out.c_str(), status == 0 ? stdout : stderr);
    return status;
}
