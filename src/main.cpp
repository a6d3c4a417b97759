// The console driver: reads the number of tables, builds the permutation table,
// runs the eight-worker search and reports the cheapest join order.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "cost_search.hpp"
#include "permutation_table.hpp"
#include "workers.hpp"

namespace join_order_search {
namespace {

// Exit status after a resource failure: the input, memory, a lock, a worker or
// the output.
constexpr int EXIT_RESOURCE_FAILURE = 2;

constexpr int DECIMAL_BASE = 10;

void report_failure(const char *what) {
    std::fprintf(stderr, "join_order_search: %s\n", what);
}

void report_failure(const char *what, int error) {
    // Only the driver's thread runs here, so strerror's shared buffer is safe.
    std::fprintf(stderr, "join_order_search: %s: %s\n", what,
                 std::strerror(error));  // NOLINT(concurrency-mt-unsafe)
}

// Reads one decimal integer the way the "%d" conversion does: leading white
// space skipped, an optional sign, then the digits; the first character after
// them is left unread. Unlike "%d", a value outside the range of int is refused
// rather than wrapped, so an overlong number can never run as a small one.
std::optional<int> read_int(std::FILE *in) {
    int c = std::getc(in);
    while (c != EOF && std::isspace(c) != 0) {
        c = std::getc(in);
    }
    const bool negative = c == '-';
    if (c == '+' || c == '-') {
        c = std::getc(in);
    }
    if (c == EOF || std::isdigit(c) == 0) {
        return std::nullopt;
    }
    // The magnitude is capped just past the largest one an int can hold, so it
    // cannot overflow however many digits follow; leading zeros cost nothing.
    constexpr long long cap = static_cast<long long>(INT_MAX) + 2;
    long long magnitude = 0;
    while (c != EOF && std::isdigit(c) != 0) {
        magnitude = std::min(cap, magnitude * DECIMAL_BASE + (c - '0'));
        c = std::getc(in);
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    const long long value = negative ? -magnitude : magnitude;
    if (value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

int run() {
    std::printf("Enter number of tables (1 to %d): ", MAX_TABLES);
    // The prompt must be out before the read blocks, whatever stdout is; only
    // the report decides the exit status, so a failure here is not kept.
    std::fflush(stdout);
    std::clearerr(stdout);

    const std::optional<int> number = read_int(stdin);
    // A read that failed is not a wrong number: the input was never seen. The
    // errno is still the failed read's, since nothing after it sets one.
    if (std::ferror(stdin) != 0) {
        report_failure("cannot read the number of tables", errno);
        return EXIT_RESOURCE_FAILURE;
    }
    num_tables = number.value_or(0);
    if (num_tables <= 0 || num_tables > MAX_TABLES) {
        std::puts("Invalid number of tables.");
        return EXIT_FAILURE;
    }

    // Releases the table on every way out of the run from here on.
    const TableOwner table;
    if (!build_permutation_table()) {
        report_failure("out of memory building the permutation table");
        return EXIT_RESOURCE_FAILURE;
    }

    // `mutex` is constant-initialised before main runs, so it is ready here.
    const SearchRun search = run_workers();
    if (search.join_error != 0) {
        // A worker that cannot be joined may still be reading the table, so
        // nothing can be released safely: end the process at once.
        report_failure("cannot join a worker", search.join_error);
        std::_Exit(EXIT_RESOURCE_FAILURE);
    }
    for (const int error : worker_errors) {
        if (error != 0) {
            report_failure("cannot lock the best-cost record", error);
            return EXIT_RESOURCE_FAILURE;
        }
    }

    std::printf("Best Cost: %d\nJoin Order: ", best_cost);
    for (int i = 0; i < num_tables; ++i) {
        std::printf("%d ", best_order[static_cast<std::size_t>(i)]);
    }
    std::putchar('\n');
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        report_failure("cannot write the result", errno);
        return EXIT_RESOURCE_FAILURE;
    }
    return EXIT_SUCCESS;
}

}  // namespace
}  // namespace join_order_search

int main() {
    return join_order_search::run();
}
