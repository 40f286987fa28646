#pragma once
// One numbering run per station: a lock file beside the settings store (where the station's serial
// counter lives), held with flock for the whole run. The kernel drops the lock when its holder dies,
// so a killed run never blocks the next one; the file only tells who holds it.

#include <string>

namespace line {

class StationLock {
public:
    StationLock() = default;
    ~StationLock();
    StationLock(const StationLock &) = delete;
    StationLock &operator=(const StationLock &) = delete;

    // Takes the lock without waiting. False with a sentence in `error`: held by another process (named
    // by its pid), or the lock file cannot be made. `create` false: a station without a lock file yet
    // (no numbering run ever) is free, and nothing is created.
    bool TryLock(std::string *error, bool create = true);
    bool Held() const { return m_fd >= 0; }

    // The lock file: "numbering.lock" in the folder of the settings store.
    static std::string Path();

private:
    int m_fd = -1;
};

} // namespace line
