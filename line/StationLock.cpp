#include "StationLock.h"

#include "SettingsStore.h"
#include "SharedFiles.h"

#include <filesystem>

namespace line {

namespace {

// Paths cross as UTF-8 text, as the station's other shared files take them.
std::filesystem::path FromUtf8(const std::string &text) { return std::u8string(text.begin(), text.end()); }

} // namespace

std::string StationLock::Path()
{
    const std::string store = platform::MachineSettingsStore()->Location();
    const std::filesystem::path folder =
        store.empty() ? platform::StationDataFolder() : FromUtf8(store).parent_path();
    const std::u8string path = (folder / "numbering.lock").u8string();
    return std::string(path.begin(), path.end());
}

bool StationLock::TryLock(std::string *error, bool create)
{
    const std::string path = Path();
    // Made as the station's other shared files are, so every operator can take it.
    if (create && !platform::PrepareSharedFile(path, error))
        return false;
    long holder = 0;
    std::string why;
    switch (m_lock.TryLock(FromUtf8(path), &holder, &why)) {
    case platform::ExclusiveFileLock::Result::Locked:
        return true;
    case platform::ExclusiveFileLock::Result::Missing:
        if (!create)
            return true; // never numbered here: nothing to hold
        why = "cannot open " + path + ": it was removed";
        break;
    case platform::ExclusiveFileLock::Result::HeldByOther:
        if (error)
            *error = "another numbering run holds this station" +
                     (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
                     "; wait until it has finished";
        return false;
    case platform::ExclusiveFileLock::Result::Failed:
        break;
    }
    if (error)
        *error = "the station's numbering lock: " + why;
    return false;
}

} // namespace line
