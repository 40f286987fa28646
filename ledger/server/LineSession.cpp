#include "LineSession.h"

#include "LineCommands.h"

#include <algorithm>

namespace line {

LineSession::LineSession(Say say, StationId station, const std::string &ledgerPath)
    : m_say(std::move(say)), m_station(station), m_ledgerPath(ledgerPath) {
    const LineTarget target = LineTargetFromEnvironment();
    m_error = target.error;
    if (!target.conninfo) return;
    m_conninfo = *target.conninfo;
    m_check = std::make_unique<LineSerialCheck>(*target.conninfo, std::move(station), m_say);
    m_sender = std::make_unique<OutboxSender>(std::make_unique<SqliteOutbox>(ledgerPath), *target.conninfo);
}

LineSession::~LineSession() = default;

ReserveResult LineSession::Reserve(const std::string &serial, const std::string &localDate) {
    if (!m_check) return {Reservation::Granted, {}, {}};
    return m_check->Reserve(serial, localDate);
}

std::optional<LineLedger::SerialState> LineSession::SerialOnLine(const std::string &serial) {
    if (m_conninfo.empty()) return std::nullopt;
    if (!m_lookup) m_lookup = std::make_unique<LineLedger>(m_conninfo, std::chrono::seconds(3));
    if (m_lookupFailed) return std::nullopt;
    auto st = m_lookup->SerialOnLine(serial);
    if (!st) {
        m_lookupFailed = true;  // one time-out per run, not one per cable
        if (m_say) m_say(m_lookup->Error() + "; serial numbers are checked against this station's ledger only");
    }
    return st;
}

SerialSource &LineSession::Reserving(SerialSource &base, const std::string &ledgerId) {
    if (!m_sender) return base;
    StationId station = m_station;
    if (base.Station() >= 0) station.number = base.Station();
    m_reserving = std::make_unique<ReservingSerials>(base, std::make_unique<LineSerialCheck>(m_conninfo, station, m_say), ledgerId);
    return *m_reserving;
}

void LineSession::Confirm(const std::string &serial) {
    if (m_check) m_check->Confirm(serial);
}

bool LineSession::Appended(bool stored) {
    if (m_sender && stored) m_sender->Wake();
    return stored;
}

bool LineSession::Finish(std::chrono::milliseconds timeout) {
    if (!m_sender) return true;
    // No waiting on a server that has just failed the sender: the records are safe in the outbox.
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (m_sender->Drain(std::min(left, std::chrono::milliseconds(100)))) return true;
        if (left.count() <= 100 || !m_sender->Status().lastError.empty()) break;
    }
    const SenderStatus st = m_sender->Status();
    const std::int64_t waiting = SqliteOutbox(m_ledgerPath).Waiting();
    if (m_say)
        m_say((waiting >= 0 ? std::to_string(waiting) : std::string("some")) +
              " record(s) wait in this station's outbox for the line server" +
              (st.lastError.empty() ? std::string() : " (" + st.lastError + ")") +
              "; they go with the next run or 'mfgkit ledger push'");
    return false;
}

}  // namespace line
