// Windows: the station's shared files live under the common application-data folder, whose kit
// folder the installer gives the station's operators the right to change; files created inside take
// that right from it. So nothing here sets modes or groups: it creates, replaces and checks.
#include "SharedFiles.h"

#include <filesystem>
#include <system_error>

#include <windows.h>

namespace platform {
namespace {

void SetError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

std::filesystem::path PathOf(const std::string &utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8(const std::filesystem::path &path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string SystemMessage(DWORD code)
{
    return std::system_category().message(int(code));
}

// Whether this user may write `path` (an existing file): opened for writing, shared with everyone.
bool CanWrite(const std::filesystem::path &path, DWORD flags = FILE_ATTRIBUTE_NORMAL)
{
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(h);
    return true;
}

} // namespace

bool PrepareSharedFolder(const std::string &path, std::string *error)
{
    if (path.empty())
        return true;
    std::error_code failed;
    std::filesystem::create_directories(PathOf(path), failed);
    if (failed && !std::filesystem::is_directory(PathOf(path))) {
        SetError(error, "cannot create the folder " + path + ": " + failed.message());
        return false;
    }
    return true;
}

bool PrepareSharedFile(const std::string &path, std::string *error)
{
    if (path.empty()) {
        SetError(error, "no file named");
        return false;
    }
    const std::filesystem::path file = PathOf(path);
    if (!PrepareSharedFolder(Utf8(file.parent_path()), error))
        return false;
    // CREATE_NEW: an existing file, or a link, is never opened here, let alone changed.
    const HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return true;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
        SetError(error, "cannot create " + path + ": " + SystemMessage(code));
        return false;
    }
    return true;
}

bool ReplaceSharedFile(const std::string &path, const std::string &contents, std::string *error)
{
    const std::filesystem::path file = PathOf(path);
    std::filesystem::path temp = file;
    temp += L".new";
    const HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        SetError(error, "cannot write " + path + ": " + SystemMessage(GetLastError()));
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(h, contents.data(), DWORD(contents.size()), &written, nullptr) && written == contents.size();
    ok = FlushFileBuffers(h) && ok;
    const DWORD code = GetLastError();
    CloseHandle(h);
    if (ok && MoveFileExW(temp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    SetError(error, "cannot write " + path + ": " + SystemMessage(ok ? GetLastError() : code));
    DeleteFileW(temp.c_str());
    return false;
}

bool CanWriteSharedDatabase(const std::string &path, std::string *why, std::string *what)
{
    // The registry store has no file to check.
    if (path.empty())
        return true;
    std::filesystem::path folder = PathOf(path).parent_path();
    std::error_code failed;
    while (!folder.empty() && !std::filesystem::exists(folder, failed) && folder != folder.parent_path())
        folder = folder.parent_path();
    // A folder is writable when a file can be made in it: try one that is gone at its close.
    if (!folder.empty()) {
        const std::filesystem::path probe = folder / L".qt7730-write-check";
        const HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            const std::string name = Utf8(folder);
            SetError(why, "the folder " + name + " cannot be written by this user");
            SetError(what, name);
            return false;
        }
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    for (const std::string &name : {path, path + "-wal", path + "-shm"}) {
        if (std::filesystem::exists(PathOf(name), failed) && !CanWrite(PathOf(name))) {
            SetError(why, name + " cannot be written by this user");
            SetError(what, name);
            return false;
        }
    }
    return true;
}

std::optional<FileIdentity> IdentityOf(const std::string &path)
{
    const HANDLE h = CreateFileW(PathOf(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok)
        return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

} // namespace platform
