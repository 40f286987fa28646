#pragma once
// Where the bench daemon keeps its files (socket, state, the PC's system directory with INF\), shared
// by the daemon, its control tool and the programs' socket backend: $VBENCH_HOME, otherwise a folder
// of the user's own.

#include <string>
#include <vector>

namespace benchwire {

std::string BenchHome();
inline std::string BenchSocketPath(const std::string &home) { return home + "/vbench.sock"; }
inline std::string BenchStatePath(const std::string &home) { return home + "/state.json"; }
inline std::string BenchSystemDirectory(const std::string &home) { return home + "/system"; }
inline std::string BenchLogPath(const std::string &home) { return home + "/vbenchd.log"; }

// One control command to a running daemon. False when no daemon answers (then `output` says so).
bool RunControlCommand(const std::string &socketPath, const std::vector<std::string> &args, int &status,
                       std::string &output);

} // namespace benchwire
