// The station's shared files on Windows. Who may write them is the data folder's access list: the
// installer gives %ProgramData%\QT7730 MFG Kit to the Users group (modify, inherited), so every file
// made in it is writable by every operator, whoever made it. Nothing here changes an access list.
#include "SharedFiles.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>

namespace platform {
namespace {

void SetError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

std::string Reason(DWORD code)
{
    switch (code) {
    case ERROR_ACCESS_DENIED:
        return "access denied";
    case ERROR_SHARING_VIOLATION:
        return "in use by another program";
    case ERROR_PATH_NOT_FOUND:
        return "the folder does not exist";
    case ERROR_DISK_FULL:
        return "the disk is full";
    default:
        return "Windows error " + std::to_string(code);
    }
}

// Opens an existing file for writing without following a link planted in its place.
HANDLE OpenForWriting(const std::filesystem::path &file, DWORD disposition, DWORD flags = 0)
{
    return CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

bool Exists(const std::filesystem::path &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

} // namespace

bool PrepareSharedFolder(const std::string &path, std::string *error)
{
    if (path.empty())
        return true;
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (!std::filesystem::is_directory(path, ec)) {
        SetError(error, "cannot create the folder " + path + (ec ? ": " + ec.message() : std::string()));
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
    if (!PrepareSharedFolder(std::filesystem::path(path).parent_path().string(), error))
        return false;
    // CREATE_NEW: an existing file, or a link, is never opened here, let alone changed.
    HANDLE handle = OpenForWriting(path, CREATE_NEW);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return true;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
        SetError(error, "cannot create " + path + ": " + Reason(code));
        return false;
    }
    return true;
}

bool ReplaceSharedFile(const std::string &path, const std::string &contents, std::string *error)
{
    const std::filesystem::path target = path;
    const std::filesystem::path temp = path + ".new";
    HANDLE handle = OpenForWriting(temp, CREATE_ALWAYS);
    if (handle == INVALID_HANDLE_VALUE) {
        SetError(error, "cannot write beside " + path + ": " + Reason(GetLastError()));
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(handle, contents.data(), DWORD(contents.size()), &written, nullptr) &&
              written == contents.size() && FlushFileBuffers(handle);
    DWORD code = ok ? 0 : GetLastError();
    CloseHandle(handle);
    if (ok && MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (ok)
        code = GetLastError();
    SetError(error, "cannot write " + path + ": " + Reason(code));
    DeleteFileW(temp.c_str());
    return false;
}

bool CanWriteSharedDatabase(const std::string &path, std::string *why, std::string *what)
{
    // The folder first (SQLite makes its -wal and -shm files there): a missing one needs its nearest
    // existing parent. Whether this user may make a file is asked by making one, which the system
    // deletes again when it is closed; that answers for every access list and attribute at once.
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    while (!folder.empty() && !Exists(folder) && folder != folder.parent_path())
        folder = folder.parent_path();
    const std::string folderName = folder.empty() ? std::string(".") : folder.string();
    const std::filesystem::path probe =
        (folder.empty() ? std::filesystem::path(".") : folder) / ("qt7730-write-test-" + std::to_string(GetCurrentProcessId()));
    HANDLE handle = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetError(why, "the folder " + folderName + " cannot be written by this user");
        SetError(what, folderName);
        return false;
    }
    CloseHandle(handle);
    for (const std::string &name : {path, path + "-wal", path + "-shm"}) {
        if (!Exists(name))
            continue;
        HANDLE file = OpenForWriting(name, OPEN_EXISTING);
        const DWORD code = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        // A file another program has open without sharing is busy, not forbidden.
        if (file == INVALID_HANDLE_VALUE && code != ERROR_SHARING_VIOLATION) {
            SetError(why, name + " cannot be written by this user");
            SetError(what, name);
            return false;
        }
    }
    return true;
}

} // namespace platform
