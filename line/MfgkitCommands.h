#pragma once
// mfgkit's commands behind its command line (Mfgkit.cpp dispatches to them): the context of one call,
// the few helpers every command uses for its texts, and each command's entry. Private to line/.

#include "Host.h"
#include "LineSession.h"
#include "Mfgkit.h"

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace line::mfgkit {

// At the end of a run, the records not yet on the line's server get this long; then they wait in the
// outbox for the next run (or `mfgkit ledger push`).
constexpr std::chrono::seconds kLineDrain{3};

struct Context {
    MfgkitEnv &env;
    platform::Host &host;
    std::ostream &out;
    std::ostream &err;
    bool jsonPrinted = false; // the run's JSON document is out
};

// The line server's messages for the operator, on the run's thread.
inline LineSession::Say SayTo(Context &c)
{
    return [&c](const std::string &message) { c.err << "mfgkit: " << message << "\n"; };
}

inline int Usage(Context &c, const std::string &message, const char *help)
{
    c.err << "mfgkit: " << message << "\n\n" << help;
    return kExitUsage;
}

inline bool WantsHelp(const std::vector<std::string> &args)
{
    for (const std::string &a : args)
        if (a == "--help" || a == "-h")
            return true;
    return false;
}

inline std::string Pad(const std::string &text, std::size_t width)
{
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// "Nothing found", with what the Host advises (start the bench; a side this user may not open).
inline std::string NoDevice(Context &c, const std::string &what)
{
    const std::string advice = c.host.NoDeviceAdvice();
    return "mfgkit: " + what + (advice.empty() ? "" : " (" + advice + ")") + "\n";
}

// The commands: `args` are the arguments after the command's name; each returns the exit status.
int Scan(Context &c, const std::vector<std::string> &args);
int Walk(Context &c, const std::vector<std::string> &args);
int Program(Context &c, const std::vector<std::string> &args);
int Test(Context &c, const std::vector<std::string> &args);
int Records(Context &c, const std::vector<std::string> &args);
int Report(Context &c, const std::vector<std::string> &args);

} // namespace line::mfgkit
