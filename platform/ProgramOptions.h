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
bool AnswerHelp(int argc, char **argv, const std::string &help);

// Both of the above: true when --version or --help was answered (the program then exits with 0).
bool AnswerVersionOrHelp(int argc, char **argv, const char *program, const std::string &help);

// The environment and groups Quillon and Tamber use, as their --help ends.
#ifdef _WIN32
inline constexpr const char *kWindowedProgramEnvironment =
    "Environment:\n"
    "  QT7730_LEDGER_DB    the station's ledger (default %ProgramData%\\QT7730 MFG Kit\\ledger.db)\n"
    "Numwell's station number and counter are kept under HKLM\\Software\\Veltrona\\QT7730 MFG Kit.\n"
    "The kit's installer lets every user of this PC write the ledger's folder and that key.\n";
#else
inline constexpr const char *kWindowedProgramEnvironment =
    "Environment:\n"
    "  QT7730_HOST         sim (the default: this user's virtual bench) or usb (this PC's USB devices)\n"
    "  VBENCH_HOME         the bench's home (default ~/.local/state/qt7730-vbench)\n"
    "  QT7730_LEDGER_DB    the station's ledger (default /var/lib/qt7730-mfg-kit/ledger.db)\n"
    "  QT7730_SETTINGS_DB  Numwell's settings store (default /var/lib/qt7730-mfg-kit/settings.db)\n"
    "  QT7730_DATA_DIR     the kit's data folder with INF/qt7730.inf (default: the station's,\n"
    "                      /var/lib/qt7730-mfg-kit, made from /usr/share/qt7730-mfg-kit)\n"
    "  QT7730_INF_NAME     another INF file name in that folder (with QT7730_HOST=usb)\n"
    "  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM  where the window shows\n"
    "Groups: qt7730-mfg (writes the store, the ledger and the INF), plugdev (USB cables, QT7730_HOST=usb).\n";
#endif

// Whether a window can be shown: a Qt platform that needs no display (offscreen, minimal), or a
// Wayland or X display whose socket answers. Asking the toolkit instead would abort the process when
// the display is named but gone. False with a sentence in `why`.
bool DisplayReachable(std::string *why = nullptr);

// For the windowed programs: when no display is named (DISPLAY, WAYLAND_DISPLAY or a platform in
// QT_QPA_PLATFORM), says so in a sentence on standard error and returns true: the program then exits
// with status 2 instead of letting the toolkit abort. The same when the display named cannot be reached.
bool SayNoDisplay(const char *program);

} // namespace platform
