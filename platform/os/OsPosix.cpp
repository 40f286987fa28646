#include "Os.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <csignal>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

FileKind KindOfFile(const std::filesystem::path &path, std::string *error)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return FileKind::Missing;
        if (error)
            *error = std::strerror(errno);
        return FileKind::Other;
    }
    if (S_ISREG(st.st_mode))
        return FileKind::Regular;
    return S_ISDIR(st.st_mode) ? FileKind::Folder : FileKind::Other;
}

std::filesystem::path ProgramFile()
{
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self;
}

std::filesystem::path ProgramFolder() { return ProgramFile().parent_path(); }

std::filesystem::path StationDataFolder() { return "/var/lib/qt7730-mfg-kit"; }

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void WriteStdoutAsIs() {}

int WaitForSocket(long long socket, bool forWrite, std::chrono::milliseconds timeout)
{
    pollfd p{int(socket), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    const int n = ::poll(&p, 1, int(timeout.count()));
    if (n > 0)
        return 1;
    return n == 0 || errno == EINTR ? 0 : -1;
}

namespace {

sigset_t StopSignals()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    return stop;
}

} // namespace

// The signals are blocked, so only WaitFor takes them, synchronously, whatever threads start later.
StopRequests::StopRequests()
{
    static_assert(sizeof(sigset_t) <= sizeof m_old);
    const sigset_t stop = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stop, reinterpret_cast<sigset_t *>(m_old));
}

StopRequests::~StopRequests() { pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t *>(m_old), nullptr); }

bool StopRequests::WaitFor(std::chrono::milliseconds timeout)
{
    const sigset_t stop = StopSignals();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec wait{seconds.count(), long((timeout - seconds).count()) * 1000000L};
    return sigtimedwait(&stop, nullptr, &wait) >= 0;
}

SharedLibrary::~SharedLibrary() { Close(); }

bool SharedLibrary::Open(const std::filesystem::path &file)
{
    Close();
    m_handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char *why = ::dlerror();
        m_error = why ? why : "cannot load " + file.string();
    }
    return m_handle != nullptr;
}

void *SharedLibrary::Symbol(const char *name)
{
    if (!m_handle) {
        m_error = "no library is loaded";
        return nullptr;
    }
    ::dlerror();
    void *address = ::dlsym(m_handle, name);
    if (!address)
        m_error = "missing " + std::string(name);
    return address;
}

void SharedLibrary::Close()
{
    if (m_handle)
        ::dlclose(m_handle);
    m_handle = nullptr;
}

ExclusiveFileLock::~ExclusiveFileLock() { Unlock(); }

bool ExclusiveFileLock::Held() const { return m_fd >= 0; }

void ExclusiveFileLock::Unlock()
{
    if (m_fd >= 0)
        ::close(m_fd); // also releases the lock
    m_fd = -1;
}

ExclusiveFileLock::Result ExclusiveFileLock::TryLock(const std::filesystem::path &path, long *holder,
                                                     std::string *error)
{
    Unlock();
    // O_NOFOLLOW: a link planted in a shared folder must not make us write somewhere else.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT)
        return Result::Missing;
    if (fd < 0) {
        if (error)
            *error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return Result::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (error)
            *error = path.string() + " is not a regular file";
        return Result::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        char text[32] = {};
        const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        if (why == EWOULDBLOCK) {
            if (holder)
                *holder = got > 0 ? std::strtol(text, nullptr, 10) : 0;
            return Result::HeldByOther;
        }
        if (error)
            *error = "cannot lock " + path.string() + ": " + std::strerror(why);
        return Result::Failed;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
        // Only the holder's name is lost; the lock itself holds.
    }
    m_fd = fd;
    return Result::Locked;
}

} // namespace platform
