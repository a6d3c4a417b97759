// Tests of the permutation table: the exact row order of the generation, and that
// every build holds each join order exactly once.
#include "permutation_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <numeric>
#include <set>
#include <string>
#include <vector>

namespace {

// The table is allocated with nothrow array new, which these tests can make
// fail: the failing_allocation-th call from the last reset returns null.
long nothrow_allocations = 0;
long failing_allocation = 0;
bool failure_injected = false;

void fail_nothrow_allocation(long k) {
    nothrow_allocations = 0;
    failing_allocation = k;
    failure_injected = false;
}

}  // namespace

// Passes on to the throwing form, as the C++ runtime's own does, unless the
// call is the one chosen to fail.
void *operator new[](std::size_t size, const std::nothrow_t & /*unused*/) noexcept {
    if (++nothrow_allocations == failing_allocation) {
        failure_injected = true;
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

namespace join_order_search {
namespace {

using Order = std::vector<int>;

std::vector<Order> table_rows() {
    std::vector<Order> rows;
    rows.reserve(static_cast<std::size_t>(num_permutations));
    for (int r = 0; r < num_permutations; ++r) {
        rows.emplace_back(table_row(r), table_row(r) + num_tables);
    }
    return rows;
}

// Builds the table for a given number of tables and releases it afterwards.
class BuiltTable : public ::testing::Test {
protected:
    static void build(int tables) {
        num_tables = tables;
        ASSERT_TRUE(build_permutation_table()) << tables << " tables";
    }
    void TearDown() override { release_permutation_table(); }
};

TEST(Factorial, CountsJoinOrders) {
    const std::vector<std::pair<int, int>> cases = {{-3, 1}, {0, 1},   {1, 1},   {2, 2},    {3, 6},
                                                    {4, 24}, {5, 120}, {6, 720}, {7, 5040}, {8, 40320}};
    for (const auto &[n, expected] : cases) {
        EXPECT_EQ(factorial(n), expected) << "n = " << n;
    }
}

TEST_F(BuiltTable, RowOrderForUpToFourTables) {
    const std::vector<std::pair<int, std::vector<Order>>> cases = {
        {1, {{0}}},
        {2, {{0, 1}, {1, 0}}},
        {3, {{0, 1, 2}, {1, 0, 2}, {2, 0, 1}, {0, 2, 1}, {1, 2, 0}, {2, 1, 0}}},
        {4, {{0, 1, 2, 3}, {1, 0, 2, 3}, {2, 0, 1, 3}, {0, 2, 1, 3}, {1, 2, 0, 3}, {2, 1, 0, 3},
             {3, 1, 2, 0}, {1, 3, 2, 0}, {2, 3, 1, 0}, {3, 2, 1, 0}, {1, 2, 3, 0}, {2, 1, 3, 0},
             {3, 0, 2, 1}, {0, 3, 2, 1}, {2, 3, 0, 1}, {3, 2, 0, 1}, {0, 2, 3, 1}, {2, 0, 3, 1},
             {3, 0, 1, 2}, {0, 3, 1, 2}, {1, 3, 0, 2}, {3, 1, 0, 2}, {0, 1, 3, 2}, {1, 0, 3, 2}}},
    };
    for (const auto &[tables, expected] : cases) {
        build(tables);
        EXPECT_EQ(num_permutations, static_cast<int>(expected.size()));
        EXPECT_EQ(table_rows(), expected) << tables << " tables";
        release_permutation_table();
    }
}

TEST_F(BuiltTable, LeadingRowsFromThreeTablesOn) {
    for (int tables = 3; tables <= MAX_TABLES; ++tables) {
        build(tables);
        const std::vector<Order> rows = table_rows();
        Order tail(static_cast<std::size_t>(tables - 3));
        std::iota(tail.begin(), tail.end(), 3);
        const std::vector<Order> heads = {{0, 1, 2}, {1, 0, 2}, {2, 0, 1}};
        for (std::size_t r = 0; r < heads.size(); ++r) {
            Order expected = heads[r];
            expected.insert(expected.end(), tail.begin(), tail.end());
            EXPECT_EQ(rows[r], expected) << tables << " tables, row " << r;
        }
        if (tables >= 4) {
            // Where k swaps per level part from the common k - 1 swap form.
            EXPECT_EQ(Order(rows[6].begin(), rows[6].begin() + 4), (Order{3, 1, 2, 0}))
                << tables << " tables";
        }
        release_permutation_table();
    }
}

TEST_F(BuiltTable, LastRowForEightTables) {
    build(8);
    ASSERT_EQ(num_permutations, 40320);
    EXPECT_EQ(table_rows().back(), (Order{1, 0, 3, 2, 5, 4, 7, 6}));
}

TEST_F(BuiltTable, EveryJoinOrderExactlyOnce) {
    for (int tables = 1; tables <= MAX_TABLES; ++tables) {
        build(tables);
        ASSERT_EQ(num_permutations, factorial(tables));
        const std::vector<Order> rows = table_rows();
        Order identity(static_cast<std::size_t>(tables));
        std::iota(identity.begin(), identity.end(), 0);
        EXPECT_EQ(rows.front(), identity) << tables << " tables";
        for (const Order &row : rows) {
            ASSERT_TRUE(std::is_permutation(row.begin(), row.end(), identity.begin(), identity.end()))
                << tables << " tables";
        }
        EXPECT_EQ(std::set<Order>(rows.begin(), rows.end()).size(), rows.size()) << tables << " tables";
        release_permutation_table();
    }
}

TEST(GeneratePermutations, RowCounterEndsAtTheRowCount) {
    for (int tables = 1; tables <= MAX_TABLES; ++tables) {
        num_tables = tables;
        const int count = factorial(tables);
        std::vector<Row> rows(static_cast<std::size_t>(count));
        for (Row &row : rows) {
            row = std::make_unique<int[]>(static_cast<std::size_t>(tables));
        }
        Order work(static_cast<std::size_t>(tables));
        std::iota(work.begin(), work.end(), 0);
        int next_row = 0;
        generate_permutations(tables, work.data(), rows.data(), &next_row);
        EXPECT_EQ(next_row, count) << tables << " tables";
    }
}

TEST(GeneratePermutations, LeavesEntriesFromKOnInPlaceButCopiesThem) {
    num_tables = 5;
    constexpr int k = 3;
    std::vector<Row> rows(static_cast<std::size_t>(factorial(k)));
    for (Row &row : rows) {
        row = std::make_unique<int[]>(static_cast<std::size_t>(num_tables));
    }
    Order work = {0, 1, 2, 3, 4};
    int next_row = 0;
    generate_permutations(k, work.data(), rows.data(), &next_row);
    ASSERT_EQ(next_row, factorial(k));
    EXPECT_EQ(work[3], 3);
    EXPECT_EQ(work[4], 4);
    std::set<Order> heads;
    for (const Row &row : rows) {
        EXPECT_EQ(row[3], 3);
        EXPECT_EQ(row[4], 4);
        heads.insert(Order(row.get(), row.get() + k));
    }
    EXPECT_EQ(heads.size(), rows.size());
}

TEST_F(BuiltTable, ReleaseLeavesNothingAndMayBeRepeated) {
    build(5);
    release_permutation_table();
    EXPECT_EQ(permutations, nullptr);
    EXPECT_EQ(num_permutations, 0);
    release_permutation_table();
    EXPECT_EQ(permutations, nullptr);
}

TEST_F(BuiltTable, ABuildThatRunsOutOfMemoryLeavesNoTable) {
    // 3 tables take the array of 6 row pointers, 6 rows, then the working array.
    const std::vector<std::pair<long, const char *>> cases = {
        {1, "the array of row pointers"}, {2, "the first row"}, {4, "a middle row"}, {7, "the last row"},
        {8, "the working array"},
    };
    for (const auto &[k, what] : cases) {
        num_tables = 3;
        fail_nothrow_allocation(k);
        const bool built = build_permutation_table();
        const bool injected = failure_injected;
        fail_nothrow_allocation(0);
        EXPECT_TRUE(injected) << what;
        EXPECT_FALSE(built) << what;
        EXPECT_EQ(permutations, nullptr) << what;
        EXPECT_EQ(num_permutations, 0) << what;
    }
}

TEST_F(BuiltTable, ARebuildReplacesTheTableWhetherOrNotItSucceeds) {
    // A rebuild starts from a built table of another size; a failed one must
    // not walk the old rows with the new count (AddressSanitizer tells).
    struct Case {
        int from;
        int to;
        long failing;  // 0: the rebuild succeeds
    };
    const std::vector<Case> cases = {{3, 8, 1}, {3, 8, 2}, {8, 3, 1}, {8, 3, 5}, {3, 8, 0}, {8, 2, 0}};
    for (const Case &c : cases) {
        const std::string shown = std::to_string(c.from) + " to " + std::to_string(c.to) +
                                  " tables, failing " + std::to_string(c.failing);
        build(c.from);
        num_tables = c.to;
        fail_nothrow_allocation(c.failing);
        const bool built = build_permutation_table();
        const bool injected = failure_injected;
        fail_nothrow_allocation(0);
        EXPECT_EQ(injected, c.failing != 0) << shown;
        EXPECT_EQ(built, c.failing == 0) << shown;
        if (built) {
            ASSERT_EQ(num_permutations, factorial(c.to)) << shown;
            const std::vector<Order> rows = table_rows();
            EXPECT_EQ(std::set<Order>(rows.begin(), rows.end()).size(), rows.size()) << shown;
        } else {
            EXPECT_EQ(permutations, nullptr) << shown;
            EXPECT_EQ(num_permutations, 0) << shown;
        }
        release_permutation_table();
    }
}

}  // namespace
}  // namespace join_order_search
