#include "StationLock.h"

#include "SettingsStore.h"
#include "SharedFiles.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace line {

StationLock::~StationLock()
{
    if (m_fd >= 0)
        ::close(m_fd); // also releases the lock
}

std::string StationLock::Path()
{
    const char *store = std::getenv(platform::kSettingsPathVariable);
    const std::filesystem::path settings = store && *store ? store : platform::kDefaultSettingsPath;
    return (settings.parent_path() / "numbering.lock").string();
}

bool StationLock::TryLock(std::string *error, bool create)
{
    const std::string path = Path();
    // Made as the station's other shared files are: group-writable, so every operator can take it.
    if (create && !platform::PrepareSharedFile(path, error))
        return false;
    // O_NOFOLLOW: a link planted in a shared folder must not make us write somewhere else.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT && !create)
        return true; // never numbered here: nothing to hold
    if (fd < 0) {
        if (error)
            *error = "cannot open the station's numbering lock " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (error)
            *error = "the station's numbering lock " + path + " is not a regular file";
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        char text[32] = {};
        const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        if (error) {
            if (why == EWOULDBLOCK) {
                const long pid = got > 0 ? std::strtol(text, nullptr, 10) : 0;
                *error = "another numbering run holds this station" +
                         (pid > 0 ? " (process " + std::to_string(pid) + ")" : std::string()) +
                         "; wait until it has finished";
            } else {
                *error = "cannot lock the station's numbering lock " + path + ": " + std::strerror(why);
            }
        }
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
        // Only the holder's name is lost; the lock itself holds.
    }
    m_fd = fd;
    return true;
}

} // namespace line
