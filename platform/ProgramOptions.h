#pragma once
// The options every program of the kit answers the same way, before anything else starts (no
// display, no bench daemon, no settings store needed): --version and --help.

#include <string>

namespace platform {

// The kit's version, "1.3.0.0".
const char *KitVersion();

// When the only argument is --version, prints "<program> <version>" on standard output and returns
// true; the program then exits with status 0.
bool AnswerVersion(int argc, char **argv, const char *program);

// When the only argument is --help or -h, prints `help` on standard output and returns true.
bool AnswerHelp(int argc, char **argv, const char *help);

// Whether a window can be shown: a Qt platform that needs no display (offscreen, minimal), or a
// Wayland or X display whose socket answers. Asking the toolkit instead would abort the process when
// the display is named but gone. False with a sentence in `why`.
bool DisplayReachable(std::string *why = nullptr);

// For the windowed programs: when no display is named (DISPLAY, WAYLAND_DISPLAY or a platform in
// QT_QPA_PLATFORM), says so in a sentence on standard error and returns true: the program then exits
// with status 2 instead of letting the toolkit abort. The same when the display named cannot be reached.
bool SayNoDisplay(const char *program);

} // namespace platform
