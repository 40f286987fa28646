#pragma once
// Where the kit's own data lives on this machine (the driver INF on Linux).
//
// KitDataDirectory(): what came with the programs, read only: the directory named by QT7730_DATA_DIR
// when set; else <directory of the program>/../share/qt7730-mfg-kit when it exists (an installed kit,
// and the build tree, which keeps a copy at the same place); else the build tree's copy of the source
// it was built from (a development build) or the installed location (a build for the packages).
//
// StationDataDirectory(): where the programs read and write that data. For a kit installed in /usr
// it is the station's data folder, which every operator of the station may write and which upgrades
// never touch: its INF/qt7730.inf is made from the package's copy when missing, and lines a newer
// package's copy brings are added to it. Everywhere else it is KitDataDirectory().

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

// The station's data folder: the settings store, the ledger and the writable driver INF.
inline constexpr const char *kStationDataFolder = "/var/lib/qt7730-mfg-kit";

std::filesystem::path KitDataDirectory();
std::filesystem::path StationDataDirectory();

// Brings the station's INF up to date with the package's: made from it when missing; a line of the
// package's copy that the station's section lacks is added at the end of that section (a section it
// lacks at the end of the file). Lines already there, and every line the station added, stay as they
// are. False with a sentence in `error` when the station's copy cannot be made or written.
bool MergeDefaultInf(const std::filesystem::path &packageInf, const std::filesystem::path &stationInf,
                     std::string *error);
// The merge itself, on the texts: the station's text with the package's missing lines added, or
// nullopt when nothing is missing.
std::optional<std::string> MergedInfText(const std::string &package, const std::string &station);

} // namespace platform
