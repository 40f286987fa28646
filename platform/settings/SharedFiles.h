#pragma once
// Files that every operator of a station writes: the settings store, the ledger, the writable driver
// INF. They live in one folder owned by the kit's group with the setgid bit, so whatever is created
// there belongs to that group; each file is group-writable, so the next operator (or SQLite's -wal
// and -shm files, which take the database's mode) can write it too. Whoever creates one of these
// files first, an operator or root, creates it this way; nothing here changes an existing file.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The system group of the kit's operators.
inline constexpr const char *kKitGroup = "qt7730-mfg";

// Creates the missing folders on the way to `path` (mode 2775; when run as root, given to the kit's
// group when it exists) and `path` itself as an empty file of mode 0664 when it does not exist.
// An existing file is left exactly as it is; a link in its place is never followed. False with a
// sentence for a person in `error` when the file is not there afterwards.
bool PrepareSharedFile(const std::string &path, std::string *error);

// Creates a missing folder (and its parents) the same way as PrepareSharedFile.
bool PrepareSharedFolder(const std::string &path, std::string *error);

// Writes `contents` as the whole of `path` at once (a group-writable file beside it, renamed over
// it): readers see the old file or the new one, never half of one. False with a sentence in `error`.
bool ReplaceSharedFile(const std::string &path, const std::string &contents, std::string *error);

// Whether this process can write the SQLite database `path` as it stands: the file (when it exists),
// its -wal and -shm files (when they exist) and its folder. False with the reason in `why`, naming
// the first thing it cannot write, and that thing alone in `what` (for texts in other languages).
bool CanWriteSharedDatabase(const std::string &path, std::string *why, std::string *what = nullptr);

// What a file is (its device and file number), to notice when the file at a path is replaced or
// deleted while a program keeps it open; nothing when there is no such file.
struct FileIdentity {
    std::uint64_t device = 0, file = 0;
    bool operator==(const FileIdentity &) const = default;
};
std::optional<FileIdentity> IdentityOf(const std::string &path);

} // namespace platform
