#pragma once
// Serial numbers from Numwell, used as any outside caller uses it: the library bound at run time
// through its published header, loaded by the platform's loader (LoadLibrary on Windows). Initialize (Begin) shows Numwell's station and date dialogs, so it
// needs a display. Spend is IncreaseSN once per number, then one Save past the last of them.

#ifndef NUMWELL_LOADER_NO_DLFCN
#define NUMWELL_LOADER_NO_DLFCN
#endif
#include "NumwellLoader.h"
#include "Os.h"
#include "SerialSource.h"

#include <memory>
#include <string>
#include <vector>

namespace line {

class NumwellSerials : public SerialSource {
public:
    // `library`: the file to load; empty looks beside the running program (and in the build tree's
    // serialgen/), then on the loader's path.
    explicit NumwellSerials(std::string library = {});
    ~NumwellSerials() override;

    bool Begin(std::string *error) override;
    std::optional<std::vector<std::string>> Spend(std::size_t count, std::string *error) override;
    int Station() const override { return m_station; }

private:
    struct State {
        alignas(CNumwellerator) unsigned char bytes[sizeof(CNumwellerator)];
    };
    CNumwellerator &Object(State &s) { return *reinterpret_cast<CNumwellerator *>(s.bytes); }

    std::string m_library;
    std::unique_ptr<BasicNumwellLoader<platform::SharedLibrary>> m_loader;
    State m_generator{};
    bool m_broken = false; // a save failed: what the object holds may be ahead of the store
    int m_station = -1;
};

} // namespace line
