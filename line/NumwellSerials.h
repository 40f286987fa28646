#pragma once
// Serial numbers from Numwell, used as any outside caller uses it: the library bound at run time
// through its published header. Initialize (Begin) shows Numwell's station and date dialogs, so it
// needs a display. Take is IncreaseSN, Keep is Save; a number given back is taken again by restoring
// the generator to the state it had before that IncreaseSN (the class copies by value).

#include "NumwellLoader.h"
#include "SerialSource.h"

#include <memory>
#include <string>
#include <vector>

namespace line {

class NumwellSerials : public SerialSource {
public:
    // `library`: the file to load; empty looks beside the running program, then on the loader's path.
    explicit NumwellSerials(std::string library = {});
    ~NumwellSerials() override;

    bool Begin(std::string *error) override;
    std::optional<std::string> Take(std::string *error) override;
    bool Keep(const std::string &serial, std::string *error) override;
    void GiveBack(const std::string &serial) override;
    int Station() const override { return m_station; }

    // Whether a window can be shown here (a display, or a Qt platform chosen explicitly).
    static bool DisplayAvailable();

private:
    struct State {
        alignas(CNumwellerator) unsigned char bytes[sizeof(CNumwellerator)];
    };
    CNumwellerator &Object(State &s) { return *reinterpret_cast<CNumwellerator *>(s.bytes); }

    std::string m_library;
    std::unique_ptr<NumwellLoader> m_loader;
    State m_generator{};
    // m_states[k]: the generator as it was before the k-th number still out was taken; the numbers
    // still out, oldest first.
    std::vector<State> m_before;
    std::vector<std::string> m_out;
    int m_station = -1;
};

} // namespace line
