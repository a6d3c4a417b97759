// Builds and releases the permutation table.
#include "permutation_table.hpp"

#include <algorithm>
#include <cstddef>
#include <new>
#include <numeric>

namespace join_order_search {

int num_tables = 0;
int num_permutations = 0;
std::unique_ptr<Row[]> permutations;

int factorial(int n) {
    return n <= 1 ? 1 : n * factorial(n - 1);
}

void swap(int *a, int *b) {
    const int held = *a;
    *a = *b;
    *b = held;
}

void generate_permutations(int k, int *work, Row *rows, int *next_row) {
    if (k == 1) {
        std::copy_n(work, num_tables, rows[*next_row].get());
        ++*next_row;
        return;
    }
    for (int i = 0; i < k; ++i) {
        generate_permutations(k - 1, work, rows, next_row);
        swap(&work[(k % 2 == 1) ? 0 : i], &work[k - 1]);
    }
}

bool build_permutation_table() noexcept {
    // Whatever table is there goes first, while num_permutations still counts
    // its rows; only then is the new count set.
    release_permutation_table();
    const auto width = static_cast<std::size_t>(num_tables);
    const int rows = factorial(num_tables);
    // Every allocation reports failure by a null pointer, not an exception: a
    // bad_alloc needs memory of its own, which may be the very thing missing.
    // The rows start null, so that a build cut short releases cleanly; their
    // entries are left unset, since the generation writes every one.
    permutations = std::unique_ptr<Row[]>(new (std::nothrow) Row[static_cast<std::size_t>(rows)]);
    if (!permutations) {
        return false;
    }
    num_permutations = rows;
    for (int r = 0; r < num_permutations; ++r) {
        Row &row = permutations[static_cast<std::size_t>(r)];
        row = Row(new (std::nothrow) int[width]);
        if (!row) {
            release_permutation_table();
            return false;
        }
    }
    const std::unique_ptr<int[]> work(new (std::nothrow) int[width]);
    if (!work) {
        release_permutation_table();
        return false;
    }
    std::iota(work.get(), work.get() + num_tables, 0);
    int next_row = 0;
    generate_permutations(num_tables, work.get(), permutations.get(), &next_row);
    return true;
}

void release_permutation_table() noexcept {
    if (permutations) {
        for (int r = 0; r < num_permutations; ++r) {
            permutations[static_cast<std::size_t>(r)].reset();
        }
    }
    permutations.reset();
    num_permutations = 0;
}

}  // namespace join_order_search
