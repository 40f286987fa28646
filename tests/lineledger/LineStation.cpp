// A station of the line for the tests: programs simulated cables with numbers formed as Numwell forms
// them ("%X%s%05d"), reserving each on the line server first, appending every outcome to its own
// station ledger and sending the outbox from a background sender, exactly as mfgkit does with cables.
//
//   line_station --station N --host NAME --cables N [--date YYMMDD] [--delay-ms MS] [--drain-s S]
//   line_station ledger ARGS...    (mfgkit's ledger command)
//   QT7730_LEDGER_DB: the station ledger; QT7730_LEDGER: the line server.
// Prints "OK SERIAL" for each cable written, "N/G SERIAL: reason" for each refused one. The counter is
// kept in "<ledger>.counter" and saved past each number before it is reserved, as mfgkit spends
// Numwell's numbers: a number is never formed twice, whatever happens after.
// Exit status: 0 everything sent, 4 records still wait in the outbox.

#include "LineCommands.h"
#include "LineSession.h"
#include "StationLedger.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

int main(int argc, char **argv) {
    // "line_station ledger ARGS...": mfgkit's ledger command, for the tests that signal it.
    if (argc > 1 && std::string(argv[1]) == "ledger")
        return line::RunLedgerCommand(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr);
    int station = 0, cables = 0, delayMs = 0, drainS = 30;
    std::string host = "station", date = "061205";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--station") station = std::atoi(v.c_str());
        else if (a == "--host") host = v;
        else if (a == "--cables") cables = std::atoi(v.c_str());
        else if (a == "--date") date = v;
        else if (a == "--delay-ms") delayMs = std::atoi(v.c_str());
        else if (a == "--drain-s") drainS = std::atoi(v.c_str());
        else return 2;
    }
    const std::string ledgerPath = line::LedgerPath();
    line::StationLedger ledger;
    std::string error;
    if (!ledger.Open(ledgerPath, &error)) {
        std::cerr << error << "\n";
        return 4;
    }
    line::LineSession lineServer([](const std::string &say) { std::cerr << "line_station: " << say << "\n"; },
                                 line::StationId{station, host}, ledgerPath);
    const std::string counterFile = ledgerPath + ".counter";
    int counter = 0;
    std::ifstream(counterFile) >> counter;
    const std::string isoDate = "20" + date.substr(0, 2) + "-" + date.substr(2, 2) + "-" + date.substr(4, 2);

    for (int i = 0; i < cables; ++i) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "%X%s%05d", station, date.c_str(), counter + 1);
        line::LedgerRecord rec;
        rec.kind = line::LedgerRecord::kProgram;
        rec.tool = "line_station";
        rec.timeUtc = line::NowUtc();
        rec.station = station;
        rec.host = host;
        rec.serial = serial;
        ++counter;  // spent before it is reserved
        {
            std::ofstream out(counterFile + ".new", std::ios::trunc);
            out << counter << "\n";
        }
        std::rename((counterFile + ".new").c_str(), counterFile.c_str());
        const line::ReserveResult r = lineServer.Reserve(serial, isoDate);
        if (r.outcome == line::Reservation::Taken) {
            rec.steps = {{"Serial number", "FAIL"}};
            rec.verdict = line::LedgerRecord::kFail;
        } else {
            rec.steps = {{"Serial number", "OK"}, {"Write EEPROM", "OK"}, {"Read back", "OK"}};
            rec.verdict = line::LedgerRecord::kPass;
        }
        if (!ledger.Append(rec, &error)) {
            std::cerr << error << "\n";
            return 4;
        }
        if (r.outcome == line::Reservation::Taken) {
            std::cout << "N/G " << serial << ": " << r.message << std::endl;
        } else {
            lineServer.Confirm(serial);
            std::cout << "OK " << serial << std::endl;
        }
        lineServer.Appended();
        if (delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    }
    return lineServer.Finish(std::chrono::seconds(drainS)) ? 0 : 4;
}
