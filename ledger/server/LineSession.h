#pragma once
// What one run of a station's program needs of the line: the outbox sender running beside it, and
// serial reservations. Does nothing at all when QT7730_LEDGER names no line server.
//
//   line::LineSession line(say, line::StationId{station, host});  // after Numwell knows the station
//   auto r = line.Reserve(serial, localDate);   // before the cable is written, or:
//   plan.serials = &line.Reserving(*plan.serials);
//   ledger.Append(record); line.Appended();     // after each durable append
//   line.Confirm(serial);                       // after the read-back matched
//   line.Finish(std::chrono::seconds(3));       // at the end: a bounded wait, then the outbox keeps the rest

#include "LineSerialCheck.h"
#include "OutboxSender.h"
#include "ReservingSerials.h"

#include <functional>
#include <memory>
#include <string>

namespace line {

class LineSession {
public:
    using Say = std::function<void(const std::string &)>;
    // `say` gets the messages for the operator (one line each). `ledgerPath`: the station's ledger.
    LineSession(Say say, StationId station, const std::string &ledgerPath);
    ~LineSession();

    bool Active() const { return m_sender != nullptr; }
    // A QT7730_LEDGER that is no connection string: the caller treats it as a usage error.
    const std::string &Error() const { return m_error; }

    ReserveResult Reserve(const std::string &serial, const std::string &localDate);
    // `base` (begun) with its numbers leased on the line server for the station ledger `ledgerId`
    // before they are written; `base` itself without a server. The result lives as long as this session.
    SerialSource &Reserving(SerialSource &base, const std::string &ledgerId);
    // The serial's standing on the line: nullopt without a server or when it cannot be reached.
    std::optional<LineLedger::SerialState> SerialOnLine(const std::string &serial);
    void Confirm(const std::string &serial);
    // After an append: `stored` says whether the record was stored; passed through.
    bool Appended(bool stored = true);
    // True when the outbox is empty; otherwise says how many records wait for the server.
    bool Finish(std::chrono::milliseconds timeout);

private:
    Say m_say;
    StationId m_station;
    std::string m_conninfo;
    std::unique_ptr<ReservingSerials> m_reserving;
    std::string m_error;
    std::string m_ledgerPath;
    std::unique_ptr<LineSerialCheck> m_check;
    std::unique_ptr<OutboxSender> m_sender;
    std::unique_ptr<LineLedger> m_lookup;
    bool m_lookupFailed = false;
};

}  // namespace line
