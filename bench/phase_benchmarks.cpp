// Times the phases of a run with 8 tables: building the table, pricing every
// row, the eight-worker search, and the release.
#include <benchmark/benchmark.h>

#include <climits>

#include "cost_search.hpp"
#include "permutation_table.hpp"
#include "workers.hpp"

namespace join_order_search {
namespace {

// Builds the table for 8 tables; a build that runs out of memory ends the
// benchmark with an error rather than timing an empty table.
bool build(benchmark::State &state) {
    num_tables = MAX_TABLES;
    if (!build_permutation_table()) {
        state.SkipWithError("out of memory building the permutation table");
        return false;
    }
    return true;
}

void build_table(benchmark::State &state) {
    for (auto _ : state) {
        if (!build(state)) {
            break;
        }
        state.PauseTiming();
        release_permutation_table();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * factorial(MAX_TABLES));
}
BENCHMARK(build_table)->Unit(benchmark::kMicrosecond);

void price_every_row(benchmark::State &state) {
    const TableOwner table;
    if (!build(state)) {
        return;
    }
    for (auto _ : state) {
        int total = 0;
        for (int r = 0; r < num_permutations; ++r) {
            total += estimate_cost(table_row(r));
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * num_permutations);
}
BENCHMARK(price_every_row)->Unit(benchmark::kMicrosecond);

void parallel_search(benchmark::State &state) {
    const TableOwner table;
    if (!build(state)) {
        return;
    }
    for (auto _ : state) {
        best_cost = INT_MAX;
        const SearchRun run = run_workers();
        if (run.started != NUM_THREADS || run.join_error != 0) {
            state.SkipWithError("not every worker started and was joined");
            break;
        }
        benchmark::DoNotOptimize(best_cost);
    }
    state.SetItemsProcessed(state.iterations() * num_permutations);
}
BENCHMARK(parallel_search)->Unit(benchmark::kMicrosecond)->UseRealTime();

void release_table(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        const bool built = build(state);
        state.ResumeTiming();
        if (!built) {
            break;
        }
        release_permutation_table();
    }
    state.SetItemsProcessed(state.iterations() * factorial(MAX_TABLES));
}
BENCHMARK(release_table)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace join_order_search

BENCHMARK_MAIN();
