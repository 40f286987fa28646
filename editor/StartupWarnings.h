#pragma once
// What Quillon says in its window when it starts and something keeps the operator's work from
// counting: no bench to find cables on, or a settings store or ledger this user cannot write.

#include <string>

namespace editor {

// One paragraph per problem; empty when there is none. `hostProblem` is DefaultHostProblem()'s.
std::string StartupWarnings(const std::string &hostProblem);

} // namespace editor
