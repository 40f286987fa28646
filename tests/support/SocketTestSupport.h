#pragma once
// Helpers for tests that talk to the bench daemon's socket directly.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

// Polls `done` until it holds or `limit` has passed; true when it held.
template <class Pred>
bool Eventually(Pred done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A plain connection to the Unix socket at `path`, bypassing the kit's client; -1 when refused.
inline int RawConnect(const std::string &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace testsupport
