// Tests of the permutation table: the exact row order of the generation, and that
// every build holds each join order exactly once.
#include "permutation_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <vector>

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
        build_permutation_table();
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
    release_permutation_table();
    EXPECT_EQ(permutations, nullptr);
}

}  // namespace
}  // namespace join_order_search
