#include "ReservingSerials.h"

#include <QDate>

namespace line {

std::string LocalDate() { return QDate::currentDate().toString(Qt::ISODate).toStdString(); }

ReservingSerials::ReservingSerials(SerialSource &base, std::unique_ptr<LineSerialCheck> check, std::string ledgerId)
    : m_base(base), m_check(std::move(check)), m_ledgerId(std::move(ledgerId)) {}

bool ReservingSerials::Begin(std::string *) { return true; }

std::optional<std::vector<std::string>> ReservingSerials::Spend(std::size_t count, std::string *error) {
    return m_base.Spend(count, error);
}

std::vector<std::string> ReservingSerials::Lease(const std::vector<std::string> &numbers) {
    return m_check->Lease(numbers, LocalDate(), m_ledgerId);
}

void ReservingSerials::Confirm(const std::string &serial) { m_check->Confirm(serial); }

void ReservingSerials::Void(const std::string &serial, const std::string &reason) { m_check->Void(serial, reason); }

}  // namespace line
