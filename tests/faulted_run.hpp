// Runs the built program with the fault library preloaded, and reads back what
// the library says it injected.
#pragma once

#include <string>
#include <vector>

#include "process.hpp"

namespace join_order_search::testing {

struct FaultedRun {
    Outcome outcome;
    std::vector<std::string> injected;  // the library's report, one line a fault
};

// Runs the program under test with `input`, the fault library preloaded and
// the FAULT_* entries of `faults` in its environment, and the rest of `options`
// as run_program takes them.
FaultedRun run_faulted(const std::vector<std::string> &faults, const std::string &input = "8\n",
                       RunOptions options = {});

}  // namespace join_order_search::testing
