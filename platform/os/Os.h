#pragma once
// The few operating-system services the line's tools use outside the device world: what kind of file
// a path names, the running program's folder, the station's data folder, a shared library loaded at
// run time, an exclusive lock on a file, and whether output goes to a terminal. One implementation
// per system (OsPosix.cpp, OsWin32.cpp); callers never see which.

#include <chrono>
#include <filesystem>
#include <string>

namespace platform {

enum class FileKind { Missing, Regular, Folder, Other };

// What `path` names, as opening it would see it: a regular disk file, a folder, nothing, or anything
// else (a FIFO, a device such as NUL, CON or \\.\PIPE\x). `error` gets the system's reason when
// the answer is Other because the path cannot be examined.
FileKind KindOfFile(const std::filesystem::path &path, std::string *error = nullptr);

// The running program's own file, and its folder; empty when the system cannot tell.
std::filesystem::path ProgramFile();
std::filesystem::path ProgramFolder();

// The station's data folder, shared by every operator: the ledger, the numbering lock (and, on
// Linux, the settings store and the writable driver INF). /var/lib/qt7730-mfg-kit on Linux;
// %ProgramData%\QT7730 MFG Kit on Windows (the common application-data folder).
std::filesystem::path StationDataFolder();

// Whether standard output is a terminal (a console on Windows).
bool StdoutIsTerminal();

// Makes standard output take the bytes as written, as it does on Linux. Windows' C runtime would turn
// each "\n" into "\r\n", so the records' CSV, whose lines end in "\r\n", would reach a file with
// "\r\r\n". Called once at start, before anything is written.
void WriteStdoutAsIs();

// Waits until the connected socket (a descriptor, or a Windows SOCKET) can be read, or written with
// `forWrite`, for at most `timeout`: 1 ready, 0 not yet (time-out or an interrupted wait), -1 failed.
int WaitForSocket(long long socket, bool forWrite, std::chrono::milliseconds timeout);

// An operator's request to stop a command that runs until stopped: Ctrl+C, or the system's request to
// end (SIGINT and SIGTERM; on Windows the console's Ctrl+C, Ctrl+Break and close). Made before any
// thread starts, it takes those requests for the whole process (no thread is interrupted by them)
// until it is destroyed; one object at a time.
class StopRequests {
public:
    StopRequests();
    ~StopRequests();
    StopRequests(const StopRequests &) = delete;
    StopRequests &operator=(const StopRequests &) = delete;

    // True as soon as a stop was requested, else after `timeout` false.
    bool WaitFor(std::chrono::milliseconds timeout);

private:
#ifdef _WIN32
    void *m_event = nullptr;
#else
    unsigned char m_old[128] = {}; // the signal mask before (a sigset_t)
#endif
};

// A shared library loaded at run time (dlopen, LoadLibrary). Unloaded when destroyed.
class SharedLibrary {
public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary &) = delete;
    SharedLibrary &operator=(const SharedLibrary &) = delete;

    // `file`: a path, or a bare file name for the system's search. False with Error() on failure.
    bool Open(const std::filesystem::path &file);
    bool IsOpen() const { return m_handle != nullptr; }
    // The address of an exported symbol (its linker name), or null with Error().
    void *Symbol(const char *name);
    const std::string &Error() const { return m_error; }
    void Close();

private:
    void *m_handle = nullptr;
    std::string m_error;
};

// An exclusive lock on one file, held until Unlock or destruction, dropped by the system when the
// holder dies (flock on Linux, LockFileEx on Windows). The file carries the holder's process id.
class ExclusiveFileLock {
public:
    enum class Result { Locked, HeldByOther, Missing, Failed };

    ExclusiveFileLock() = default;
    ~ExclusiveFileLock();
    ExclusiveFileLock(const ExclusiveFileLock &) = delete;
    ExclusiveFileLock &operator=(const ExclusiveFileLock &) = delete;

    // Takes the lock on the existing regular file `path` without waiting. HeldByOther sets `holder`
    // to the holder's process id when it wrote one (else 0); Missing: there is no such file; Failed:
    // `error` says why (also when `path` is not a regular file). Links are never followed.
    Result TryLock(const std::filesystem::path &path, long *holder, std::string *error);
    bool Held() const;
    void Unlock();

private:
#ifdef _WIN32
    void *m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

} // namespace platform
