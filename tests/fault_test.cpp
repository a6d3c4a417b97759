// Runs the built program with faults injected by the preloaded fault library:
// workers that cannot start, memory that runs out, a lock or join that fails,
// and a report that cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "expected_output.hpp"
#include "faulted_run.hpp"
#include "process.hpp"

namespace join_order_search::testing {
namespace {

const std::string &program = program_path();
const std::string out_of_memory = "join_order_search: out of memory building the permutation table\n";
const std::string lock_failed = "join_order_search: cannot lock the best-cost record: Invalid argument\n";

constexpr long rows_of_eight = 40320;

std::string fault(const char *name, long value) {
    return std::string(name) + "=" + std::to_string(value);
}

std::string alloc(long index) {
    return "alloc " + std::to_string(index);
}

// The report lines for thread creations `workers` (comma separated) failed.
std::vector<std::string> threads_failed(const std::string &workers) {
    std::vector<std::string> lines;
    std::istringstream list(workers);
    for (std::string w; std::getline(list, w, ',');) {
        lines.push_back("thread " + w);
    }
    return lines;
}

// Finds, by a traced run of the same binary, the number of the allocation that
// takes the array of row pointers for 8 tables (the rows and the working array
// follow it), and those that start the workers.
class Faults : public ::testing::Test {
protected:
    // Traced once, by the first test; a trace that fails fails every test
    // (a failure in SetUpTestSuite would only have them skipped).
    void SetUp() override {
        static bool traced = false;
        if (!traced) {
            traced = true;
            take_trace();
        }
        ASSERT_EQ(worker_starts.size(), 8U) << "the trace run failed";
    }

    static void take_trace() {
        const FaultedRun traced = run_faulted({"FAULT_ALLOC_TRACE=1"});
        ASSERT_EQ(traced.outcome.status, 0);
        ASSERT_EQ(traced.injected, std::vector<std::string>{}) << "a trace injects nothing";
        struct Allocation {
            long index;
            long size;
            long creation;  // the thread creation it falls in, or -1 before the first
        };
        std::vector<Allocation> allocations;
        long creation = -1;
        std::istringstream lines(traced.outcome.err);
        for (std::string line; std::getline(lines, line);) {
            if (std::sscanf(line.c_str(), "fault_inject: thread %ld", &creation) == 1) {
                continue;
            }
            Allocation a{0, 0, creation};
            ASSERT_EQ(std::sscanf(line.c_str(), "fault_inject: alloc %ld %ld", &a.index, &a.size), 2) << line;
            allocations.push_back(a);
        }
        ASSERT_FALSE(allocations.empty());
        // One pointer a row, and perhaps the array's element count in front.
        const long pointer_bytes = rows_of_eight * static_cast<long>(sizeof(void *));
        const auto pointers = std::find_if(allocations.begin(), allocations.end(), [&](const auto &a) {
            return a.size >= pointer_bytes && a.size <= pointer_bytes + 16;
        });
        ASSERT_NE(pointers, allocations.end()) << "no allocation of the row pointers in the trace";
        ASSERT_GT(allocations.end() - pointers, rows_of_eight + 1);
        for (long r = 1; r <= rows_of_eight + 1; ++r) {
            ASSERT_EQ(pointers[r].size, 8 * static_cast<long>(sizeof(int))) << "allocation " << r;
            ASSERT_EQ(pointers[r].index, pointers->index + r);
            ASSERT_EQ(pointers[r].creation, -1) << "allocation " << r;
        }
        // A worker's start allocates the new thread's thread-local storage last
        // (a sanitizer may start a thread of its own first).
        std::vector<long> starts(8, 0);
        for (auto a = pointers + rows_of_eight + 2; a != allocations.end(); ++a) {
            ASSERT_TRUE(a->creation >= 0 && a->creation < 8)
                << "allocation " << a->index << " after the build";
            starts[static_cast<std::size_t>(a->creation)] = a->index;
        }
        ASSERT_EQ(std::count(starts.begin(), starts.end(), 0), 0) << "a worker start that allocates nothing";
        // Kept only once every check has held, so that no test runs on half a trace.
        row_pointers = pointers->index;
        first_traced = allocations.front().index;
        last_traced = allocations.back().index;
        worker_starts = starts;
    }

