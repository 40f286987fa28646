// The ledger's readers of outside bytes: a record's JSON body as the station ledger stores it and the
// outbox and the line server read it back, and a field of the server's answers where a number is
// expected. What reads must write again the same, and never crash.

#include "LedgerRecord.h"
#include "LineLedger.h"
#include "PgConnection.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    line::FieldsOfRecord(text);
    if (const std::optional<line::LedgerRecord> record = line::LedgerRecord::FromJson(text)) {
        record->FailedStep();
        record->Day();
        // What a record says survives its own round trip: the body the line server gets is stable.
        const std::string once = record->ToJson();
        const std::optional<line::LedgerRecord> again = line::LedgerRecord::FromJson(once);
        if (!again || again->ToJson() != once)
            std::abort();
    }
    // The same bytes as the texts of a record (a serial or product text read from a cable).
    line::LedgerRecord fromCable;
    fromCable.serial = text;
    fromCable.differing.push_back({"product text", text, text});
    if (!line::LedgerRecord::FromJson(fromCable.ToJson()))
        std::abort();
    line::SpreadsheetText(text);
    // The same bytes as a field of the line server's answer, where a number is expected.
    line::CellNumber(text, -1);
    return 0;
}
