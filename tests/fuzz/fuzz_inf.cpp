// The station's driver INF as the kit merges the package's lines into it: any two texts, and the
// merge keeps every line the station had and is done after one pass.

#include "DataDirectory.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::size_t split = input.find('\0');
    const std::string package = input.substr(0, split);
    const std::string station = split == std::string::npos ? std::string() : input.substr(split + 1);
    const std::optional<std::string> merged = platform::MergedInfText(package, station);
    if (!merged)
        return 0;
    // Lines are only ever added: every line the station had is still there.
    std::size_t from = 0;
    while (from < station.size()) {
        std::size_t end = station.find('\n', from);
        if (end == std::string::npos)
            end = station.size();
        std::string line = station.substr(from, end - from);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (merged->find(line) == std::string::npos)
            std::abort();
        from = end + 1;
    }
    if (platform::MergedInfText(package, *merged))
        std::abort(); // a second merge finds nothing missing
    return 0;
}
