#pragma once
// <windows.h> and the device-manager headers, without the A/W macros whose names the Host interface
// uses for its own operations (the backend calls the A or W functions by their full names).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cfgmgr32.h>
#include <dbt.h>
#include <setupapi.h>
#include <winioctl.h>

#undef CreateEvent
#undef GetWindowsDirectory
#undef GetPrivateProfileString
#undef GetModuleFileName
// Host.h has a WAIT_FAILED of its own (a negative wait result).
#undef WAIT_FAILED
