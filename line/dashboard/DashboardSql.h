#pragma once
// What the two sources share: the aggregate query over their first-test rows (`f`: recorded_at, station,
// host, product, passed, first, final) and periods (`b`), in the SQL both PostgreSQL and SQLite read
// ($N parameters become ?N for SQLite), and the tables' columns.

#include "DashboardSource.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace line::dashboard {

// Parameters of the live queries: $1 yesterday, $2 end, $3 this hour, $4 today, $5 24 hours back.
extern const char *const kPeriods;     // the CTE b(name, lo, hi)
extern const char *const kAggregates;  // rows: tag, key, key2, key3, tested, passed, first, first passed, final passed
extern const char *const kProgrammed;  // over records(kind, passed, recorded_at): period, passed, failed

struct AggregateRow {
    std::string tag, key, key2, key3;
    long tested = 0, passed = 0, first = 0, firstPassed = 0, finalPassed = 0;
};

Tables EmptyLive();
Tables EmptyIntegrity();
Tables EmptySerial();
void FillAggregates(Tables &t, const Window &w, const std::vector<AggregateRow> &rows,
                    const std::map<std::string, std::pair<long, long>> &programmed);
QJsonValue PortYield(long passed, long tested);
double MinutesBetween(const std::string &from, const std::string &to);

} // namespace line::dashboard