    static long row_pointers;
    static long first_traced;
    static long last_traced;
    static std::vector<long> worker_starts;
};

long Faults::row_pointers = 0;
long Faults::first_traced = 0;
long Faults::last_traced = 0;
std::vector<long> Faults::worker_starts;

TEST_F(Faults, WorkersThatCannotStartHaveTheirSlicesSearchedByTheDriver) {
    const std::vector<std::string> failing = {"0", "3", "7", "0,3,6", "1,2,3,4,5,6,7", "0,1,2,3,4,5,6"};
    for (const std::string &workers : failing) {
        const auto [outcome, injected] = run_faulted({"FAULT_THREAD_FAIL=" + workers});
        EXPECT_EQ(injected, threads_failed(workers)) << "workers " << workers;
        EXPECT_EQ(outcome.status, 0) << "workers " << workers;
        EXPECT_TRUE(allowed_output(8, outcome.out)) << "workers " << workers << ": " << outcome.out;
        EXPECT_EQ(outcome.err, "") << "workers " << workers;
    }
}

TEST_F(Faults, NoWorkerStartsAndTheDriverSearchesEverySliceInOrder) {
    // Slice by slice in row order, the first row of cost 16 is worker 3's.
    const auto [outcome, injected] = run_faulted({"FAULT_THREAD_FAIL=all"});
    EXPECT_EQ(injected, threads_failed("0,1,2,3,4,5,6,7"));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, prompt + "Best Cost: 16\nJoin Order: 5 6 4 7 3 0 1 2 \n");
    EXPECT_EQ(outcome.err, "");
}

TEST_F(Faults, MemoryForStartingWorkersRunsOut) {
    struct Case {
        std::string fault;
        std::vector<std::string> injected;  // the report begins with these lines
    };
    const std::vector<Case> cases = {
        {fault("FAULT_ALLOC_FAIL", worker_starts[0]), {alloc(worker_starts[0]), "refused thread 0"}},
        {fault("FAULT_ALLOC_FAIL", worker_starts[3]), {alloc(worker_starts[3]), "refused thread 3"}},
        {fault("FAULT_ALLOC_FAIL_FROM", worker_starts[0]), {alloc(worker_starts[0]), "refused thread 0"}},
    };
    for (const Case &c : cases) {
        const auto [outcome, injected] = run_faulted({c.fault});
        ASSERT_GE(injected.size(), c.injected.size()) << c.fault;
        const auto head = injected.begin() + static_cast<std::ptrdiff_t>(c.injected.size());
        EXPECT_EQ(std::vector<std::string>(injected.begin(), head), c.injected) << c.fault;
        EXPECT_EQ(outcome.status, 0) << c.fault;
        EXPECT_TRUE(allowed_output(8, outcome.out)) << c.fault << ": " << outcome.out;
        EXPECT_EQ(outcome.err, "") << c.fault;
    }
}

// What a run whose build runs out of memory must end with.
void expect_out_of_memory(const FaultedRun &run, long first_failing, const std::string &shown) {
    ASSERT_FALSE(run.injected.empty()) << shown;
    EXPECT_EQ(run.injected.front(), alloc(first_failing)) << shown;
    EXPECT_EQ(run.outcome.status, 2) << shown;
    EXPECT_EQ(run.outcome.out, prompt) << shown;
    EXPECT_EQ(run.outcome.err, out_of_memory) << shown;
}

TEST_F(Faults, MemoryForTheTableRunsOut) {
    const long last_row = row_pointers + rows_of_eight;
    const std::vector<std::pair<const char *, long>> cases = {
        {"FAULT_ALLOC_FAIL", row_pointers},            // the array of row pointers
        {"FAULT_ALLOC_FAIL", row_pointers + 1},        // the first row
        {"FAULT_ALLOC_FAIL", row_pointers + 20000},    // a row among the others
        {"FAULT_ALLOC_FAIL", last_row},                // the last row
        {"FAULT_ALLOC_FAIL", last_row + 1},            // the working array
        {"FAULT_ALLOC_FAIL_FROM", row_pointers},       // for good, from the start of the build
        {"FAULT_ALLOC_FAIL_FROM", row_pointers + 777}  // for good, from among the rows
    };
    for (const auto &[name, k] : cases) {
        const std::string c = fault(name, k);
        const FaultedRun run = run_faulted({c});
        expect_out_of_memory(run, k, c);
        if (std::string(name) == "FAULT_ALLOC_FAIL") {
            EXPECT_EQ(run.injected.size(), 1U) << c;
        }
    }
}

TEST_F(Faults, EveryAllocationButTheMiddleRowsMayFail) {
    // Before the table (standard I/O buffers) and after it (the workers' starts)
    // the run gets by without the memory; within the build it stops cleanly.
    const long last_row = row_pointers + rows_of_eight;
    std::vector<long> chosen;
    for (long k = first_traced; k <= row_pointers + 1; ++k) {
        chosen.push_back(k);
    }
    for (long k = last_row; k <= last_traced; ++k) {
        chosen.push_back(k);
    }
    for (const long k : chosen) {
        for (const bool for_good : {false, true}) {
            const std::string c = fault(for_good ? "FAULT_ALLOC_FAIL_FROM" : "FAULT_ALLOC_FAIL", k);
            const bool build_fails = (k >= row_pointers || for_good) && k <= last_row + 1;
            const FaultedRun run = run_faulted({c});
            if (build_fails) {
                expect_out_of_memory(run, k, c);
                continue;
            }
            ASSERT_FALSE(run.injected.empty()) << c;
            EXPECT_EQ(run.injected.front(), alloc(k)) << c;
            EXPECT_EQ(run.outcome.status, 0) << c;
            EXPECT_TRUE(allowed_output(8, run.outcome.out)) << c << ": " << run.outcome.out;
            EXPECT_EQ(run.outcome.err, "") << c;
        }
    }
}

TEST_F(Faults, ALockThatFailsStopsTheRunWithoutAResult) {
    struct Case {
        std::vector<std::string> faults;
        std::vector<std::string> injected;
    };
    // With no worker started, the driver itself meets the failing lock.
    std::vector<std::string> on_the_driver = threads_failed("0,1,2,3,4,5,6,7");
    on_the_driver.emplace_back("lock 20000 main");
    const std::vector<Case> cases = {
        {{"FAULT_LOCK_FAIL=1"}, {"lock 1 worker"}},
        {{"FAULT_LOCK_FAIL=20000"}, {"lock 20000 worker"}},
        {{"FAULT_LOCK_FAIL=20000", "FAULT_THREAD_FAIL=all"}, on_the_driver},
    };
    for (const Case &c : cases) {
        const auto [outcome, injected] = run_faulted(c.faults);
        EXPECT_EQ(injected, c.injected) << c.faults.front();
        EXPECT_EQ(outcome.status, 2) << c.faults.front();
        EXPECT_EQ(outcome.out, prompt) << c.faults.front();
        EXPECT_EQ(outcome.err, lock_failed) << c.faults.front();
    }
}

TEST_F(Faults, AWorkerThatCannotBeJoinedEndsTheRun) {
    const auto [outcome, injected] = run_faulted({"FAULT_JOIN_FAIL=4"});
    EXPECT_EQ(injected, std::vector<std::string>{"join 4"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, prompt);
    EXPECT_EQ(outcome.err, "join_order_search: cannot join a worker: Invalid argument\n");
}

TEST(OutputFaults, AReportThatCannotBeWrittenIsAFailure) {
    struct Case {
        Output output;
        const char *input;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {Output::dev_full, "8\n", 2, "join_order_search: cannot write the result: No space left on device\n"},
        {Output::dev_full, "1\n", 2, "join_order_search: cannot write the result: No space left on device\n"},
        {Output::closed, "3\n", 2, "join_order_search: cannot write the result: Bad file descriptor\n"},
        {Output::dev_full, "9\n", 1, ""},  // a rejection keeps its own status
        {Output::closed, "x\n", 1, ""},
    };
    for (const Case &c : cases) {
        RunOptions options;
        options.output = c.output;
        const Outcome outcome = run_program(program, c.input, options);
        EXPECT_EQ(outcome.status, c.status) << c.input;
        EXPECT_EQ(outcome.err, c.err) << c.input;
    }
}

}  // namespace
}  // namespace join_order_search::testing
