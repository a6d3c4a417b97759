// The permutation table: every join order of num_tables tables, one heap row per
// order, written in the fixed order of the recursive Heap's algorithm below.
#pragma once

#include <cstddef>
#include <memory>

namespace join_order_search {

// The largest accepted number of tables, and the width of the best-order record.
inline constexpr int MAX_TABLES = 8;

// One join order: num_tables table numbers in a heap array of its own.
using Row = std::unique_ptr<int[]>;

// Set once by the driver before the table is built; the row width.
extern int num_tables;
// The number of rows of the table: factorial(num_tables) once it is built, 0
// while there is none.
extern int num_permutations;
// num_permutations rows; read-only between build and release.
extern std::unique_ptr<Row[]> permutations;

// Row r of the built table, 0 <= r < num_permutations.
inline const int *table_row(int r) {
    return permutations[static_cast<std::size_t>(r)].get();
}

// The number of join orders of n tables, n!; 1 for n of 1 or less. Overflows
// int above 12 tables, far past the MAX_TABLES the driver accepts.
int factorial(int n);

// Exchanges the two table numbers in place; the generation's only way of
// moving entries of the working array.
void swap(int *a, int *b);

// Writes every ordering of work[0..k) into rows, starting at row *next_row and
// advancing it by one per row. Each row receives all num_tables entries of work.
// Heap's algorithm with a swap after each of the k recursive calls, the last one
// included, so the row order differs from the common k - 1 swap form from 4
// tables on.
void generate_permutations(int k, int *work, Row *rows, int *next_row);

// Releases any table already built, then sets num_permutations and fills
// permutations with every join order of num_tables tables (1 to MAX_TABLES).
// Returns false when the heap runs out, having released whatever it got; it
// needs no memory to say so.
bool build_permutation_table() noexcept;

// Frees every row in row order, then the array of rows, and sets
// num_permutations to 0. Safe on a table that was never built or is already
// released.
void release_permutation_table() noexcept;

// Owns the table for a scope: releases it on every path out of that scope.
class TableOwner {
public:
    TableOwner() = default;
    TableOwner(const TableOwner &) = delete;
    TableOwner &operator=(const TableOwner &) = delete;
    TableOwner(TableOwner &&) = delete;
    TableOwner &operator=(TableOwner &&) = delete;
    ~TableOwner() { release_permutation_table(); }
};

}  // namespace join_order_search
