#include "ReservingSerials.h"

#include <QDate>

namespace line {

std::string LocalDate() { return QDate::currentDate().toString(Qt::ISODate).toStdString(); }

ReservingSerials::ReservingSerials(SerialSource &base, std::unique_ptr<LineSerialCheck> check)
    : m_base(base), m_check(std::move(check)) {}

bool ReservingSerials::Begin(std::string *) { return true; }

std::optional<std::string> ReservingSerials::Take(std::string *error) {
    std::optional<std::string> number = m_base.Take(error);
    if (!number) return number;
    const ReserveResult r = m_check->Reserve(*number, LocalDate());
    if (r.outcome != Reservation::Taken) return number;
    m_base.GiveBack(*number);
    if (error) *error = r.message;
    return std::nullopt;
}

bool ReservingSerials::Keep(const std::string &serial, std::string *error) {
    if (!m_base.Keep(serial, error)) return false;
    m_check->Confirm(serial);
    return true;
}

void ReservingSerials::GiveBack(const std::string &serial) { m_base.GiveBack(serial); }

}  // namespace line
