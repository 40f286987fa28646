// The operating system's services of platform/os on this system (under Wine for the Windows build):
// file kinds, the exclusive lock, the run-time loader, the station's data folder, stop requests,
// standard output.

#include "Os.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

namespace {

long ThisProcess()
{
#ifdef _WIN32
    return long(GetCurrentProcessId());
#else
    return long(::getpid());
#endif
}

constexpr const char *kHoldVariable = "KIT_OS_TEST_HOLD_LOCK";

// Started again as a child with kHoldVariable naming a file, this program takes the lock on it and
// holds it until it is killed (before any test runs).
const bool g_holder = [] {
    const char *path = std::getenv(kHoldVariable);
    if (!path)
        return false;
    platform::ExclusiveFileLock lock;
    long holder = 0;
    if (lock.TryLock(path, &holder, nullptr) != platform::ExclusiveFileLock::Result::Locked)
        std::_Exit(3);
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}();

// This program again, holding the lock on `path` until Kill.
class LockHolder {
public:
    explicit LockHolder(const std::filesystem::path &path)
    {
#ifdef _WIN32
        SetEnvironmentVariableW(L"KIT_OS_TEST_HOLD_LOCK", path.c_str());
        std::wstring command = L"\"" + platform::ProgramFile().native() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
            CloseHandle(process.hThread);
            m_process = process.hProcess;
            m_pid = long(process.dwProcessId);
        }
        SetEnvironmentVariableW(L"KIT_OS_TEST_HOLD_LOCK", nullptr);
#else
        const std::string variable = std::string(kHoldVariable) + "=" + path.string();
        std::vector<char *> env{const_cast<char *>(variable.c_str())};
        for (char **e = environ; *e; ++e)
            env.push_back(*e);
        env.push_back(nullptr);
        const std::string self = platform::ProgramFile().string();
        char *argv[] = {const_cast<char *>(self.c_str()), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, env.data()) == 0)
            m_pid = long(pid);
#endif
    }
    ~LockHolder() { Kill(); }
    long Pid() const { return m_pid; }
    void Kill()
    {
#ifdef _WIN32
        if (m_process) {
            TerminateProcess(m_process, 9);
            WaitForSingleObject(m_process, 10000);
            CloseHandle(m_process);
        }
        m_process = nullptr;
#else
        if (m_pid > 0) {
            ::kill(pid_t(m_pid), SIGKILL);
            ::waitpid(pid_t(m_pid), nullptr, 0);
        }
#endif
        m_pid = -1;
    }

private:
    long m_pid = -1;
#ifdef _WIN32
    HANDLE m_process = nullptr;
#endif
};

