#pragma once
// The editor tests' clock: every build happens on 8 December 2026, so the serial text is "0261208...".

#include <ctime>

inline std::tm FixedDay()
{
    std::tm day{};
    day.tm_year = 2026 - 1900;
    day.tm_mon = 11; // December
    day.tm_mday = 8;
    return day;
}
