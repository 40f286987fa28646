#include "LineSerialCheck.h"

namespace line {

namespace {
constexpr auto kRetryAfter = std::chrono::seconds(10);
}

LineSerialCheck::LineSerialCheck(std::string conninfo, StationId station,
                                 std::function<void(const std::string &)> notice, std::chrono::milliseconds timeout)
    : m_server(std::move(conninfo), timeout), m_station(std::move(station)), m_notice(std::move(notice)) {}

void LineSerialCheck::Tell(const std::string &message) {
    if (!m_told && m_notice) m_notice(message);
    m_told = true;
}

void LineSerialCheck::WentAway(const std::string &message) {
    // While the server is away, cables do not each wait for its time-out.
    m_retryAt = Clock::now() + kRetryAfter;
    m_server.Close();
    Tell(message + "; serial numbers are checked on this station only until it is back");
}

ReserveResult LineSerialCheck::Reserve(const std::string &serial, const std::string &localDate) {
    std::lock_guard lock(m_mutex);
    ReserveResult r;
    if (Clock::now() < m_retryAt) {
        r.message = "line server not reachable";
        return r;
    }
    r = m_server.Reserve(serial, m_station, localDate);
    if (r.outcome == Reservation::Unreachable) WentAway(r.message);
    return r;
}

std::vector<std::string> LineSerialCheck::Lease(const std::vector<std::string> &serials, const std::string &localDate,
                                                const std::string &ledgerId) {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> refusals(serials.size());
    if (Clock::now() < m_retryAt) return refusals;
    const std::vector<ReserveResult> results = m_server.ReserveBlock(serials, m_station, ledgerId, localDate);
    for (std::size_t i = 0; i < results.size() && i < serials.size(); ++i) {
        const ReserveResult &r = results[i];
        if (r.outcome == Reservation::Unreachable) {
            WentAway(r.message);
            return std::vector<std::string>(serials.size());
        }
        if (r.outcome == Reservation::StationInUse) {
            Tell(r.message);
            return std::vector<std::string>(serials.size(), r.message);
        }
        if (r.outcome == Reservation::Taken) refusals[i] = r.message;
    }
    return refusals;
}

void LineSerialCheck::Void(const std::string &serial, const std::string &reason) {
    std::lock_guard lock(m_mutex);
    if (Clock::now() < m_retryAt) return;
    m_server.Void(serial, m_station, reason);
}

void LineSerialCheck::Confirm(const std::string &serial) {
    std::lock_guard lock(m_mutex);
    if (Clock::now() < m_retryAt) return;
    m_server.Confirm(serial, m_station);
}

}  // namespace line
