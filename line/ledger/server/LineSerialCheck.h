#pragma once
// Serial numbers unique across the line: before a number goes into a cable, the station reserves it on
// the line server. A number another station holds is refused; without the server the station goes on
// with its own checks and says so once.

#include "LineLedger.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace line {

class LineSerialCheck {
public:
    using Clock = std::chrono::steady_clock;
    // `notice` receives the one-time message about working without the server.
    LineSerialCheck(std::string conninfo, StationId station, std::function<void(const std::string &)> notice,
                    std::chrono::milliseconds timeout = std::chrono::seconds(3));

    // Granted: write the cable. Taken: the cable is N/G, `message` says why. Unreachable: write the cable,
    // checked locally only. Safe to call from several workers.
    ReserveResult Reserve(const std::string &serial, const std::string &localDate);
    // After the cable's read-back matched; a failure here is harmless (the cable's record confirms it).
    void Confirm(const std::string &serial);

private:
    std::mutex m_mutex;
    LineLedger m_server;
    StationId m_station;
    std::function<void(const std::string &)> m_notice;
    bool m_told = false;
    Clock::time_point m_retryAt{};  // while the server is away, cables do not each wait for its time-out
};

}  // namespace line
