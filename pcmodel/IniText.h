#pragma once
// Initialisation-file (INF/INI) text read the way Windows reads it: section and key names match
// without regard to case, values are trimmed of blanks and of one pair of surrounding quotes, and the
// first occurrence of a key wins. Value() answers as the profile API (GetPrivateProfileString) does:
// only the first occurrence of a section counts and comment lines are ordinary keys. Entries() lists
// what the driver installer sees: comments skipped, repeated sections joined. Plain C++; the PC model
// uses Entries() to decide driver binding and the sim Host uses Value().

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pcmodel {

class IniText {
public:
    struct Entry {
        std::string key;   // trimmed; empty for a line without '='
        std::string value; // trimmed, quotes removed; the whole line for a line without '='
    };

    // Parses 8-bit text; it ends at its first zero byte. Never fails: lines it cannot use are kept as
    // keyless entries or ignored (comments, text before the first section).
    explicit IniText(std::string_view text);

    // The value of `key` in `section` as the profile API finds it, or nullopt when missing.
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;

    // Every entry of `section` in file order (empty when missing).
    const std::vector<Entry>& Entries(std::string_view section) const;

private:
    struct Section {
        std::string name;
        std::vector<Entry> entries;        // every occurrence, without comment lines
        std::vector<Entry> profileEntries; // the first occurrence, comment lines included
    };
    std::vector<Section> m_sections;
};

// Whitespace trim and the profile API's quote removal (one matching pair of ' or ").
std::string TrimProfileValue(std::string_view value);

// A driver INF's text lists `hardwareId` (e.g. "USB\\VID_0C5E&PID_7730") as a model line of one of its
// manufacturers' models sections (decorated variants included); `description` (may be null) gets
// the model's description, its %string% resolved.
bool InfListsModel(const std::string& infText, const std::string& hardwareId, std::string* description);

// Case-insensitive (ASCII) comparison and upper-casing, as Windows compares names.
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string ToUpper(std::string_view text);

} // namespace pcmodel
