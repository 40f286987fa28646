#pragma once
// One outcome of programming or testing one cable, as the station keeps it. A plain value: the ledger
// stores it as columns for its queries and as one JSON text (`body`) that travels unchanged.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace line {

// One step of a run and how it ended: "OK", "FAIL" or "Skip".
struct LedgerStep {
    std::string name;
    std::string result;
    bool operator==(const LedgerStep &) const = default;
};

// One EEPROM field that differs from the image: its name ("vendor ID", "byte 0x2A", ...) and both
// values as text.
struct LedgerField {
    std::string field;
    std::string expected;
    std::string found;
    bool operator==(const LedgerField &) const = default;
};

struct LedgerRecord {
    static constexpr const char *kProgram = "program"; // kinds
    static constexpr const char *kTest = "test";
    static constexpr const char *kPass = "pass"; // verdicts
    static constexpr const char *kFail = "fail";

    std::int64_t seq = 0;        // the station's sequence number; set by the ledger, never in `body`
    std::string kind;            // kProgram or kTest
    std::string tool;            // who ran it: "mfgkit", "Quillon", "Tamber"
    std::string timeUtc;         // start, ISO 8601 UTC with milliseconds: "2026-12-08T16:31:40.123Z"
    int station = -1;            // Numwell's station number, -1 when the station has none yet
    std::string host;            // the station's host name
    std::string serial;          // the cable's serial text ("" when it has none or it was not read)
    std::string imageSha256;     // of the image file's bytes, 64 lower-case hex digits
    std::uint32_t chipModel = 0; // as the cable's chip answered (0: not read)
    std::uint32_t chipVersion = 0;
    std::vector<std::string> devices; // the device objects of the cable's sides
    // Where the cable's sides were plugged, side A first, as the USB walk places them ("0-2.3": host
    // controller 0 as `mfgkit walk` numbers them, port 2 of its root hub, port 3 of the hub there);
    // "" for a side not found. Empty when neither side was found, and then not in `body`, so that
    // records made before the kit knew the ports keep their bytes.
    std::vector<std::string> ports;
    std::vector<LedgerStep> steps;
    std::string verdict;              // kPass or kFail
    std::vector<LedgerField> differing;
    std::int64_t durationMs = 0;

    // The first step that did not end "OK" or "Skip", "" when none did.
    std::string FailedStep() const;
    // The date part of timeUtc ("2026-12-08").
    std::string Day() const { return timeUtc.substr(0, 10); }

    // The record as one compact JSON object (every field but seq), and back. FromJson fails (nullopt)
    // for text that is not such an object; missing members keep their defaults.
    std::string ToJson() const;
    static std::optional<LedgerRecord> FromJson(const std::string &json);

    bool operator==(const LedgerRecord &) const = default;
};

// A text cell for a spreadsheet: texts from cables (serials, product texts) that begin with '=', '+',
// '-', '@', a tab or a carriage return would be taken for a formula; such a text gets a leading
// apostrophe, which spreadsheets show as text and do not display.
std::string SpreadsheetText(const std::string &text);
// One CSV field, quoted per RFC 4180 when it holds a comma, a quote or a line end; otherwise as it is.
std::string CsvField(const std::string &text);

// Texts from cables are 8-bit: a byte that is no part of UTF-8 (a Latin-1 serial, say) is kept as the
// text "\xNN", so that it can still be read, instead of becoming U+FFFD. What JSON output holds of
// such texts.
std::string Utf8OrEscaped(const std::string &text);

// The current time as LedgerRecord::timeUtc writes it.
std::string NowUtc();

// SHA-256 of `bytes` as 64 lower-case hex digits.
std::string Sha256Hex(const void *bytes, std::size_t size);

} // namespace line
