#include "DataDirectory.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include "SharedFiles.h"
#include <cstdio>
#endif

namespace platform {
namespace {

#ifndef _WIN32
constexpr const char *kPackageDataDirectory = "/usr/share/qt7730-mfg-kit";
constexpr const char *kInfName = "qt7730.inf";

bool ReadText(const std::filesystem::path &file, std::string &text)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return !in.bad();
}
#endif

std::string Trimmed(const std::string &line)
{
    const auto begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    return line.substr(begin, line.find_last_not_of(" \t\r") - begin + 1);
}

bool IsSection(const std::string &trimmed) { return trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']'; }

struct InfLine {
    std::string text;    // as in the file, without its line end
    std::string section; // the section it is in ("" before the first)
};

std::vector<InfLine> SplitInf(const std::string &text, bool &crlf)
{
    std::vector<InfLine> lines;
    std::string section;
    std::istringstream in(text);
    crlf = text.find("\r\n") != std::string::npos;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string trimmed = Trimmed(line);
        if (IsSection(trimmed))
            section = trimmed;
        lines.push_back({line, section});
    }
    return lines;
}

} // namespace

std::optional<std::string> MergedInfText(const std::string &package, const std::string &station)
{
    bool crlf = false;
    bool packageCrlf = false;
    std::vector<InfLine> merged = SplitInf(station, crlf);
    bool changed = false;
    for (const InfLine &line : SplitInf(package, packageCrlf)) {
        const std::string trimmed = Trimmed(line.text);
        if (trimmed.empty() || trimmed.front() == ';' || IsSection(trimmed))
            continue;
        std::size_t insertAt = merged.size();
        bool sectionFound = false;
        bool present = false;
        bool filled = false; // the section has a line that is not blank
        for (std::size_t i = 0; i < merged.size(); ++i) {
            if (merged[i].section != line.section)
                continue;
            const std::string here = Trimmed(merged[i].text);
            present = present || here == trimmed;
            if (!here.empty() || !filled)
                insertAt = i + 1; // after the section's last non-blank line (or its last line at all)
            filled = filled || !here.empty();
            sectionFound = true;
        }
        if (present)
            continue;
        if (!sectionFound && line.section.empty()) {
            // A line before the first section goes before the station's first section, not to the end
            // of the file, where it would land in the station's last section.
            insertAt = 0;
            while (insertAt < merged.size() && merged[insertAt].section.empty())
                ++insertAt;
        }
        if (!sectionFound && !line.section.empty()) {
            if (!merged.empty() && !Trimmed(merged.back().text).empty())
                merged.push_back({"", merged.back().section});
            merged.push_back({line.section, line.section});
            insertAt = merged.size();
        }
        merged.insert(merged.begin() + std::ptrdiff_t(insertAt), line);
        changed = true;
    }
    if (!changed)
        return std::nullopt;
    std::string text;
    for (const InfLine &line : merged)
        text += line.text + (crlf ? "\r\n" : "\n");
    return text;
}

std::filesystem::path KitDataDirectory()
{
    if (const char* dir = std::getenv("QT7730_DATA_DIR"); dir && *dir)
        return dir;
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto installed = program.parent_path().parent_path() / "share" / "qt7730-mfg-kit";
        if (std::filesystem::is_directory(installed, error))
            return installed;
    }
#ifdef KIT_BUILD_DATA_DIR
    return KIT_BUILD_DATA_DIR;
#else
    return KIT_INSTALLED_DATA_DIR;
#endif
}

bool MergeDefaultInf(const std::filesystem::path &packageInf, const std::filesystem::path &stationInf,
                     std::string *error)
{
#ifdef _WIN32
    (void)packageInf;
    (void)stationInf;
    (void)error;
    return true;
#else
    std::string package;
    if (!ReadText(packageInf, package)) {
        if (error)
            *error = "cannot read the kit's INF " + packageInf.string();
        return false;
    }
    std::string station;
    std::error_code ec;
    if (!std::filesystem::exists(stationInf, ec)) {
        return PrepareSharedFolder(stationInf.parent_path().string(), error)
               && ReplaceSharedFile(stationInf.string(), package, error);
    }
    if (!ReadText(stationInf, station)) {
        if (error)
            *error = "cannot read the station's INF " + stationInf.string();
        return false;
    }
    const std::optional<std::string> text = MergedInfText(package, station);
    if (!text)
        return true;
    return ReplaceSharedFile(stationInf.string(), *text, error);
#endif
}

std::filesystem::path StationDataDirectory()
{
    const std::filesystem::path kit = KitDataDirectory();
#ifndef _WIN32
    if (kit == kPackageDataDirectory) {
        const std::filesystem::path station = kStationDataFolder;
        std::string error;
        if (!MergeDefaultInf(kit / "INF" / kInfName, station / "INF" / kInfName, &error)) {
            // The station's copy is used as it is; without one, the package's.
            std::fprintf(stderr, "qt7730: the station's driver INF: %s\n", error.c_str());
            std::error_code ec;
            if (!std::filesystem::exists(station / "INF" / kInfName, ec))
                return kit; // at least the package's own IDs
        }
        return station;
    }
#endif
    return kit;
}

} // namespace platform