class Folder {
public:
    Folder()
    {
        static int counter = 0;
        m_path = std::filesystem::temp_directory_path() /
                 ("kit-os-" + std::to_string(ThisProcess()) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(m_path);
    }
    ~Folder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::filesystem::path File(const std::string &name, const std::string &bytes) const
    {
        std::ofstream(m_path / name, std::ios::binary) << bytes;
        return m_path / name;
    }
    const std::filesystem::path &Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

} // namespace

TEST(Os, KindsOfFiles)
{
    Folder dir;
    EXPECT_EQ(platform::KindOfFile(dir.File("image.eep", "x")), platform::FileKind::Regular);
    EXPECT_EQ(platform::KindOfFile(dir.Path()), platform::FileKind::Folder);
    EXPECT_EQ(platform::KindOfFile(dir.Path() / "missing.eep"), platform::FileKind::Missing);
    EXPECT_EQ(platform::KindOfFile(dir.Path() / "no-folder" / "missing.eep"), platform::FileKind::Missing);
#ifdef _WIN32
    // Devices: never taken for image files, and a pipe's instance is not taken by looking at it.
    for (const char *device : {"NUL", "CON", "\\\\.\\PIPE\\kit-os-test", "//./HOSTLNK-1"})
        EXPECT_EQ(platform::KindOfFile(device), platform::FileKind::Other) << device;
#else
    const auto fifo = dir.Path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(platform::KindOfFile(fifo), platform::FileKind::Other);
    EXPECT_EQ(platform::KindOfFile("/dev/null"), platform::FileKind::Other);
#endif
}

TEST(Os, OneHolderOfTheLockAtATimeAndItsNameIsReadable)
{
    Folder dir;
    const auto path = dir.File("numbering.lock", "");
    platform::ExclusiveFileLock first, second;
    long holder = -1;
    std::string error;
    ASSERT_EQ(first.TryLock(path, &holder, &error), platform::ExclusiveFileLock::Result::Locked) << error;
    EXPECT_TRUE(first.Held());
    // A second open of the same file is refused while the first holds it, and names the holder.
    EXPECT_EQ(second.TryLock(path, &holder, &error), platform::ExclusiveFileLock::Result::HeldByOther);
    EXPECT_EQ(holder, ThisProcess());
    EXPECT_FALSE(second.Held());
    first.Unlock();
    EXPECT_EQ(second.TryLock(path, &holder, &error), platform::ExclusiveFileLock::Result::Locked) << error;
    // Taking it again replaces the holder's name instead of appending to it.
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(std::strtol(text.c_str(), nullptr, 10), ThisProcess()) << text;
    EXPECT_LE(text.size(), 12u) << text;
    second.Unlock();

    EXPECT_EQ(first.TryLock(dir.Path() / "missing.lock", &holder, &error), platform::ExclusiveFileLock::Result::Missing);
    EXPECT_EQ(first.TryLock(dir.Path(), &holder, &error), platform::ExclusiveFileLock::Result::Failed);
    EXPECT_NE(error.find(dir.Path().filename().string()), std::string::npos) << error;
    EXPECT_FALSE(first.Held());
}

TEST(Os, ALockHeldByAnotherProcessIsFreeOnceItIsKilled)
{
    Folder dir;
    const auto path = dir.File("numbering.lock", "");
    LockHolder child(path);
    ASSERT_GT(child.Pid(), 0);
    platform::ExclusiveFileLock probe;
    long holder = 0;
    auto result = platform::ExclusiveFileLock::Result::Failed;
    // Bounded by time, not by tries: a loaded machine may start the child late or reap it slowly.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) { // until the child holds it
        result = probe.TryLock(path, &holder, nullptr);
        if (result == platform::ExclusiveFileLock::Result::HeldByOther && holder == child.Pid())
            break;
        probe.Unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(result, platform::ExclusiveFileLock::Result::HeldByOther);
    EXPECT_EQ(holder, child.Pid());

    child.Kill(); // no chance to let go: the system drops its lock
    while (result != platform::ExclusiveFileLock::Result::Locked && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        result = probe.TryLock(path, &holder, nullptr);
    }
    EXPECT_EQ(result, platform::ExclusiveFileLock::Result::Locked);
}

TEST(Os, LibrariesAndTheirSymbolsOrASentence)
{
#ifdef _WIN32
    const char *present = "kernel32.dll", *symbol = "GetTickCount";
#else
    const char *present = "libc.so.6", *symbol = "getpid";
#endif
    platform::SharedLibrary library;
    EXPECT_FALSE(library.Open("kit-no-such-library-7730"));
    EXPECT_FALSE(library.Error().empty());
    EXPECT_EQ(library.Symbol(symbol), nullptr);
    ASSERT_TRUE(library.Open(present)) << library.Error();
    EXPECT_NE(library.Symbol(symbol), nullptr);
    EXPECT_EQ(library.Symbol("_ZN14CNumwellerator4SaveEv"), nullptr);
    EXPECT_EQ(library.Error(), "missing _ZN14CNumwellerator4SaveEv");
    library.Close();
    EXPECT_FALSE(library.IsOpen());

    EXPECT_FALSE(platform::ProgramFolder().empty());
    EXPECT_EQ(platform::KindOfFile(platform::ProgramFolder()), platform::FileKind::Folder);
}

TEST(Os, TheStationsDataFolderAndStopRequests)
{
    const std::filesystem::path folder = platform::StationDataFolder();
#ifdef _WIN32
    EXPECT_EQ(folder.filename(), "QT7730 MFG Kit");
    const char *common = std::getenv("ProgramData");
    ASSERT_NE(common, nullptr);
    EXPECT_EQ(folder.parent_path(), std::filesystem::path(common));
#else
    EXPECT_EQ(folder, "/var/lib/qt7730-mfg-kit");
#endif

    platform::StopRequests stop;
    EXPECT_FALSE(stop.WaitFor(std::chrono::milliseconds(20)));
#ifndef _WIN32
    // The request is taken by the waiting thread, not by the signal's default action.
    ASSERT_EQ(std::raise(SIGTERM), 0);
    EXPECT_TRUE(stop.WaitFor(std::chrono::seconds(5)));
#endif
}

// What a command writes reaches a redirected file unchanged: a CSV's "\r\n" stays "\r\n" (in the C
// runtime's text mode Windows would make it "\r\r\n", and a "\n" "\r\n").
TEST(Os, StandardOutputTakesTheBytesAsWritten)
{
    Folder dir;
    const std::string file = dir.File("out.csv", "").string();
    std::fflush(stdout);
#ifdef _WIN32
    const int fd = _open(file.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY);
    const int saved = _dup(1);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(_dup2(fd, 1), 0);
    _setmode(1, _O_TEXT); // as a console program's standard output starts
#else
    const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC);
    const int saved = ::dup(1);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::dup2(fd, 1), 1);
#endif
    platform::WriteStdoutAsIs();
    std::fputs("seq,serial\r\n1,VT-000001\r\nend\n", stdout);
    std::fflush(stdout);
#ifdef _WIN32
    _dup2(saved, 1);
    _close(saved);
    _close(fd);
#else
    ::dup2(saved, 1);
    ::close(saved);
    ::close(fd);
#endif
    std::ifstream in(file, std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, "seq,serial\r\n1,VT-000001\r\nend\n");
}
