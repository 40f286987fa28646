#include "BenchHome.h"

#include "BenchWire.h"

#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
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
    return "/tmp/qt7730-vbench-" + std::to_string(::getuid());
}

bool RunControlCommand(const std::string &socketPath, const std::vector<std::string> &args, int &status,
                       std::string &output)
{
    sockaddr_un address{};
    if (socketPath.size() >= sizeof address.sun_path) {
        output = "the socket path is too long for this system: " + socketPath + "\n";
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        output = std::string("socket: ") + std::strerror(errno) + "\n";
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    std::string answer;
    const bool answered = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                          SendAll(fd, Writer(Op::Control).strings(args).Frame()) && ReceiveFrame(fd, answer);
    ::close(fd);
    if (!answered) {
        output = "the virtual bench is not running (no answer on " + socketPath + "); start it with: vbench start\n";
        return false;
    }
    Reader in(answer);
    status = static_cast<int>(in.u32());
    output = in.str();
    if (!in.AtEnd()) {
        output = "the daemon sent a damaged answer\n";
        return false;
    }
    return true;
}

} // namespace benchwire
