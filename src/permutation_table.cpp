// Builds and releases the permutation table.
#include "permutation_table.hpp"

#include <algorithm>
#include <cstddef>
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

void build_permutation_table() {
    const auto width = static_cast<std::size_t>(num_tables);
    num_permutations = factorial(num_tables);
    try {
        // Null rows, so that a build cut short by the heap releases cleanly.
        permutations = std::make_unique<Row[]>(static_cast<std::size_t>(num_permutations));
        // Every entry of a row is written by the generation: no zero fill.
        for (int r = 0; r < num_permutations; ++r) {
            permutations[static_cast<std::size_t>(r)] = std::make_unique_for_overwrite<int[]>(width);
        }
        const auto work = std::make_unique_for_overwrite<int[]>(width);
        std::iota(work.get(), work.get() + num_tables, 0);
        int next_row = 0;
        generate_permutations(num_tables, work.get(), permutations.get(), &next_row);
    } catch (...) {
        release_permutation_table();
        throw;
    }
}

void release_permutation_table() noexcept {
    if (permutations) {
        for (int r = 0; r < num_permutations; ++r) {
            permutations[static_cast<std::size_t>(r)].reset();
        }
    }
    permutations.reset();
}

}  // namespace join_order_search
