#pragma once
// A test or benchmark program whose devices live in umockdev's emulated usbfs: the preload library
// must be in the process from its start, so the program starts itself again with it when it is not.

#include <cstdlib>
#include <cstring>

#include <unistd.h>

// Returns when the preload is in place; otherwise replaces the process (false only when that failed).
inline bool EnsureUmockdevPreload(char **argv)
{
    const char *preload = std::getenv("LD_PRELOAD");
    if (preload && std::strstr(preload, "libumockdev-preload"))
        return true;
    ::setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
    ::execv("/proc/self/exe", argv);
    return false;
}
