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
// factorial(num_tables) once the table is built; the number of rows.
extern int num_permutations;
// num_permutations rows; read-only between build and release.
extern std::unique_ptr<Row[]> permutations;

// Row r of the built table, 0 <= r < num_permutations.
inline const int *table_row(int r) {
    return permutations[static_cast<std::size_t>(r)].get();
}

// 1 for n <= 1, otherwise n * factorial(n - 1).
int factorial(int n);

// Exchanges *a and *b.
void swap(int *a, int *b);

// Writes every ordering of work[0..k) into rows, starting at row *next_row and
// advancing it by one per row. Each row receives all num_tables entries of work.
// Heap's algorithm with a swap after each of the k recursive calls, the last one
// included, so the row order differs from the common k - 1 swap form from 4
// tables on.
void generate_permutations(int k, int *work, Row *rows, int *next_row);

// Sets num_permutations and fills permutations with every join order of
// num_tables tables (1 to MAX_TABLES). Throws std::bad_alloc when the heap runs
// out; the table is then left released, with nothing held.
void build_permutation_table();

// Frees every row in row order, then the array of rows. Safe on a table that was
// never built or is already released.
void release_permutation_table() noexcept;

}  // namespace join_order_search
