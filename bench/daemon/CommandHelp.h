#pragma once
// The control commands' help texts, shared by the daemon (which runs the commands) and the control
// tool (which shows help without asking the daemon, so help works while the bench is not running).

#include <string>
#include <vector>

// The whole command list.
const std::string &BenchCommandsHelp();
// One command's help ("cable", "plug", "fault", ...); the command list for an unknown command.
const std::string &BenchCommandHelp(const std::string &command);
// True when the arguments ask for help rather than for the command.
bool WantsHelp(const std::vector<std::string> &args);
