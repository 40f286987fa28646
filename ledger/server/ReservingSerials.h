#pragma once
// A serial source whose numbers are leased on the line server before the programmer may write them.
// The station's own source spends the numbers first (its counter saved past them); the line then
// grants each or names its holder, and a refused number is void: that cable is not written. Without
// the server, numbers are written as the station's own source formed them, checked locally only.

#include "LineSerialCheck.h"
#include "SerialSource.h"

#include <memory>

namespace line {

class ReservingSerials final : public SerialSource {
public:
    // `base` must have begun; `check` names the station as the base source serves it; `ledgerId` is the
    // station ledger's instance id.
    ReservingSerials(SerialSource &base, std::unique_ptr<LineSerialCheck> check, std::string ledgerId);

    bool Begin(std::string *error) override;
    std::optional<std::vector<std::string>> Spend(std::size_t count, std::string *error) override;
    std::vector<std::string> Lease(const std::vector<std::string> &numbers) override;
    void Confirm(const std::string &serial) override;
    void Void(const std::string &serial, const std::string &reason) override;
    int Station() const override { return m_base.Station(); }

private:
    SerialSource &m_base;
    std::unique_ptr<LineSerialCheck> m_check;
    std::string m_ledgerId;
};

// The station's local date as the serials carry it, YYYY-MM-DD.
std::string LocalDate();

}  // namespace line
