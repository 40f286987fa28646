#pragma once
// Serial numbers unique across the line: before a number goes into a cable, the station reserves it on
// the line server. A number another station holds is refused; without the server the station goes on
// with its own checks and says so once.

#include "LineLedger.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

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
    // A run's numbers at once, for the station ledger `ledgerId`: per number "" to write it, else why not.
    // Without the server every number is written, checked locally only (said once).
    std::vector<std::string> Lease(const std::vector<std::string> &serials, const std::string &localDate,
                                   const std::string &ledgerId);
    // After the cable's read-back matched; a failure here is harmless (the cable's record confirms it).
    void Confirm(const std::string &serial);
    // The cable failed: the number stays void on the line too (best effort, as Confirm).
    void Void(const std::string &serial, const std::string &reason);

private:
    // The operator's one message of the run (with m_mutex held).
    void Tell(const std::string &message);
    void WentAway(const std::string &message);

    std::mutex m_mutex;
    LineLedger m_server;
    StationId m_station;
    std::function<void(const std::string &)> m_notice;
    bool m_told = false;
    Clock::time_point m_retryAt{};  // while the server is away, cables do not each wait for its time-out
};

}  // namespace line
