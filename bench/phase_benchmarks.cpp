// Times the phases of a run with 8 tables: building the table, pricing every
// row, the eight-worker search, and the release.
#include <benchmark/benchmark.h>

#include <array>
#include <climits>
#include <thread>

#include "cost_search.hpp"
#include "permutation_table.hpp"

namespace join_order_search {
namespace {

void build_table(benchmark::State &state) {
    num_tables = MAX_TABLES;
    for (auto _ : state) {
        build_permutation_table();
        state.PauseTiming();
        release_permutation_table();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * factorial(MAX_TABLES));
}
BENCHMARK(build_table)->Unit(benchmark::kMicrosecond);

void price_every_row(benchmark::State &state) {
    num_tables = MAX_TABLES;
    build_permutation_table();
    for (auto _ : state) {
        int total = 0;
        for (int r = 0; r < num_permutations; ++r) {
            total += estimate_cost(table_row(r));
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * num_permutations);
    release_permutation_table();
}
BENCHMARK(price_every_row)->Unit(benchmark::kMicrosecond);

void parallel_search(benchmark::State &state) {
    num_tables = MAX_TABLES;
    build_permutation_table();
    for (auto _ : state) {
        best_cost = INT_MAX;
        std::array<int, NUM_THREADS> ids{};
        std::array<std::thread, NUM_THREADS> workers;
        for (int w = 0; w < NUM_THREADS; ++w) {
            ids[static_cast<std::size_t>(w)] = w;
            workers[static_cast<std::size_t>(w)] =
                std::thread(evaluate_chunk, &ids[static_cast<std::size_t>(w)]);
        }
        for (std::thread &worker : workers) {
            worker.join();
        }
        benchmark::DoNotOptimize(best_cost);
    }
    state.SetItemsProcessed(state.iterations() * num_permutations);
    release_permutation_table();
}
BENCHMARK(parallel_search)->Unit(benchmark::kMicrosecond)->UseRealTime();

void release_table(benchmark::State &state) {
    num_tables = MAX_TABLES;
    for (auto _ : state) {
        state.PauseTiming();
        build_permutation_table();
        state.ResumeTiming();
        release_permutation_table();
    }
    state.SetItemsProcessed(state.iterations() * factorial(MAX_TABLES));
}
BENCHMARK(release_table)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace join_order_search

BENCHMARK_MAIN();
