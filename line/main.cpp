// mfgkit: the line's command-line programmer and tester. See `mfgkit --help`.

#include "HostMachine.h"
#include "Mfgkit.h"
#include "Os.h"
#include "ProgramOptions.h"

#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (platform::AnswerVersion(argc, argv, "mfgkit"))
        return 0;
    platform::WriteStdoutAsIs(); // the CSV and JSON the same bytes on every system
    production::KeepTransferBuffersInHeap();
    std::vector<std::string> args(argv + 1, argv + argc);
    line::MfgkitEnv env;
    env.terminal = platform::StdoutIsTerminal();
    return line::RunMfgkit(args, env);
}
