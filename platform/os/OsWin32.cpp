#include "Os.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <io.h>

namespace platform {
namespace {

std::string SystemText(DWORD code)
{
    char *text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string result = length && text ? std::string(text, length) : std::string();
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return (result.empty() ? std::string("Windows error") : result) + " (" + std::to_string(code) + ")";
}

bool IsMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Names in the device namespace (\\.\PIPE\x, \\.\HOSTLNK-1, \\.\COM1): opening one to look at it
// would already act on the device (a pipe instance would be taken).
bool IsDeviceName(const std::wstring &name)
{
    return name.size() >= 4 && (name[0] == L'\\' || name[0] == L'/') && (name[1] == L'\\' || name[1] == L'/') &&
           name[2] == L'.' && (name[3] == L'\\' || name[3] == L'/');
}

// A disk file (not a folder) behind an open handle.
bool IsRegularDiskFile(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

// The lock is taken on one byte far beyond any real file's end: a byte range locked on Windows can
// not be read by others, and the holder's process id at the start of the file must stay readable.
constexpr DWORD kLockOffsetHigh = 0x40000000;

} // namespace

FileKind KindOfFile(const std::filesystem::path &path, std::string *error)
{
    if (IsDeviceName(path.native()))
        return FileKind::Other;
    // No access asked: only the file's kind is looked at. Backup semantics open folders too.
    HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (IsMissing(code))
            return FileKind::Missing;
        if (error)
            *error = SystemText(code);
        return FileKind::Other;
    }
    FileKind kind = FileKind::Other;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info))
        kind = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? FileKind::Folder : FileKind::Regular;
    CloseHandle(handle);
    return kind;
}

std::filesystem::path ProgramFile()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size())
            return std::wstring(buffer.data(), length);
        if (buffer.size() >= 32768) // the longest path Windows has
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::filesystem::path ProgramFolder() { return ProgramFile().parent_path(); }

std::filesystem::path StationDataFolder()
{
    std::filesystem::path common;
    PWSTR folder = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DEFAULT, nullptr, &folder)) && folder)
        common = folder;
    CoTaskMemFree(folder);
    if (common.empty()) {
        if (const wchar_t *variable = _wgetenv(L"ProgramData"); variable && *variable)
            common = variable;
        else
            common = L"C:\\ProgramData";
    }
    return common / L"QT7730 MFG Kit";
}

bool StdoutIsTerminal()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return out && out != INVALID_HANDLE_VALUE && GetFileType(out) == FILE_TYPE_CHAR && GetConsoleMode(out, &mode);
}

void WriteStdoutAsIs()
{
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

int WaitForSocket(long long socket, bool forWrite, std::chrono::milliseconds timeout)
{
    WSAPOLLFD p{};
    p.fd = SOCKET(socket);
    p.events = forWrite ? POLLWRNORM : POLLRDNORM;
    const int n = WSAPoll(&p, 1, INT(timeout.count()));
    return n > 0 ? 1 : n == 0 ? 0 : -1;
}

namespace {

// The console's control handler runs on a thread of its own; it only sets the event WaitFor waits on.
HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    SetEvent(g_stopEvent);
    return TRUE;
}

} // namespace

StopRequests::StopRequests()
{
    m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_stopEvent = static_cast<HANDLE>(m_event);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

StopRequests::~StopRequests()
{
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_stopEvent = nullptr;
    if (m_event)
        CloseHandle(static_cast<HANDLE>(m_event));
}

bool StopRequests::WaitFor(std::chrono::milliseconds timeout)
{
    return WaitForSingleObject(static_cast<HANDLE>(m_event), DWORD(timeout.count())) == WAIT_OBJECT_0;
}

SharedLibrary::~SharedLibrary() { Close(); }

bool SharedLibrary::Open(const std::filesystem::path &file)
{
    Close();
    // A library named by its path brings its own folder into the search for its dependencies (the Qt
    // DLLs beside Numwell.dll).
    const DWORD flags = file.has_parent_path() ? LOAD_WITH_ALTERED_SEARCH_PATH : 0;
    HMODULE module = LoadLibraryExW(file.c_str(), nullptr, flags);
    if (!module)
        m_error = SystemText(GetLastError());
    m_handle = reinterpret_cast<void *>(module);
    return module != nullptr;
}

void *SharedLibrary::Symbol(const char *name)
{
    if (!m_handle) {
        m_error = "no library is loaded";
        return nullptr;
    }
    FARPROC address = GetProcAddress(static_cast<HMODULE>(m_handle), name);
    if (!address)
        m_error = "missing " + std::string(name);
    return reinterpret_cast<void *>(address);
}

void SharedLibrary::Close()
{
    if (m_handle)
        FreeLibrary(static_cast<HMODULE>(m_handle));
    m_handle = nullptr;
}

ExclusiveFileLock::~ExclusiveFileLock() { Unlock(); }

bool ExclusiveFileLock::Held() const { return m_handle != nullptr; }

void ExclusiveFileLock::Unlock()
{
    if (m_handle)
        CloseHandle(static_cast<HANDLE>(m_handle)); // also releases the lock
    m_handle = nullptr;
}

ExclusiveFileLock::Result ExclusiveFileLock::TryLock(const std::filesystem::path &path, long *holder,
                                                     std::string *error)
{
    Unlock();
    if (IsDeviceName(path.native())) {
        if (error)
            *error = path.string() + " is not a regular file";
        return Result::Failed;
    }
    // The reparse point itself is opened, never what a link planted in the shared folder points to;
    // a folder opens too (backup semantics), to be refused as not a file.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (IsMissing(code))
            return Result::Missing;
        if (error)
            *error = "cannot open " + path.string() + ": " + SystemText(code);
        return Result::Failed;
    }
    if (!IsRegularDiskFile(handle)) {
        CloseHandle(handle);
        if (error)
            *error = path.string() + " is not a regular file";
        return Result::Failed;
    }
    OVERLAPPED where{};
    where.OffsetHigh = kLockOffsetHigh;
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        const DWORD code = GetLastError();
        if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) {
            char text[32] = {};
            DWORD got = 0;
            OVERLAPPED start{};
            const bool read = ReadFile(handle, text, sizeof text - 1, &got, &start);
            if (holder)
                *holder = read && got > 0 ? std::strtol(text, nullptr, 10) : 0;
            CloseHandle(handle);
            return Result::HeldByOther;
        }
        CloseHandle(handle);
        if (error)
            *error = "cannot lock " + path.string() + ": " + SystemText(code);
        return Result::Failed;
    }
    const std::string pid = std::to_string(GetCurrentProcessId()) + "\r\n";
    DWORD written = 0;
    OVERLAPPED start{};
    if (SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(handle) &&
        WriteFile(handle, pid.data(), DWORD(pid.size()), &written, &start)) {
        // Only the holder's name could be lost; the lock itself holds.
    }
    m_handle = handle;
    return Result::Locked;
}

} // namespace platform
