#pragma once
// Runs a command line through the shell and returns its exit status and standard output.

#include <cstdio>
#include <string>

#include <sys/wait.h>

struct CommandResult {
    int status = -1;
    std::string out;
};

inline CommandResult RunCommand(const std::string &commandLine)
{
    CommandResult result;
    std::FILE *pipe = popen(commandLine.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, got);
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}
