// Runs the built program with faults injected by the preloaded fault library:
// workers that cannot start, memory that runs out, a lock or join that fails,
// and a report that cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "expected_output.hpp"
#include "process.hpp"

namespace join_order_search::testing {
namespace {

const std::string &program = program_path();
const std::string preload = std::string("LD_PRELOAD=") + FAULT_LIBRARY;
const std::string out_of_memory = "join_order_search: out of memory building the permutation table\n";
const std::string lock_failed = "join_order_search: cannot lock the best-cost record: Invalid argument\n";

constexpr long rows_of_eight = 40320;

// AddressSanitizer insists on coming first among the libraries; the fault
// library must stand in front of it, and passes every call it lets through on
// to the sanitizer's own.
std::string asan_options() {
    const char *options = std::getenv("ASAN_OPTIONS");
    return std::string("ASAN_OPTIONS=") + (options != nullptr ? options : "") + ":verify_asan_link_order=0";
}

Outcome run_faulted(const std::vector<std::string> &faults, const std::string &input = "8\n") {
    std::vector<std::string> env = {preload, asan_options()};
    env.insert(env.end(), faults.begin(), faults.end());
    return run_program(program, input, env);
}

std::string fault(const char *name, long value) {
    return std::string(name) + "=" + std::to_string(value);
}

// Finds, by a traced run of the same binary, the number of the allocation that
// takes the array of row pointers for 8 tables (the rows and the working array
// follow it), and those that start the workers.
class Faults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const Outcome traced = run_faulted({"FAULT_ALLOC_TRACE=1"});
        ASSERT_EQ(traced.status, 0);
        struct Allocation {
            long index;
            long size;
            bool by_new;
        };
        std::vector<Allocation> allocations;
        std::istringstream lines(traced.err);
        for (std::string line; std::getline(lines, line);) {
            Allocation a{};
            std::array<char, 8> kind{};
            ASSERT_EQ(
                std::sscanf(line.c_str(), "fault_inject: alloc %ld %ld %7s", &a.index, &a.size, kind.data()),
                3)
                << line;
            a.by_new = std::string(kind.data()) == "new";
            allocations.push_back(a);
        }
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
        }
        row_pointers = pointers->index;
        first_traced = allocations.front().index;
        last_traced = allocations.back().index;
        // Each worker's start takes one operator new; the thread library's own
        // allocations come in between. Where the program has the C++ runtime
        // linked in, its operator new is out of reach and only the malloc below
        // it is seen: the starts are then the allocations of the first one's size.
        const auto first_start = pointers + rows_of_eight + 2;
        ASSERT_NE(first_start, allocations.end());
        const bool new_seen =
            std::any_of(first_start, allocations.end(), [](const auto &a) { return a.by_new; });
        for (auto a = first_start; a != allocations.end(); ++a) {
            if (new_seen ? a->by_new : a->size == first_start->size) {
                worker_starts.push_back(a->index);
            }
        }
        ASSERT_EQ(worker_starts.size(), 8U);
    }

    void SetUp() override { ASSERT_GT(row_pointers, 0) << "the trace run failed"; }

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
        const Outcome outcome = run_faulted({"FAULT_THREAD_FAIL=" + workers});
        EXPECT_EQ(outcome.status, 0) << "workers " << workers;
        EXPECT_TRUE(allowed_output(8, outcome.out)) << "workers " << workers << ": " << outcome.out;
        EXPECT_EQ(outcome.err, "") << "workers " << workers;
    }
}

TEST_F(Faults, NoWorkerStartsAndTheDriverSearchesEverySliceInOrder) {
    // Slice by slice in row order, the first row of cost 16 is worker 3's.
    const Outcome outcome = run_faulted({"FAULT_THREAD_FAIL=all"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, prompt + "Best Cost: 16\nJoin Order: 5 6 4 7 3 0 1 2 \n");
    EXPECT_EQ(outcome.err, "");
}

TEST_F(Faults, MemoryForStartingWorkersRunsOut) {
    const std::vector<std::string> cases = {fault("FAULT_ALLOC_FAIL", worker_starts[0]),
                                            fault("FAULT_ALLOC_FAIL", worker_starts[3]),
                                            fault("FAULT_ALLOC_FAIL_FROM", worker_starts[0])};
    for (const std::string &c : cases) {
        const Outcome outcome = run_faulted({c});
        EXPECT_EQ(outcome.status, 0) << c;
        EXPECT_TRUE(allowed_output(8, outcome.out)) << c << ": " << outcome.out;
        EXPECT_EQ(outcome.err, "") << c;
    }
}

TEST_F(Faults, MemoryForTheTableRunsOut) {
    const long last_row = row_pointers + rows_of_eight;
    const std::vector<std::string> cases = {
        fault("FAULT_ALLOC_FAIL", row_pointers),            // the array of row pointers
        fault("FAULT_ALLOC_FAIL", row_pointers + 1),        // the first row
        fault("FAULT_ALLOC_FAIL", row_pointers + 20000),    // a row among the others
        fault("FAULT_ALLOC_FAIL", last_row),                // the last row
        fault("FAULT_ALLOC_FAIL", last_row + 1),            // the working array
        fault("FAULT_ALLOC_FAIL_FROM", row_pointers),       // for good, from the start of the build
        fault("FAULT_ALLOC_FAIL_FROM", row_pointers + 777)  // for good, from among the rows
    };
    for (const std::string &c : cases) {
        const Outcome outcome = run_faulted({c});
        EXPECT_EQ(outcome.status, 2) << c;
        EXPECT_EQ(outcome.out, prompt) << c;
        EXPECT_EQ(outcome.err, out_of_memory) << c;
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
            const Outcome outcome = run_faulted({c});
            if (build_fails) {
                EXPECT_EQ(outcome.status, 2) << c;
                EXPECT_EQ(outcome.out, prompt) << c;
                EXPECT_EQ(outcome.err, out_of_memory) << c;
            } else {
                EXPECT_EQ(outcome.status, 0) << c;
                EXPECT_TRUE(allowed_output(8, outcome.out)) << c << ": " << outcome.out;
                EXPECT_EQ(outcome.err, "") << c;
            }
        }
    }
}

TEST_F(Faults, ALockThatFailsStopsTheRunWithoutAResult) {
    const std::vector<std::vector<std::string>> cases = {
        {"FAULT_LOCK_FAIL=1"},
        {"FAULT_LOCK_FAIL=20000"},
        {"FAULT_LOCK_FAIL=20000", "FAULT_THREAD_FAIL=2,5"},  // in a slice the driver searches
    };
    for (const std::vector<std::string> &c : cases) {
        const Outcome outcome = run_faulted(c);
        EXPECT_EQ(outcome.status, 2) << c.front();
        EXPECT_EQ(outcome.out, prompt) << c.front();
        EXPECT_EQ(outcome.err, lock_failed) << c.front();
    }
}

TEST_F(Faults, AWorkerThatCannotBeJoinedEndsTheRun) {
    const Outcome outcome = run_faulted({"FAULT_JOIN_FAIL=4"});
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
        const Outcome outcome = run_program(program, c.input, {}, c.output);
        EXPECT_EQ(outcome.status, c.status) << c.input;
        EXPECT_EQ(outcome.err, c.err) << c.input;
    }
}

}  // namespace
}  // namespace join_order_search::testing
