#include "NumwellServices.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>

namespace numwell {

// A 32-bit time_t would turn every date after January 2038 into garbage.
static_assert(sizeof(std::time_t) >= 8, "Numwell needs a 64-bit time_t");

namespace {

Clock &ClockSlot()
{
    static Clock clock;
    return clock;
}

std::shared_ptr<platform::SettingsStore> &StoreSlot()
{
    static std::shared_ptr<platform::SettingsStore> store;
    return store;
}

} // namespace

void SetClock(Clock clock) { ClockSlot() = std::move(clock); }

std::int64_t Now()
{
    if (const Clock &clock = ClockSlot())
        return clock();
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SetSettingsStore(std::shared_ptr<platform::SettingsStore> store) { StoreSlot() = std::move(store); }

std::shared_ptr<platform::SettingsStore> SettingsStore()
{
    if (const auto &store = StoreSlot())
        return store;
    return platform::MachineSettingsStore();
}

std::string SettingsKeyPath()
{
    char path[260] = {};
    std::snprintf(path, sizeof path, "Software\\%s\\%s", kCompanyName, kProductName);
    return path;
}

std::unique_ptr<platform::SettingsKey> OpenWritableKey(std::string &failure)
{
    const std::shared_ptr<platform::SettingsStore> store = SettingsStore();
    const std::string path = SettingsKeyPath();
    std::unique_ptr<platform::SettingsKey> key = store->OpenKey(path, platform::SettingsAccess::ReadWrite);
    if (!key)
        key = store->CreateKey(path);
    if (!key) {
        const std::string where = store->Location();
        failure = "Create registry key fail\nThe settings store cannot be written: " + (where.empty() ? path : where);
    }
    return key;
}

std::int32_t BaseInstant()
{
    std::tm base{};
    base.tm_year = 2004 - 1900;
    base.tm_mon = 0;
    base.tm_mday = 1;
    base.tm_isdst = -1; // the system decides whether daylight saving applies
    return static_cast<std::int32_t>(std::mktime(&base));
}

std::int32_t DayNumber(std::int64_t now, std::int32_t base)
{
    const std::int64_t days = (now - std::int64_t(base)) / 86400;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(days, INT32_MIN, INT32_MAX));
}

bool ToLocalDate(std::int64_t now, LocalDate &date)
{
    const std::time_t t = static_cast<std::time_t>(now);
    std::tm local{};
    if (!localtime_r(&t, &local))
        return false;
    date = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
    return true;
}

} // namespace numwell
