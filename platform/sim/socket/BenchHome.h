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
inline std::string BenchLockPath(const std::string &home) { return home + "/vbenchd.lock"; }

// A home is used only when it is a directory of this user that no one else may write: otherwise
// another user could swap its files for links or put a listener of their own at the socket's path.
// False with `error` saying what is wrong and what to do.
bool CheckBenchHome(const std::string &home, std::string &error);
// Creates a missing home (owner-only; missing parents as usual), then checks it. An existing
// directory's mode is never changed.
bool PrepareBenchHome(const std::string &home, std::string &error);

// How long the control tool waits for the daemon's answer to one command.
inline constexpr int kControlTimeoutMs = 5000;
// The most arguments one control command may carry.
inline constexpr std::size_t kMaxControlArgs = 256;

// One control command to a running daemon. False when no daemon answers in time (then `output`
// says so); a daemon that refuses the connection answers with status 1 and its reason.
bool RunControlCommand(const std::string &socketPath, const std::vector<std::string> &args, int &status,
                       std::string &output, int timeoutMs = kControlTimeoutMs);

} // namespace benchwire
