#pragma once
// A serial source that reserves each number on the line server before the programmer may write it.
// A number another station holds is not handed out: Take fails for that cable with the holder named,
// and the number goes back to the station's own source (which forms it again for the next cable, so a
// station set to a duplicate station number keeps being refused until its number is corrected).
// Without the server, numbers are handed out as the station's own source forms them.

#include "LineSerialCheck.h"
#include "SerialSource.h"

#include <memory>

namespace line {

class ReservingSerials final : public SerialSource {
public:
    // `base` must have begun; `check` names the station as the base source serves it.
    ReservingSerials(SerialSource &base, std::unique_ptr<LineSerialCheck> check);

    bool Begin(std::string *error) override;
    std::optional<std::string> Take(std::string *error) override;
    bool Keep(const std::string &serial, std::string *error) override;
    void GiveBack(const std::string &serial) override;
    int Station() const override { return m_base.Station(); }

private:
    SerialSource &m_base;
    std::unique_ptr<LineSerialCheck> m_check;
};

// The station's local date as the serials carry it, YYYY-MM-DD.
std::string LocalDate();

}  // namespace line
