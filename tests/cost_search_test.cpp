// Tests of the cost model, the slices, and the search over a built table.
#include "cost_search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "workers.hpp"

namespace join_order_search {
namespace {

using Order = std::vector<int>;

TEST(EstimateCost, SumsThePairCostsWithTheirWrap) {
    const std::vector<std::pair<Order, int>> cases = {
        {{0}, 0},  // a single table has no pair
        {{0, 1}, 2},
        {{0, 1, 2}, 6},
        {{1, 0, 2}, 5},
        {{4, 6}, 1},   // 10 wraps to the cheapest pair
        {{7, 6}, 4},   // 13 wraps to 3
        {{5, 4}, 10},  // 9 is the dearest pair
        {{0, 1, 2, 3, 4, 5, 6, 7}, 36},
        {{7, 6, 5, 4, 3, 2, 1, 0}, 36},
    };
    for (const auto &[order, expected] : cases) {
        num_tables = static_cast<int>(order.size());
        EXPECT_EQ(estimate_cost(order.data()), expected) << ::testing::PrintToString(order);
    }
}

TEST(SliceOf, SlicesCoverTheTableInOrderWithoutOverlap) {
    for (int tables = 1; tables <= MAX_TABLES; ++tables) {
        num_tables = tables;
        num_permutations = factorial(tables);
        int next = 0;
        for (int w = 0; w < NUM_THREADS; ++w) {
            const Slice slice = slice_of(w);
            EXPECT_EQ(slice.begin, next) << tables << " tables, worker " << w;
            EXPECT_LE(slice.begin, slice.end) << tables << " tables, worker " << w;
            if (tables >= 4) {
                EXPECT_EQ(slice.end - slice.begin, num_permutations / NUM_THREADS)
                    << tables << " tables, worker " << w;
            } else if (w < NUM_THREADS - 1) {
                EXPECT_EQ(slice.begin, slice.end) << tables << " tables, worker " << w;
            }
            next = slice.end;
        }
        EXPECT_EQ(next, num_permutations) << tables << " tables";
    }
}

// A built table for a number of tables and a fresh shared best.
class Search : public ::testing::Test {
protected:
    static void start(int tables) {
        num_tables = tables;
        ASSERT_TRUE(build_permutation_table()) << tables << " tables";
        best_cost = INT_MAX;
        best_order = {};
        worker_errors = {};
    }
    void TearDown() override { release_permutation_table(); }

    static Order best() { return {best_order.begin(), best_order.begin() + num_tables}; }
    static Order row(int r) { return {table_row(r), table_row(r) + num_tables}; }

    static int lowest_cost() {
        int lowest = INT_MAX;
        for (int r = 0; r < num_permutations; ++r) {
            lowest = std::min(lowest, estimate_cost(table_row(r)));
        }
        return lowest;
    }

    // The orders the search may end on: in each slice, the first row of the
    // lowest cost of the whole table.
    static std::vector<Order> possible_results() {
        const int lowest = lowest_cost();
        std::vector<Order> results;
        for (int w = 0; w < NUM_THREADS; ++w) {
            const Slice slice = slice_of(w);
            for (int r = slice.begin; r < slice.end; ++r) {
                if (estimate_cost(table_row(r)) == lowest) {
                    results.push_back(row(r));
                    break;
                }
            }
        }
        return results;
    }
};

TEST_F(Search, EightWorkersFindTheLowestCost) {
    const std::vector<int> lowest = {0, 2, 5, 10, 17, 26, 20, 16};
    for (int tables = 1; tables <= MAX_TABLES; ++tables) {
        start(tables);
        const SearchRun run = run_workers();
        EXPECT_EQ(run.started, NUM_THREADS) << tables << " tables";
        EXPECT_EQ(run.join_error, 0) << tables << " tables";
        EXPECT_EQ(best_cost, lowest[static_cast<std::size_t>(tables - 1)]) << tables << " tables";
        EXPECT_EQ(best_cost, lowest_cost()) << tables << " tables";
        EXPECT_EQ(estimate_cost(best_order.data()), best_cost) << tables << " tables";
        const std::vector<Order> allowed = possible_results();
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), best()), allowed.end())
            << tables << " tables: " << ::testing::PrintToString(best());
        EXPECT_EQ(worker_errors, (std::array<int, NUM_THREADS>{}));
        release_permutation_table();
    }
}

TEST_F(Search, EqualCostNeverReplacesTheBest) {
    // Slices run one after another in row order, so the first row of the lowest
    // cost in the whole table must be the one kept.
    for (int tables = 1; tables <= MAX_TABLES; ++tables) {
        start(tables);
        for (int w = 0; w < NUM_THREADS; ++w) {
            evaluate_chunk(&w);
        }
        EXPECT_EQ(best(), possible_results().front()) << tables << " tables";
        release_permutation_table();
    }
}

TEST_F(Search, UpToThreeTablesTheLastWorkerDoesAllTheWork) {
    const std::vector<std::pair<int, Order>> cases = {{1, {0}}, {2, {0, 1}}, {3, {1, 0, 2}}};
    for (const auto &[tables, expected] : cases) {
        start(tables);
        for (int w = 0; w < NUM_THREADS - 1; ++w) {
            evaluate_chunk(&w);
        }
        EXPECT_EQ(best_cost, INT_MAX) << tables << " tables";
        int last = NUM_THREADS - 1;
        evaluate_chunk(&last);
        EXPECT_EQ(best(), expected) << tables << " tables";
        release_permutation_table();
    }
}

TEST_F(Search, OnlyTheOwnSliceIsEvaluated) {
    start(5);
    // Worker 4's slice holds none of the rows of the lowest cost, 17.
    int w = 4;
    evaluate_chunk(&w);
    const Slice slice = slice_of(w);
    int lowest_in_slice = INT_MAX;
    for (int r = slice.begin; r < slice.end; ++r) {
        lowest_in_slice = std::min(lowest_in_slice, estimate_cost(table_row(r)));
    }
    EXPECT_EQ(best_cost, lowest_in_slice);
    EXPECT_GT(best_cost, lowest_cost());
}

}  // namespace
}  // namespace join_order_search
