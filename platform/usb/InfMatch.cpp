// qt7730-inf-match VID PID: answers udev whether a USB device's vendor and product ID (hex, as udev's
// $attr{idVendor} $attr{idProduct} give them) are a model line of the kit's driver INF, the one the
// kit's USB backend binds by. Exit status 0: listed (the kit's udev rule then gives the operators'
// group access), 1: not listed, 2: bad arguments. It only reads: the station's INF, and the
// package's copy (whose IDs the station's copy gets at first use); QT7730_DATA_DIR (and
// QT7730_INF_NAME) name another INF, as for the programs.

#include "DataDirectory.h"
#include "IniText.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool ParseId(const char *text, unsigned &id)
{
    const std::string s = text;
    if (s.empty() || s.size() > 4 || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    id = unsigned(std::stoul(s, nullptr, 16));
    return true;
}

bool Listed(const std::filesystem::path &inf, const std::string &hardwareId)
{
    std::ifstream in(inf, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    return pcmodel::InfListsModel(text.str(), hardwareId, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    unsigned vid = 0, pid = 0;
    if (argc != 3 || !ParseId(argv[1], vid) || !ParseId(argv[2], pid)) {
        std::fprintf(stderr, "usage: qt7730-inf-match VID PID  (four hex digits each)\n");
        return 2;
    }
    char hardwareId[32];
    std::snprintf(hardwareId, sizeof hardwareId, "USB\\VID_%04X&PID_%04X", vid, pid);
    const char *infName = std::getenv("QT7730_INF_NAME");
    const std::string name = infName && *infName ? infName : "qt7730.inf";
    std::vector<std::filesystem::path> infs;
    if (const char *dir = std::getenv("QT7730_DATA_DIR"); dir && *dir) {
        infs.push_back(std::filesystem::path(dir) / "INF" / name);
    } else {
        infs.push_back(std::filesystem::path(platform::kStationDataFolder) / "INF" / name);
        infs.push_back(platform::KitDataDirectory() / "INF" / name);
    }
    for (const auto &inf : infs)
        if (Listed(inf, hardwareId))
            return 0;
    return 1;
}
