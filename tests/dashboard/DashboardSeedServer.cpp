// For the browser test: a PostgreSQL server of its own (PgServer) holding the seeded line, its records
// dated around the current time. Prints "conninfo=..." once ready, then answers commands on stdin, one
// per line:
//   expect      one JSON line: the seeded numbers the page must show now (period -> counts)
//   add SERIAL  sends one more passed test of SERIAL, dated now, as a station's outbox would
//   quit        stops the server (as does the end of stdin)

#include "DashboardSeed.h"
#include "DashboardSource.h"
#include "LineLedger.h"
#include "PgServer.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <iostream>

int main()
{
    PgServer pg;
    const QDateTime at = QDateTime::currentDateTimeUtc();
    std::vector<line::LedgerRecord> records = seed::Line(at);
    line::LineLedger server(pg.Conninfo());
    if (!server.Init())
        return 1;
    std::map<std::pair<int, std::string>, std::vector<line::OutboxRow>> rows;
    for (const auto &r : records) {
        auto &list = rows[{r.station, r.host}];
        list.push_back({std::int64_t(list.size() + 1), r.ToJson()});
    }
    for (const auto &[station, list] : rows)
        if (!server.Send(list))
            return 1;
    server.ReserveBlock({"V1"}, {2, "beta"}, "ledger-beta", at.date().toString(Qt::ISODate).toStdString());
    server.Void("V1", {2, "beta"}, "Write EEPROM: the chip did not answer");
    std::cout << "conninfo=" << pg.Conninfo() << std::endl;

    std::int64_t added = 1000;
    for (std::string command; std::getline(std::cin, command);) {
        if (command == "quit")
            break;
        if (command == "expect") {
            const auto w = line::dashboard::Window::At(QDateTime::currentDateTimeUtc());
            QJsonObject o;
            for (const auto &[name, from, to] : {std::tuple{"hour", w.hour, w.end}, std::tuple{"today", w.today, w.end},
                                                  std::tuple{"yesterday", w.yesterday, w.today}}) {
                const seed::Counts c = seed::Period(records, from, to);
                o[name] = QJsonObject{{"tested", qint64(c.tested)}, {"passed", qint64(c.passed)},
                                      {"programmed", qint64(c.programmed)}, {"first_tests", qint64(c.first)},
                                      {"first_passed", qint64(c.firstPassed)}, {"final_passed", qint64(c.finalPassed)}};
            }
            std::cout << QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() << std::endl;
        } else if (command.rfind("add ", 0) == 0) {
            line::LedgerRecord r = seed::Record(QDateTime::currentDateTimeUtc(), 0, line::LedgerRecord::kTest, 2, "beta",
                                                command.substr(4), {}, {}, 7);
            records.push_back(r);
            const bool sent = server.Send({{++added, r.ToJson()}});
            std::cout << (sent ? "added" : "failed: " + server.Error()) << std::endl;
        }
    }
    return 0;
}
