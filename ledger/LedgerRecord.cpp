#include "LedgerRecord.h"

#include "JsonText.h"
#include "Sha256.h"
#include "Utf8.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string_view>

namespace line {

std::string Utf8OrEscaped(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        // U+FFFD itself is kept as its bytes too: it is what a reader makes of bytes that were lost.
        const auto [cp, length] = platform::utf8::Decode(text, i);
        if (length && cp != platform::utf8::kReplacement) {
            out.append(text, i, length);
            i += length;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i]));
            out += escaped;
            ++i;
        }
    }
    return out;
}

namespace {

// A text as a JSON string, cable bytes kept readable.
std::string Q(const std::string &text)
{
    return json::Quoted(Utf8OrEscaped(text));
}

} // namespace

std::string SpreadsheetText(const std::string &text)
{
    if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos)
        return "'" + text;
    return text;
}

std::string CsvField(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string LedgerRecord::FailedStep() const
{
    for (const LedgerStep &step : steps)
        if (step.result != "OK" && step.result != "Skip")
            return step.name;
    return {};
}

std::string LedgerRecord::ToJson() const
{
    // Members in name order and compact, as the kit has always written the body: the line server
    // compares a station's bodies byte for byte.
    auto list = [](const auto &items, auto each) {
        std::string out = "[";
        for (const auto &item : items) {
            if (out.size() > 1)
                out += ',';
            out += each(item);
        }
        return out + "]";
    };
    std::string o = "{";
    o += "\"chip_model\":" + std::to_string(chipModel);
    o += ",\"chip_version\":" + std::to_string(chipVersion);
    o += ",\"devices\":" + list(devices, [](const std::string &d) { return Q(d); });
    o += ",\"differing\":" + list(differing, [](const LedgerField &f) {
        return "{\"expected\":" + Q(f.expected) + ",\"field\":" + Q(f.field) + ",\"found\":" + Q(f.found) + "}";
    });
    o += ",\"duration_ms\":" + std::to_string(durationMs);
    o += ",\"host\":" + Q(host);
    o += ",\"image_sha256\":" + Q(imageSha256);
    o += ",\"kind\":" + Q(kind);
    if (std::any_of(ports.begin(), ports.end(), [](const std::string &p) { return !p.empty(); }))
        o += ",\"ports\":" + list(ports, [](const std::string &p) { return Q(p); });
    o += ",\"serial\":" + Q(serial);
    o += ",\"station\":" + std::to_string(station);
    o += ",\"steps\":" + list(steps, [](const LedgerStep &s) {
        return "{\"name\":" + Q(s.name) + ",\"result\":" + Q(s.result) + "}";
    });
    o += ",\"time_utc\":" + Q(timeUtc);
    o += ",\"tool\":" + Q(tool);
    o += ",\"verdict\":" + Q(verdict);
    return o + "}";
}

std::optional<LedgerRecord> LedgerRecord::FromJson(const std::string &text)
{
    const std::optional<json::Value> doc = json::Parse(text);
    if (!doc || !doc->IsObject())
        return std::nullopt;
    const json::Value &o = *doc;
    LedgerRecord r;
    r.kind = o["kind"].Text();
    r.tool = o["tool"].Text();
    r.timeUtc = o["time_utc"].Text();
    const std::int64_t station = o["station"].Integer(-1);
    r.station = station >= INT32_MIN && station <= INT32_MAX ? int(station) : -1;
    r.host = o["host"].Text();
    r.serial = o["serial"].Text();
    r.imageSha256 = o["image_sha256"].Text();
    r.chipModel = std::uint32_t(o["chip_model"].Integer());
    r.chipVersion = std::uint32_t(o["chip_version"].Integer());
    for (const json::Value &d : o["devices"].Elements())
        r.devices.push_back(d.Text());
    for (const json::Value &p : o["ports"].Elements())
        r.ports.push_back(p.Text());
    for (const json::Value &s : o["steps"].Elements())
        r.steps.push_back({s["name"].Text(), s["result"].Text()});
    r.verdict = o["verdict"].Text();
    for (const json::Value &f : o["differing"].Elements())
        r.differing.push_back({f["field"].Text(), f["expected"].Text(), f["found"].Text()});
    r.durationMs = o["duration_ms"].Integer();
    return r;
}

std::string NowUtc()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[80]; // room for any int the compiler can imagine in each field
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, int(ms < 0 ? ms + 1000 : ms));
    return text;
}

std::string Sha256Hex(const void *bytes, std::size_t size)
{
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t b : Sha256(bytes, size)) {
        hex.push_back(kHex[b >> 4]);
        hex.push_back(kHex[b & 0xF]);
    }
    return hex;
}

} // namespace line
