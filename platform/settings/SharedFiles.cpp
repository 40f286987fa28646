#include "SharedFiles.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr mode_t kFolderMode = 02775; // setgid: what is created inside gets the folder's group
constexpr mode_t kFileMode = 0664;

void SetError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

// The kit's group, when this process may give folders to it (root) and it exists.
bool KitGroupForRoot(gid_t &gid)
{
    if (::geteuid() != 0)
        return false;
    const group *entry = ::getgrnam(kKitGroup);
    if (!entry)
        return false;
    gid = entry->gr_gid;
    return true;
}

// Gives a folder this function just created its shared mode (mkdir applies the umask and drops the
// setgid bit) and, for root, the kit's group.
bool MakeFolderShared(const std::filesystem::path &folder, std::string *error)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        SetError(error, "cannot open the new folder " + folder.string() + ": " + std::strerror(errno));
        return false;
    }
    gid_t gid = 0;
    bool ok = !KitGroupForRoot(gid) || ::fchown(fd, uid_t(-1), gid) == 0;
    ok = ok && ::fchmod(fd, kFolderMode) == 0;
    if (!ok)
        SetError(error, "cannot make the folder " + folder.string() + " shared: " + std::strerror(errno));
    ::close(fd);
    return ok;
}

} // namespace

bool PrepareSharedFolder(const std::string &path, std::string *error)
{
    if (path.empty())
        return true;
    std::filesystem::path walked;
    for (const auto &part : std::filesystem::path(path)) {
        walked /= part;
        if (::mkdir(walked.c_str(), 0775) == 0) {
            if (!MakeFolderShared(walked, error))
                return false;
        } else if (errno != EEXIST) {
            SetError(error, "cannot create the folder " + walked.string() + ": " + std::strerror(errno));
            return false;
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetError(error, path + " is not a folder");
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
    // O_EXCL: an existing file, or a link, is never opened here, let alone changed.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd >= 0) {
        // The umask may have taken the group's write bit.
        const bool ok = ::fchmod(fd, kFileMode) == 0;
        const int fchmodErrno = errno;
        ::close(fd);
        if (!ok)
            SetError(error, "cannot make " + path + " group-writable: " + std::strerror(fchmodErrno));
        return ok;
    }
    if (errno != EEXIST) {
        SetError(error, "cannot create " + path + ": " + std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        // A link to nothing: whatever opened it next would create its target with its own mode.
        SetError(error, path + " is a link to a missing file");
        return false;
    }
    return true;
}

bool ReplaceSharedFile(const std::string &path, const std::string &contents, std::string *error)
{
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        SetError(error, "cannot write beside " + path + ": " + std::strerror(errno));
        return false;
    }
    const char *data = contents.data();
    std::size_t left = contents.size();
    bool ok = ::fchmod(fd, kFileMode) == 0;
    while (ok && left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        ok = written > 0;
        data += ok ? written : 0;
        left -= ok ? std::size_t(written) : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    const int writeErrno = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0)
        return true;
    SetError(error, "cannot write " + path + ": " + std::strerror(ok ? errno : writeErrno));
    ::unlink(temp.c_str());
    return false;
}

bool CanWriteSharedDatabase(const std::string &path, std::string *why, std::string *what)
{
    // The folder first: without it SQLite cannot create its -wal and -shm files, and a missing
    // database could not be created either. A missing folder needs its nearest existing parent.
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    struct stat st {};
    while (!folder.empty() && ::stat(folder.c_str(), &st) != 0 && folder != folder.parent_path())
        folder = folder.parent_path();
    const std::string folderName = folder.empty() ? std::string(".") : folder.string();
    if (::access(folderName.c_str(), W_OK | X_OK) != 0) {
        SetError(why, "the folder " + folderName + " cannot be written by this user");
        SetError(what, folderName);
        return false;
    }
    for (const std::string &name : {path, path + "-wal", path + "-shm"}) {
        if (::stat(name.c_str(), &st) == 0 && ::access(name.c_str(), W_OK) != 0) {
            SetError(why, name + " cannot be written by this user");
            SetError(what, name);
            return false;
        }
    }
    return true;
}

std::optional<FileIdentity> IdentityOf(const std::string &path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return FileIdentity{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

} // namespace platform
