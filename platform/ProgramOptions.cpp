#include "ProgramOptions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

bool OnlyArgument(int argc, char **argv, const char *a, const char *b = nullptr)
{
    return argc == 2 && (!std::strcmp(argv[1], a) || (b && !std::strcmp(argv[1], b)));
}

#ifndef _WIN32
bool Set(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value;
}
#endif

} // namespace

const char *KitVersion()
{
    return KIT_VERSION;
}

bool AnswerVersion(int argc, char **argv, const char *program)
{
    if (!OnlyArgument(argc, argv, "--version"))
        return false;
    std::printf("%s %s\n", program, KitVersion());
    return true;
}

bool AnswerHelp(int argc, char **argv, const char *help)
{
    if (!OnlyArgument(argc, argv, "--help", "-h"))
        return false;
    std::fputs(help, stdout);
    return true;
}

bool SayNoDisplay(const char *program)
{
#ifdef _WIN32
    (void)program;
    return false; // Windows always has its desktop
#else
    if (Set("DISPLAY") || Set("WAYLAND_DISPLAY") || Set("QT_QPA_PLATFORM"))
        return false;
    std::fprintf(stderr,
                 "%s: there is no display to show its window on (DISPLAY is not set). Start it from the "
                 "station's desktop, or in a terminal of that desktop.\n",
                 program);
    return true;
#endif
}

} // namespace platform
