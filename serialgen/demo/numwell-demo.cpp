// numwell-demo: checks a station the way the kit program uses the library. Loads libNumwell at run
// time, runs Initialize (station and date dialogs), then issues and saves N serial numbers and
// prints each with the caption.
//
//   numwell-demo [count]        count defaults to 3
//
// The library is looked for beside this program, then in its installation's library folder, then on
// the loader's usual path.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "NumwellLoader.h"
#include "ProgramOptions.h"

// The library's file name on this platform (the Windows build names Numwell.dll).
#ifndef NUMWELL_LIBRARY_FILE
#define NUMWELL_LIBRARY_FILE "libNumwell.so.1"
#endif

namespace {

// Where Numwell keeps the station and the counter, as --help says it.
#ifdef _WIN32
constexpr const char *kStoreHelp = "Store: the registry key HKLM\\Software\\Veltrona\\QT7730 MFG Kit (the kit's installer lets\n"
                                   "every user of this PC write it).\n";
#else
constexpr const char *kStoreHelp =
    "Store: $QT7730_SETTINGS_DB, else /var/lib/qt7730-mfg-kit/settings.db (group qt7730-mfg).\n";
#endif

// Beside the program (the build tree), then in the library folder of the prefix it is installed
// under (<prefix>/bin/../<libdir>), so an installation outside the loader's path finds its own copy.
std::string LibraryOfThisInstallation()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    for (const std::filesystem::path &candidate :
         {self.parent_path() / NUMWELL_LIBRARY_FILE, self.parent_path() / NUMWELL_DEMO_LIBDIR_FROM_BINDIR / NUMWELL_LIBRARY_FILE}) {
        if (std::filesystem::is_regular_file(candidate, error))
            return candidate.string();
    }
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    if (platform::AnswerVersionOrHelp(argc, argv, "numwell-demo",
                                      std::string("Usage: numwell-demo [COUNT]\n"
                                      "Issues COUNT serial numbers (default 3) through the Numwell library, as a kit program\n"
                                      "outside this kit would; asks the station and the date the first time (needs a display).\n") +
                                          kStoreHelp))
        return 0;
    long count = 3;
    if (argc > 2 || (argc == 2 && (count = std::strtol(argv[1], nullptr, 10)) <= 0)) {
        std::fprintf(stderr, "usage: numwell-demo [count]   (count: how many numbers to issue, default 3)\n");
        return 2;
    }

    std::string file = LibraryOfThisInstallation();
    if (file.empty())
        file = NUMWELL_LIBRARY_FILE;
    NumwellLoader numwell(file.c_str());
    if (!numwell.IsLoaded()) {
        std::fprintf(stderr, "numwell-demo: cannot load %s: %s\n", file.c_str(), numwell.Error().c_str());
        return 1;
    }

    alignas(CNumwellerator) unsigned char storage[sizeof(CNumwellerator)];
    CNumwellerator &generator = numwell.Construct(storage);
    if (!numwell.Initialize(generator)) {
        std::fprintf(stderr, "numwell-demo: Initialize failed (cancelled, settings key not writable, "
                                      "date before the last issued one, or no display)\n");
        return 1;
    }
    std::printf("last saved: %s\n", numwell.GetSN(generator));
    for (long i = 0; i < count; ++i) {
        numwell.IncreaseSN(generator);
        if (!numwell.Save(generator)) {
            std::fprintf(stderr, "numwell-demo: Save failed for %s; it is not spent\n", numwell.GetSN(generator));
            return 1;
        }
        std::printf("%s  [%s]\n", numwell.GetSN(generator), numwell.GetTitle(generator));
    }
    return 0;
}
