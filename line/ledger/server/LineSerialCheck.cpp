#include "LineSerialCheck.h"

namespace line {

namespace {
constexpr auto kRetryAfter = std::chrono::seconds(10);
}

LineSerialCheck::LineSerialCheck(std::string conninfo, StationId station,
                                 std::function<void(const std::string &)> notice, std::chrono::milliseconds timeout)
    : m_server(std::move(conninfo), timeout), m_station(std::move(station)), m_notice(std::move(notice)) {}

ReserveResult LineSerialCheck::Reserve(const std::string &serial, const std::string &localDate) {
    std::lock_guard lock(m_mutex);
    ReserveResult r;
    if (Clock::now() < m_retryAt) {
        r.message = "line server not reachable";
        return r;
    }
    r = m_server.Reserve(serial, m_station, localDate);
    if (r.outcome == Reservation::Unreachable) {
        m_retryAt = Clock::now() + kRetryAfter;
        m_server.Close();
        if (!m_told && m_notice)
            m_notice(r.message + "; serial numbers are checked on this station only until it is back");
        m_told = true;
    }
    return r;
}

void LineSerialCheck::Confirm(const std::string &serial) {
    std::lock_guard lock(m_mutex);
    if (Clock::now() < m_retryAt) return;
    m_server.Confirm(serial, m_station);
}

}  // namespace line
