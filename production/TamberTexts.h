#pragma once
// Tamber's string table. Every entry exists in English (United States) and Simplified Chinese as Qt
// Linguist tables compiled into the program; the system language picks one at start.

#include <QLocale>
#include <QString>

#include <string>

namespace production {

enum TextId : int {
    IDS_ABOUTBOX = 101,        // "&About %1..."
    IDS_ABOUT_CAPTION = 104,   // "About %1"
    IDS_PLUG_IN = 110,         // prompt while waiting for a cable
    IDS_UNPLUG = 116,          // prompt while a result shows
    IDS_INIT_DEVICE = 120,     // log step names end in a tab
    IDS_CHECK_CHIP = 121,
    IDS_VERIFY_CONFIG = 127,
    IDS_ATTENTION = 139,       // prompt window caption
    IDS_START = 141,
    IDS_CANCEL = 142,
    IDS_OK = 143,
    IDS_NOT_RECORDED = 150,        // log line: a result the ledger did not take
    IDS_LEDGER_NOT_WRITABLE = 151, // at start: "%1" is the file or folder this user cannot write (Linux)
    IDS_NO_BENCH = 152,            // at start: the bench daemon is not running
    IDS_LEDGER_NOT_WRITABLE_WINDOWS = 153, // the same on Windows, where the kit's installer gives the right
};

// The start-up text of this system: on Linux the kit's group gives the right to write the ledger, on
// Windows the kit's installer gives it to every user of the PC.
#ifdef _WIN32
inline constexpr TextId IDS_LEDGER_NOT_WRITABLE_HERE = IDS_LEDGER_NOT_WRITABLE_WINDOWS;
#else
inline constexpr TextId IDS_LEDGER_NOT_WRITABLE_HERE = IDS_LEDGER_NOT_WRITABLE;
#endif

// The entry in the current language; empty for an id the table does not hold.
QString LoadText(int id);
std::string LoadTextUtf8(int id);

enum class TableLanguage { English, SimplifiedChinese };

// zh_CN picks the Chinese table, every other locale the English one.
TableLanguage LanguageFor(const QLocale &locale);

// Installs the table for `locale` into the running application, replacing one installed before.
// Returns false when the compiled table cannot be loaded (the English texts then still show).
bool InstallTextTable(const QLocale &locale);

} // namespace production
