#pragma once
// One numbering run per station: a lock file beside the settings store (where the station's serial
// counter lives; in the station's data folder when the store is the registry), held for the whole
// run. The system drops the lock when its holder dies, so a killed run never blocks the next one; the
// file only tells who holds it.

#include "Os.h"

#include <string>

namespace line {

class StationLock {
public:
    // Takes the lock without waiting. False with a sentence in `error`: held by another process (named
    // by its pid), or the lock file cannot be made. `create` false: a station without a lock file yet
    // (no numbering run ever) is free, and nothing is created.
    bool TryLock(std::string *error, bool create = true);
    bool Held() const { return m_lock.Held(); }

    // The lock file: "numbering.lock" in the folder of the settings store, or the station's data
    // folder.
    static std::string Path();

private:
    platform::ExclusiveFileLock m_lock;
};

} // namespace line
