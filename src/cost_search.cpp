// Prices join orders and keeps the cheapest one seen by any worker.
#include "cost_search.hpp"

#include <algorithm>
#include <cassert>
#include <system_error>

namespace join_order_search {

int best_cost = INT_MAX;
std::array<int, MAX_TABLES> best_order{};
std::mutex mutex;
std::array<int, NUM_THREADS> worker_errors{};

namespace {

// A pair of tables costs 1 to PAIR_COST_RANGE: its sum wraps at that value.
constexpr int PAIR_COST_RANGE = 10;

// The cost of a pair by the sum of its two table numbers, for every sum two
// different tables of at most MAX_TABLES can have. Looked up rather than
// divided for, since pricing is the search's inner loop.
constexpr auto PAIR_COST = [] {
    std::array<int, 2 * MAX_TABLES - 2> cost{};
    for (int sum = 0; sum < static_cast<int>(cost.size()); ++sum) {
        cost[static_cast<std::size_t>(sum)] = sum % PAIR_COST_RANGE + 1;
    }
    return cost;
}();

}  // namespace

int estimate_cost(const int *order) {
    int cost = 0;
    for (int i = 1; i < num_tables; ++i) {
        const int sum = order[i - 1] + order[i];
        assert(sum >= 0 && sum < static_cast<int>(PAIR_COST.size()) &&
               "a join order holds each table number below MAX_TABLES once");
        cost += PAIR_COST[static_cast<std::size_t>(sum)];
    }
    return cost;
}

Slice slice_of(int worker) {
    const int chunk_size = num_permutations / NUM_THREADS;
    const int begin = worker * chunk_size;
    const int end = worker == NUM_THREADS - 1 ? num_permutations : begin + chunk_size;
    return {begin, end};
}

void *evaluate_chunk(void *worker_index) noexcept {
    const int worker = *static_cast<const int *>(worker_index);
    const Slice slice = slice_of(worker);
    try {
        for (int r = slice.begin; r < slice.end; ++r) {
            const int *row = table_row(r);
            // Priced outside the lock: the critical section is one comparison
            // and, on improvement, one copy of at most MAX_TABLES entries.
            const int cost = estimate_cost(row);
            const std::lock_guard<std::mutex> lock(mutex);
            if (cost < best_cost) {
                best_cost = cost;
                std::copy_n(row, num_tables, best_order.begin());
            }
        }
    } catch (const std::system_error &error) {
        worker_errors[static_cast<std::size_t>(worker)] = error.code().value();
    }
    return nullptr;
}

}  // namespace join_order_search
