// Runs the built program as a child process with given input, environment,
// standard output and kernel limits, and collects what it wrote and how it
// ended. A child that outlives its deadline is killed and the test fails.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace join_order_search::testing {

// How long a child may run before it is taken to hang.
inline constexpr int deadline_seconds = 30;

// Where the child's standard input comes from: the text given, a directory
// (reading it fails), or nothing (the descriptor is closed).
enum class Input { piped, directory, closed };

// Where the child's standard output goes.
enum class Output { captured, dev_full, closed };

struct RunOptions {
    std::vector<std::string> env;  // NAME=value entries added to the environment
    Input input = Input::piped;
    Output output = Output::captured;
    std::optional<rlim_t> address_space;  // RLIMIT_AS, in bytes
    std::optional<rlim_t> processes;      // RLIMIT_NPROC
    std::optional<uid_t> user;            // an unprivileged user to run as; needs root
};

struct Outcome {
    int status = -1;     // the exit status, or 128 + the signal that ended it
    int exec_error = 0;  // the errno of an execve that failed, else 0
    std::string out;
    std::string err;
};

// The program under test: the one built beside the tests, or the one that
// JOIN_ORDER_SEARCH_BINARY names (to run these tests against another build).
const std::string &program_path();

// Runs `program` with `input` in a pipe as its standard input (unless the
// options say otherwise), the limits and user of `options` set in the child
// before it execs, and waits at most deadline_seconds for it to end.
Outcome run_program(const std::string &program, const std::string &input, const RunOptions &options = {});

// An interactive child: its standard input and output are pipes held by the test.
struct Session {
    int pid = -1;
    int pidfd = -1;
    int to_child = -1;
    int from_child = -1;
};

Session start_program(const std::string &program);
// Reads from the child until `wanted` bytes have come or the child closes its
// output, waiting at most `seconds` in all.
std::string read_output(const Session &session, std::size_t wanted, int seconds);
void send_input(const Session &session, const std::string &text);
// Closes the child's input, reads the rest of its output and waits for it to
// end, at most deadline_seconds in all.
Outcome finish_program(Session &session);

// An unprivileged user id that no account and no process has, so that a
// process limit counts the child's threads alone; empty unless this runs as
// root.
std::optional<uid_t> unused_user();

}  // namespace join_order_search::testing
