// Starting and joining the search's workers: one thread per slice, and the
// calling thread standing in for any worker that cannot be started.
#pragma once

namespace join_order_search {

// How the workers of one search ended.
struct SearchRun {
    int started;     // the workers that ran on a thread of their own, 0 to NUM_THREADS
    int join_error;  // 0, or the error code of the first join that failed
};

// Starts NUM_THREADS workers one after another, worker w running evaluate_chunk
// with the address of the integer w; searches on the calling thread, in worker
// order, the slice of every worker that could not be started; then joins the
// started workers in worker order, each exactly once. Needs no memory of its
// own and raises nothing. After a failed join that worker may still be reading
// the table, so the table must not be released: the caller ends the process.
SearchRun run_workers() noexcept;

}  // namespace join_order_search
