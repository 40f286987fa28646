#pragma once
// The few POSIX dynamic-loading calls the kit's run-time binders use (dlopen, dlsym, dlclose,
// dlerror), over LoadLibrary and GetProcAddress, for the Windows build. Symbol names are the
// same: the mingw-w64 compiler exports C++ functions under their Itanium names.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

#define RTLD_LAZY 0x1
#define RTLD_NOW 0x2
#define RTLD_LOCAL 0x0
#define RTLD_GLOBAL 0x100

namespace kit_dlfcn {
inline thread_local char g_error[512];
inline thread_local bool g_hasError = false;

inline void Remember(const char *what)
{
    std::snprintf(g_error, sizeof g_error, "%s (Windows error %lu)", what, static_cast<unsigned long>(GetLastError()));
    g_hasError = true;
}
} // namespace kit_dlfcn

inline void *dlopen(const char *file, int)
{
    HMODULE module = file ? LoadLibraryA(file) : GetModuleHandleA(nullptr);
    if (!module)
        kit_dlfcn::Remember("cannot load the library");
    return reinterpret_cast<void *>(module);
}

inline void *dlsym(void *handle, const char *symbol)
{
    FARPROC address = GetProcAddress(static_cast<HMODULE>(handle), symbol);
    if (!address)
        kit_dlfcn::Remember("no such symbol");
    return reinterpret_cast<void *>(address);
}

inline int dlclose(void *handle) { return FreeLibrary(static_cast<HMODULE>(handle)) ? 0 : -1; }

inline char *dlerror()
{
    if (!kit_dlfcn::g_hasError)
        return nullptr;
    kit_dlfcn::g_hasError = false;
    return kit_dlfcn::g_error;
}
