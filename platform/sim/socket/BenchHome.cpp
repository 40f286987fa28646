#include "BenchHome.h"

#include "BenchWire.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace benchwire {

std::string BenchHome()
{
    if (const char *home = std::getenv("VBENCH_HOME"); home && *home)
        return home;
    if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::string(state) + "/qt7730-vbench";
    if (const char *user = std::getenv("HOME"); user && *user)
        return std::string(user) + "/.local/state/qt7730-vbench";
    return "/tmp/qt7730-vbench-" + std::to_string(::geteuid());
}

bool CheckBenchHome(const std::string &home, std::string &error)
{
    struct stat info{};
    if (::stat(home.c_str(), &info) != 0) {
        error = "cannot use the bench home " + home + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = "the bench home " + home + " is not a directory";
        return false;
    }
    if (info.st_uid != ::geteuid()) {
        error = "the bench home " + home + " belongs to another user (uid " + std::to_string(info.st_uid) +
                "); refusing to use it: set VBENCH_HOME to a directory of your own";
        return false;
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        error = "the bench home " + home + " may be written by other users (mode " + mode +
                "); refusing to use it: make it private (chmod 700) or set VBENCH_HOME to another directory";
        return false;
    }
    return true;
}

bool PrepareBenchHome(const std::string &home, std::string &error)
{
    if (home.empty()) {
        error = "no bench home";
        return false;
    }
    const std::filesystem::path path(home);
    std::error_code ec;
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path(), ec);
    // Created owner-only from the start; an existing directory (ours or not) is left as it is.
    if (::mkdir(home.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create the bench home " + home + ": " + std::strerror(errno);
        return false;
    }
    return CheckBenchHome(home, error);
}

bool RunControlCommand(const std::string &socketPath, const std::vector<std::string> &args, int &status,
                       std::string &output, int timeoutMs)
{
    if (args.size() > kMaxControlArgs) {
        status = 2;
        output = "vbench: too many arguments (" + std::to_string(args.size()) + "; at most " +
                 std::to_string(kMaxControlArgs) + ")\n";
        return true;
    }
    std::string error;
    const int fd = ConnectToDaemon(socketPath, error);
    if (fd < 0) {
        output = "the virtual bench is not running (" + error + "); start it with: vbench start\n";
        return false;
    }
    const auto deadline = DeadlineIn(std::chrono::milliseconds(timeoutMs));
    std::string answer;
    const bool sent = SendAll(fd, Writer(Op::Control).strings(args).Frame(), deadline);
    // A daemon that refuses the connection may have said why before the request went out.
    const bool answered = ReceiveFrame(fd, answer, deadline);
    const bool timedOut = !answered && errno == ETIMEDOUT;
    ::close(fd);
    if (!answered) {
        output = timedOut ? "the virtual bench is not running (nothing answered on " + socketPath + " within " +
                                std::to_string(timeoutMs / 1000) + " s); start it with: vbench start\n"
                          : "the virtual bench is not running (no answer on " + socketPath +
                                "); start it with: vbench start\n";
        return false;
    }
    (void)sent;
    Reader in(answer);
    const uint32_t code = in.u32();
    output = in.str();
    if (!in.AtEnd()) {
        output = "the daemon sent a damaged answer\n";
        return false;
    }
    if (code == kRefused) {
        status = 1;
        output = "vbench: the bench daemon refused the connection: " + output + "\n";
        return true;
    }
    status = static_cast<int>(code);
    return true;
}

} // namespace benchwire
