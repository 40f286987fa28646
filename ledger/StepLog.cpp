#include "StepLog.h"

namespace line {

void StepLog::Feed(const std::string &text)
{
    if (!text.empty() && text.back() == '\t') {
        auto it = m_names.find(text);
        m_steps.push_back({it != m_names.end() ? it->second : text.substr(0, text.size() - 1), ""});
        m_open = true;
        return;
    }
    if (!m_open)
        return;
    std::string result = text;
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    if (result == "OK" || result == "Skip") {
        m_steps.back().result = result;
        m_open = false;
    } else if (result == "Fail" || result == "FAIL") {
        m_steps.back().result = "FAIL";
        m_open = false;
    }
}

std::vector<LedgerStep> StepLog::Steps(bool ended) const
{
    std::vector<LedgerStep> steps = m_steps;
    if (ended && m_open)
        steps.back().result = "FAIL";
    return steps;
}

bool StepLog::AllPassed() const
{
    if (m_open || m_steps.empty())
        return false;
    for (const LedgerStep &s : m_steps)
        if (s.result != "OK" && s.result != "Skip")
            return false;
    return true;
}

} // namespace line
