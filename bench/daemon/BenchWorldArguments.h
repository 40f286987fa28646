#pragma once
// The words of the control commands, read alike by every command and by the state loader: numbers
// within bounds, hex words, EEPROM images, "--name value" options and cable sides. Shared by the
// files of BenchWorld; a mistake is a UsageError, whose text the person sees.

#include "Bench.h"

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace benchworld {

// A command-line mistake: its text is shown to the person and the command fails with status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A number from 0 to `max` (decimal, or hex with 0x); `what` names it in the error.
unsigned long ParseNumber(const std::string &text, unsigned long max, const char *what);
// A 16-bit hex word, with or without 0x.
uint16_t ParseHexWord(const std::string &text, const char *what);
// 256 EEPROM bytes as hex, or a 264-byte image file's (whose chip trailer is left out).
bench::EepromBytes EepromFromHex(const std::string &hex);
std::string Hex4(unsigned value);

// Options after the positional words: "--name value" pairs and bare "--flags".
class Options {
public:
    Options(const std::vector<std::string> &args, std::size_t from, std::vector<std::string> withValue,
            std::vector<std::string> flags);
    bool Has(const std::string &name) const { return m_values.count(name) != 0; }
    std::string Get(const std::string &name) const
    {
        const auto it = m_values.find(name);
        return it == m_values.end() ? std::string() : it->second;
    }

private:
    std::map<std::string, std::string> m_values;
};

// The sides named at args[at]: A, B or both (also when none is named).
std::vector<int> SidesOf(const std::vector<std::string> &args, std::size_t at);

} // namespace benchworld
