#pragma once
// Rebuilds a run's steps from the log lines the workers write: a text ending in a tab starts a step
// ("Check chip version\t"), "OK\r\n", "Skip\r\n" or "Fail\r\n" ends it.

#include "LedgerRecord.h"

#include <map>
#include <string>
#include <vector>

namespace line {

class StepLog {
public:
    // `names` maps logged texts (translated ones, tab included) to the names to record.
    explicit StepLog(std::map<std::string, std::string> names = {}) : m_names(std::move(names)) {}
    void Feed(const std::string &text);
    // The steps so far; a step still open is reported as "FAIL" when `ended` (the run is over).
    std::vector<LedgerStep> Steps(bool ended = true) const;
    bool AllPassed() const;

private:
    std::map<std::string, std::string> m_names;
    std::vector<LedgerStep> m_steps;
    bool m_open = false;
};

} // namespace line
