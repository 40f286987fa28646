#include "IniText.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <sstream>

namespace pcmodel {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

} // namespace

std::string TrimProfileValue(std::string_view value)
{
    value = Trim(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

std::string ToUpper(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

IniText::IniText(std::string_view text)
{
    text = text.substr(0, text.find('\0'));
    std::size_t current = SIZE_MAX; // index, not pointer: the vector grows
    bool firstOccurrence = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty())
            continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            const std::string_view name = Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
            auto found = std::find_if(m_sections.begin(), m_sections.end(),
                                      [&](const Section& s) { return EqualsNoCase(s.name, name); });
            firstOccurrence = found == m_sections.end();
            if (firstOccurrence) {
                m_sections.push_back({std::string(name), {}, {}});
                current = m_sections.size() - 1;
            } else {
                current = std::size_t(found - m_sections.begin()); // a repeated section continues the first
            }
            continue;
        }
        if (current == SIZE_MAX)
            continue;
        const std::size_t eq = line.find('=');
        Entry entry = eq == std::string_view::npos
                          ? Entry{std::string(), std::string(line)}
                          : Entry{std::string(Trim(line.substr(0, eq))), TrimProfileValue(line.substr(eq + 1))};
        // The profile API knows no comments (";key=value" is a key named ";key") and reads only the
        // first occurrence of a section; the driver installer skips comments and joins repeated sections.
        if (firstOccurrence)
            m_sections[current].profileEntries.push_back(entry);
        if (line.front() != ';')
            m_sections[current].entries.push_back(std::move(entry));
    }
}

const std::vector<IniText::Entry>& IniText::Entries(std::string_view section) const
{
    static const std::vector<Entry> none;
    for (const Section& s : m_sections)
        if (EqualsNoCase(s.name, section))
            return s.entries;
    return none;
}

std::optional<std::string> IniText::Value(std::string_view section, std::string_view key) const
{
    // The profile API ignores blanks around the names it is asked for.
    section = Trim(section);
    key = Trim(key);
    for (const Section& s : m_sections) {
        if (!EqualsNoCase(s.name, section))
            continue;
        for (const Entry& e : s.profileEntries)
            if (!e.key.empty() && EqualsNoCase(e.key, key))
                return e.value;
        return std::nullopt;
    }
    return std::nullopt;
}

bool InfListsModel(const std::string& infText, const std::string& hardwareId, std::string* description)
{
    const IniText inf(infText);
    for (const IniText::Entry& maker : inf.Entries("Manufacturer")) {
        // "%MfgName%=Models[,Decoration...]": the models section, plus its decorated variants.
        std::vector<std::string> fields;
        std::stringstream split(maker.value);
        for (std::string f; std::getline(split, f, ',');)
            fields.push_back(TrimProfileValue(f));
        if (fields.empty() || fields[0].empty())
            continue;
        std::vector<std::string> sections{fields[0]};
        for (std::size_t i = 1; i < fields.size(); ++i)
            sections.push_back(fields[0] + "." + fields[i]);
        for (const std::string& section : sections)
            for (const IniText::Entry& model : inf.Entries(section)) {
                std::stringstream ids(model.value);
                std::string field;
                std::getline(ids, field, ','); // the install section
                for (; std::getline(ids, field, ',');) {
                    if (!EqualsNoCase(TrimProfileValue(field), hardwareId))
                        continue;
                    std::string desc = model.key;
                    if (desc.size() > 2 && desc.front() == '%' && desc.back() == '%')
                        desc = inf.Value("Strings", desc.substr(1, desc.size() - 2)).value_or(desc);
                    if (description)
                        *description = desc;
                    return true;
                }
            }
    }
    return false;
}

} // namespace pcmodel
