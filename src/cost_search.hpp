// The cost model, the split of the permutation table into one slice per worker,
// the worker routine, and the shared best record with its lock.
#pragma once

#include <array>
#include <climits>
#include <mutex>

#include "permutation_table.hpp"

namespace join_order_search {

// The number of workers the search is split into.
inline constexpr int NUM_THREADS = 8;

// The lowest cost found so far; only ever decreases, only under `mutex`.
extern int best_cost;
// Entries [0, num_tables) hold a join order of cost best_cost once one is found.
extern std::array<int, MAX_TABLES> best_order;
// Guards best_cost and best_order.
extern std::mutex mutex;
// Entry w is 0, or the error code of the lock failure that stopped worker w.
// Written only by whoever runs slice w, read by the driver after the search.
extern std::array<int, NUM_THREADS> worker_errors;

// The rows [begin, end) of the permutation table that one worker evaluates.
struct Slice {
    int begin;
    int end;
};

// Sum over adjacent pairs of ((a + b) mod 10) + 1; 0 for a single table.
int estimate_cost(const int *order);

// The slice of worker `worker`: num_permutations / NUM_THREADS rows each, the
// last worker also taking what the division leaves over.
Slice slice_of(int worker);

// The worker routine, as a thread start routine: evaluates the slice of worker
// *static_cast<int *>(worker_index) in ascending row order, taking `mutex` once
// per row and replacing the best only on a strictly lower cost. A lock failure
// ends the slice early and is recorded in worker_errors. Returns null.
void *evaluate_chunk(void *worker_index) noexcept;

}  // namespace join_order_search
