// Runs the built program as a child process with given input, environment and
// standard output, and collects what it wrote and how it ended.
#pragma once

#include <string>
#include <vector>

namespace join_order_search::testing {

// Where the child's standard output goes.
enum class Output { captured, dev_full, closed };

struct Outcome {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// Runs `program` with `input` in a pipe as its stdin and the NAME=value entries
// of `env` added to its environment.
// The program under test: the one built beside the tests, or the one that
// JOIN_ORDER_SEARCH_BINARY names (to run these tests against another build).
const std::string &program_path();

Outcome run_program(const std::string &program, const std::string &input,
                    const std::vector<std::string> &env = {}, Output output = Output::captured);

// An interactive child: stdin and stdout are pipes held by the test.
struct Session {
    int pid = -1;
    int to_child = -1;
    int from_child = -1;
};

Session start_program(const std::string &program);
// Reads from the child until `wanted` bytes have come or the child closes its
// output, waiting at most `seconds` in all.
std::string read_output(const Session &session, std::size_t wanted, int seconds);
void send_input(const Session &session, const std::string &text);
// Closes the child's input, reads the rest of its output and waits for it.
Outcome finish_program(Session &session);

}  // namespace join_order_search::testing
