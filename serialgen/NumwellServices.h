#pragma once
// What CNumwellerator and its dialogs need from the outside world: the clock, the settings store
// and the calendar arithmetic. The exported class has no room for members beyond its fixed five,
// so these are process-wide; tests replace the clock and the store here.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "SettingsStore.h"

namespace numwell {

inline constexpr const char *kCompanyName = "Veltrona";
inline constexpr const char *kProductName = "QT7730 MFG Kit";
inline constexpr const char *kValueStationID = "StationID";
inline constexpr const char *kValueLastDate = "LastDate";
inline constexpr const char *kValueLastSN = "LastSN";
inline constexpr const char *kValueLastSNText = "LastSN-USB";

// Seconds since 1970-01-01 00:00:00 UTC, always 64-bit.
using Clock = std::function<std::int64_t()>;

// An empty clock restores the system clock.
void SetClock(Clock clock);
std::int64_t Now();

// A null store restores the machine-wide one (platform::MachineSettingsStore()).
void SetSettingsStore(std::shared_ptr<platform::SettingsStore> store);
std::shared_ptr<platform::SettingsStore> SettingsStore();

// `Software\Veltrona\QT7730 MFG Kit`.
std::string SettingsKeyPath();

// The library's key with full access, created when missing. Null when the store cannot be written
// (read-only, or out of reach); `failure` then holds the one message for the operator, naming the
// store.
std::unique_ptr<platform::SettingsKey> OpenWritableKey(std::string &failure);

// Local time 2004-01-01 00:00:00 as seconds since 1970 UTC, daylight saving decided by the system.
std::int32_t BaseInstant();

// Whole days from `base` to `now`, truncated toward zero; 64-bit arithmetic, so right after 2038.
std::int32_t DayNumber(std::int64_t now, std::int32_t base);

// Local calendar fields of `now`; false when the system cannot convert it.
struct LocalDate {
    int year;  // e.g. 2006
    int month; // 1 to 12
    int day;   // 1 to 31
};
bool ToLocalDate(std::int64_t now, LocalDate &date);

} // namespace numwell
