#pragma once
// Where the serial numbers of `mfgkit program --serial numwell` come from. A number is spent the
// moment it is handed out: the source saves its counter past the whole run's numbers before any cable
// is written, so a crash, a failed cable or a second run can never make it hand one out again. Gaps
// are normal (a failed cable's number is void); a duplicate never is.
//
// Contract, which every source may rely on: Begin once, on the thread that owns the program's windows,
// before any cable is touched; every other call comes from that same thread.

#include <optional>
#include <string>
#include <vector>

namespace line {

class SerialSource {
public:
    virtual ~SerialSource() = default;
    virtual bool Begin(std::string *error) = 0;
    // The next `count` numbers, in order, with the counter durably saved past them. nullopt (with
    // `error`) when the counter could not be saved: then none of them may be used.
    virtual std::optional<std::vector<std::string>> Spend(std::size_t count, std::string *error) = 0;
    // Line-wide lease of numbers just spent: for each, "" when this station may write it, else why not.
    virtual std::vector<std::string> Lease(const std::vector<std::string> &numbers)
    {
        return std::vector<std::string>(numbers.size());
    }
    // How a leased number ended; said to the line where there is one.
    virtual void Confirm(const std::string &) {}
    virtual void Void(const std::string &, const std::string &) {}
    // The station number the source serves (-1 when it does not know one).
    virtual int Station() const { return -1; }
};

} // namespace line
