// mfgkit: the line's command-line programmer and tester. See `mfgkit --help`.

#include "HostMachine.h"
#include "Mfgkit.h"
#include "ProgramOptions.h"

#include <string>
#include <vector>

#include <unistd.h>

int main(int argc, char **argv)
{
    if (platform::AnswerVersion(argc, argv, "mfgkit"))
        return 0;
    production::KeepTransferBuffersInHeap();
    std::vector<std::string> args(argv + 1, argv + argc);
    line::MfgkitEnv env;
    env.terminal = ::isatty(STDOUT_FILENO) == 1;
    return line::RunMfgkit(args, env);
}
