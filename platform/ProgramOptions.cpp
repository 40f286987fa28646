#include "ProgramOptions.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace platform {
namespace {

bool OnlyArgument(int argc, char **argv, const char *a, const char *b = nullptr)
{
    return argc == 2 && (!std::strcmp(argv[1], a) || (b && !std::strcmp(argv[1], b)));
}

} // namespace

const char *KitVersion()
{
    return KIT_VERSION;
}

bool AnswerVersion(int argc, char **argv, const char *program)
{
    if (!OnlyArgument(argc, argv, "--version"))
        return false;
    std::printf("%s %s\n", program, KitVersion());
    return true;
}

bool AnswerVersionOrHelp(int argc, char **argv, const char *program, const std::string &help)
{
    return AnswerVersion(argc, argv, program) || AnswerHelp(argc, argv, help);
}

bool AnswerHelp(int argc, char **argv, const std::string &help)
{
    if (!OnlyArgument(argc, argv, "--help", "-h"))
        return false;
    std::fputs(help.c_str(), stdout);
    return true;
}

#ifndef _WIN32
namespace {

// Connects to a local socket (a leading '@' names an abstract one); true when something accepts.
bool Answers(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + path.size());
    if (path[0] == '@')
        address.sun_path[0] = '\0';
    else
        ++length;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), length) == 0;
    ::close(fd);
    return ok;
}

// A TCP display ("host:N"): port 6000 + N, given a second to answer.
bool AnswersOnTcp(const std::string &host, int display)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(6000 + display).c_str(), &hints, &found) != 0)
        return false;
    bool ok = false;
    for (addrinfo *a = found; a && !ok; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            ok = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int error = 0;
            socklen_t size = sizeof error;
            ok = ::poll(&p, 1, 1000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return ok;
}

} // namespace
#endif

bool DisplayReachable(std::string *why)
{
#ifdef _WIN32
    (void)why;
    return true; // Windows always has its desktop
#else
    auto fail = [why](const std::string &text) {
        if (why)
            *why = text;
        return false;
    };
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    const std::string qpa = platform ? platform : "";
    if (!qpa.empty() && qpa.rfind("xcb", 0) != 0 && qpa.rfind("wayland", 0) != 0)
        return true; // offscreen, minimal, vnc ...: no display needed
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland && *wayland && qpa.rfind("xcb", 0) != 0) {
        const char *runtime = std::getenv("XDG_RUNTIME_DIR");
        const std::string socket = wayland[0] == '/' ? wayland : std::string(runtime ? runtime : "") + "/" + wayland;
        if (Answers(socket))
            return true;
        if (qpa.rfind("wayland", 0) == 0)
            return fail(std::string("the Wayland display ") + wayland + " does not answer");
    }
    const char *display = std::getenv("DISPLAY");
    if (!display || !*display)
        return fail("there is no display to show its window on (DISPLAY is not set)");
    const std::string name = display;
    const std::size_t colon = name.rfind(':');
    if (colon == std::string::npos)
        return fail("the display \"" + name + "\" is not a display name");
    const std::string host = name.substr(0, colon);
    const int number = std::atoi(name.c_str() + colon + 1);
    const std::string local = "/tmp/.X11-unix/X" + std::to_string(number);
    const bool reached = host.empty() || host == "unix" ? Answers("@" + local) || Answers(local)
                                                        : AnswersOnTcp(host, number);
    return reached ? true : fail("the display " + name + " cannot be reached (is its X server running?)");
#endif
}

bool SayNoDisplay(const char *program)
{
    std::string why;
    if (DisplayReachable(&why))
        return false;
    std::fprintf(stderr,
                 "%s: %s. Start it from the station's desktop, or in a terminal of that desktop.\n", program,
                 why.c_str());
    return true;
}

} // namespace platform
