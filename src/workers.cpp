// Starts the search's workers through the POSIX calls, whose failures come back
// as error codes: a failure to start a thread is then handled without an
// exception, which itself would need the memory that may be missing.
#include "workers.hpp"

#include <pthread.h>

#include <array>
#include <cstddef>

#include "cost_search.hpp"

namespace join_order_search {
namespace {

// One worker thread: started at most once, and joined exactly once if it was
// started, at the latest when it goes out of scope.
class WorkerThread {
public:
    WorkerThread() = default;
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;
    WorkerThread(WorkerThread &&) = delete;
    WorkerThread &operator=(WorkerThread &&) = delete;
    ~WorkerThread() { join(); }

    // Starts evaluate_chunk(worker_index) on a thread of its own; false if none
    // could be started.
    bool start(int *worker_index) noexcept {
        joinable_ = pthread_create(&thread_, nullptr, evaluate_chunk, worker_index) == 0;
        return joinable_;
    }

    [[nodiscard]] bool joinable() const noexcept { return joinable_; }

    // Waits for the thread to end: 0, or the error of a join that failed. Either
    // way the thread is not joined again.
    int join() noexcept {
        if (!joinable_) {
            return 0;
        }
        joinable_ = false;
        return pthread_join(thread_, nullptr);
    }

private:
    pthread_t thread_{};
    bool joinable_ = false;
};

}  // namespace

SearchRun run_workers() noexcept {
    // Worker w is handed &thread_ids[w]; declared first, the array outlives
    // every thread, since `threads` joins whatever is left as it goes.
    std::array<int, NUM_THREADS> thread_ids{};
    std::array<WorkerThread, NUM_THREADS> threads;
    SearchRun run{0, 0};
    for (std::size_t w = 0; w < threads.size(); ++w) {
        thread_ids[w] = static_cast<int>(w);
        if (threads[w].start(&thread_ids[w])) {
            ++run.started;
        }
    }
    for (std::size_t w = 0; w < threads.size(); ++w) {
        if (!threads[w].joinable()) {
            evaluate_chunk(&thread_ids[w]);
        }
    }
    for (WorkerThread &thread : threads) {
        const int error = thread.join();
        if (error != 0 && run.join_error == 0) {
            run.join_error = error;
        }
    }
    return run;
}

}  // namespace join_order_search
