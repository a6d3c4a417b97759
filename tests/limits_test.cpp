// Runs the built program under real kernel limits, set in the child before it
// execs: address spaces from too small to load it up to one that holds a whole
// run, and process limits that let none, some or all of the workers start.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "expected_output.hpp"
#include "faulted_run.hpp"
#include "process.hpp"

namespace join_order_search::testing {
namespace {

const std::string &program = program_path();

Outcome run_in(rlim_t address_space, const std::string &input) {
    RunOptions options;
    options.address_space = address_space;
    return run_program(program, input, options);
}

constexpr rlim_t kib = 1024;
constexpr rlim_t mib = 1024 * kib;

// How a run under a limit may end; anything else (a signal, a wrong report,
// a partial one) is a fault.
enum class End { complete, failed, not_loaded };

::testing::AssertionResult classify(int tables, const Outcome &outcome, End &end) {
    if (outcome.status == 0 && outcome.err.empty() && allowed_output(tables, outcome.out)) {
        end = End::complete;
        return ::testing::AssertionSuccess();
    }
    // One diagnostic line on standard error, and no result on standard output.
    const bool one_line =
        outcome.err.starts_with("join_order_search: ") && outcome.err.find('\n') == outcome.err.size() - 1;
    if (outcome.status == 2 && one_line && outcome.out == prompt) {
        end = End::failed;
        return ::testing::AssertionSuccess();
    }
    // The loader's refusal, or the kernel's at exec, before the program wrote anything.
    if (outcome.status == 127 && outcome.out.empty()) {
        end = End::not_loaded;
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "status " << outcome.status << ", standard output " << ::testing::PrintToString(outcome.out)
           << ", standard error " << ::testing::PrintToString(outcome.err);
}

bool sanitized_program() {
    // A sanitizer's runtime maps far more address space than the program needs,
    // and starts threads of its own: these limits would measure the sanitizer.
    return PROGRAM_SANITIZED != 0 && std::getenv("JOIN_ORDER_SEARCH_BINARY") == nullptr;
}

TEST(KernelLimits, AnAddressSpaceTooSmallEndsCleanlyNeverInASignal) {
    if (sanitized_program()) {
        GTEST_SKIP() << "the program is built with a sanitizer";
    }
    for (const int tables : {1, 3, 8}) {
        const std::string input = std::to_string(tables) + "\n";
        std::vector<End> ends;
        // In small steps from below what the loader needs to the first whole
        // run, then in large ones until every worker's stack fits as well.
        rlim_t limit = mib;
        for (; limit <= 64 * mib; limit += 8 * kib) {
            End end{};
            ASSERT_TRUE(classify(tables, run_in(limit, input), end))
                << tables << " tables, " << limit / kib << " KiB";
            ends.push_back(end);
            if (end == End::complete) {
                break;
            }
        }
        for (const rlim_t top = limit + 80 * mib; limit <= top; limit += mib) {
            End end{};
            ASSERT_TRUE(classify(tables, run_in(limit, input), end))
                << tables << " tables, " << limit / kib << " KiB";
            EXPECT_EQ(end, End::complete) << tables << " tables, " << limit / kib << " KiB";
        }
        // The sweep began where the program could not load and reached a whole run.
        EXPECT_EQ(ends.front(), End::not_loaded) << tables << " tables";
        EXPECT_EQ(ends.back(), End::complete) << tables << " tables";
        if (tables == 8) {
            // 40320 rows want far more than the loader: some limits let the
            // program start but not build its table.
            EXPECT_NE(std::find(ends.begin(), ends.end(), End::failed), ends.end());
        }
    }
}

TEST(KernelLimits, AProcessLimitLetsNoneOrSomeOfTheWorkersStart) {
    if (sanitized_program()) {
        GTEST_SKIP() << "the program is built with a sanitizer";
    }
    const std::optional<uid_t> user = unused_user();
    if (!user) {
        GTEST_SKIP() << "needs root, to run the program as an unprivileged user whom the limit binds";
    }
    // The fault library, injecting nothing, reports each worker that the
    // kernel refused to start: that shows the limit took hold.
    std::vector<std::size_t> refused;
    const std::vector<rlim_t> limits = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 20};
    for (const rlim_t limit : limits) {
        RunOptions options;
        options.processes = limit;
        options.user = user;
        const Outcome plain = run_program(program, "8\n", options);
        if (plain.exec_error == EACCES) {
            GTEST_SKIP() << "an unprivileged user cannot reach " << program;
        }
        EXPECT_EQ(plain.status, 0) << "limit " << limit;
        EXPECT_TRUE(allowed_output(8, plain.out)) << "limit " << limit << ": " << plain.out;
        EXPECT_EQ(plain.err, "") << "limit " << limit;

        const FaultedRun observed = run_faulted({}, "8\n", options);
        EXPECT_EQ(observed.outcome.status, 0) << "limit " << limit;
        EXPECT_TRUE(allowed_output(8, observed.outcome.out)) << "limit " << limit;
        refused.push_back(static_cast<std::size_t>(
            std::count_if(observed.injected.begin(), observed.injected.end(),
                          [](const std::string &line) { return line.starts_with("refused thread "); })));
        EXPECT_EQ(refused.back(), observed.injected.size())
            << "limit " << limit << ": nothing was to be injected";
    }
    // The program counts as one process and each running worker as one more,
    // so a limit L lets the first L - 1 workers start at least; the rest start
    // only if earlier ones have ended by then.
    bool some_refused = false;
    for (std::size_t i = 0; i < limits.size(); ++i) {
        const auto limit = static_cast<std::size_t>(limits[i]);
        if (limit <= 1) {
            EXPECT_EQ(refused[i], 8U) << "limit " << limit << ": no worker may start";
        } else {
            EXPECT_LE(refused[i], limit <= 9 ? 9 - limit : 0) << "limit " << limit;
            some_refused = some_refused || (limit < 9 && refused[i] > 0);
        }
    }
    EXPECT_TRUE(some_refused) << "no limit between 2 and 8 kept any worker from starting: "
                              << ::testing::PrintToString(refused);
}

}  // namespace
}  // namespace join_order_search::testing
