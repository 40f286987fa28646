// How the control commands' words are read (see BenchWorldArguments.h).
#include "BenchWorldArguments.h"

#include <algorithm>
#include <cstdio>

namespace benchworld {

unsigned long ParseNumber(const std::string &text, unsigned long max, const char *what)
{
    if (text.empty())
        throw UsageError(std::string(what) + ": a number is missing");
    std::size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 0);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used != text.size() || text[0] == '-' || value > max)
        throw UsageError(std::string(what) + ": '" + text + "' is not a number from 0 to " + std::to_string(max));
    return value;
}

uint16_t ParseHexWord(const std::string &text, const char *what)
{
    const std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text : "0x" + text;
    return static_cast<uint16_t>(ParseNumber(digits, 0xFFFF, what));
}

namespace {

std::vector<uint8_t> ParseHexBytes(const std::string &hex)
{
    if (hex.size() % 2)
        throw UsageError("hex data has an odd number of digits");
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(ParseNumber("0x" + hex.substr(i, 2), 0xFF, "hex data")));
    return bytes;
}

} // namespace

bench::EepromBytes EepromFromHex(const std::string &hex)
{
    const auto bytes = ParseHexBytes(hex);
    // A 264-byte image file carries the chip trailer after the EEPROM bytes; only the EEPROM matters.
    if (bytes.size() != 256 && bytes.size() != 264)
        throw UsageError("an EEPROM is 256 bytes (or a 264-byte image file), not " + std::to_string(bytes.size()));
    bench::EepromBytes eeprom;
    std::copy_n(bytes.begin(), 256, eeprom.begin());
    return eeprom;
}

std::string Hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

Options::Options(const std::vector<std::string> &args, std::size_t from, std::vector<std::string> withValue,
                 std::vector<std::string> flags)
{
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
            m_values[a] = "";
        } else if (std::find(withValue.begin(), withValue.end(), a) != withValue.end()) {
            if (i + 1 >= args.size())
                throw UsageError(a + " needs a value");
            m_values[a] = args[++i];
        } else {
            throw UsageError("unexpected '" + a + "'");
        }
    }
}

std::vector<int> SidesOf(const std::vector<std::string> &args, std::size_t at)
{
    if (at >= args.size() || args[at].rfind("--", 0) == 0 || args[at] == "both")
        return {0, 1};
    if (args[at] == "A" || args[at] == "a")
        return {0};
    if (args[at] == "B" || args[at] == "b")
        return {1};
    throw UsageError("a side is A, B or both, not '" + args[at] + "'");
}

} // namespace benchworld
