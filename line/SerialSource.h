#pragma once
// Where the serial numbers of `mfgkit program --serial numwell` come from. The programmer asks for a
// number before it writes a cable, keeps it once the cable read back right, and gives it back when
// the cable failed, so a failed cable never spends a number.
//
// Contract, which every source may rely on:
// - Begin once, on the thread that owns the program's windows, before any cable is touched; every
//   other call comes from that same thread.
// - Take hands out numbers in order. GiveBack always returns the newest number still out, and the next
//   Take hands it out again. Keep always spends the oldest number still out, and only once it returns
//   true is the number spent for good (durably).

#include <optional>
#include <string>

namespace line {

class SerialSource {
public:
    virtual ~SerialSource() = default;
    virtual bool Begin(std::string *error) = 0;
    virtual std::optional<std::string> Take(std::string *error) = 0;
    virtual bool Keep(const std::string &serial, std::string *error) = 0;
    virtual void GiveBack(const std::string &serial) = 0;
    // The station number the source serves (-1 when it does not know one).
    virtual int Station() const { return -1; }
};

} // namespace line
