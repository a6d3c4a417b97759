// Drives the built program as a user would: a number on standard input, the
// report on standard output, the exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expected_output.hpp"
#include "process.hpp"

namespace join_order_search::testing {
namespace {

const std::string &program = program_path();

struct Case {
    std::string input;
    std::string report;  // what follows the prompt on standard output
    int status;
};

void expect_case(const Case &c) {
    const Outcome outcome = run_program(program, c.input);
    const std::string shown = ::testing::PrintToString(c.input);
    EXPECT_EQ(outcome.status, c.status) << "input " << shown;
    EXPECT_EQ(outcome.out, prompt + c.report) << "input " << shown;
    EXPECT_EQ(outcome.err, "") << "input " << shown;
}

TEST(Program, ReportsTheFixedResultUpToThreeTables) {
    const std::vector<Case> cases = {
        {"1\n", "Best Cost: 0\nJoin Order: 0 \n", 0},
        {"2\n", "Best Cost: 2\nJoin Order: 0 1 \n", 0},
        {"3\n", "Best Cost: 5\nJoin Order: 1 0 2 \n", 0},
    };
    for (const Case &c : cases) {
        expect_case(c);
    }
}

TEST(Program, ReadsTheNumberAsADecimalConversionDoes) {
    const std::string three = "Best Cost: 5\nJoin Order: 1 0 2 \n";
    const std::vector<Case> cases = {
        {"3", three, 0},             // no line break at the end
        {" \t\n\n  3\n", three, 0},  // white space before the number
        {"+3\n", three, 0},
        {"3abc\n", three, 0},  // what follows the digits is ignored
        {"3 9\n", three, 0},
        {"0003\n", three, 0},
        {"00000000000000000000000000003\n", three, 0},
    };
    for (const Case &c : cases) {
        expect_case(c);
    }
}

TEST(Program, RejectsAnythingButOneToEightTables) {
    const std::vector<std::string> inputs = {
        "0\n", "-1\n", "-3\n", "9\n", "100\n", "abc\n", "", "\n", "  \n\t", "+\n", "-\n", "+-3\n", "x3\n",
        // At the ends of a 32-bit int and beyond them: none may wrap into range and run.
        "2147483647\n", "-2147483648\n", "2147483648\n", "-2147483649\n", "4294967299\n", "4294967296\n",
        "-4294967293\n", "99999999999999999999999\n"};
    for (const std::string &input : inputs) {
        expect_case({input, rejection, 1});
    }
}

TEST(Program, AnInputThatCannotBeReadIsAFailureNotARejection) {
    struct Unreadable {
        Input input;
        std::string err;
    };
    const std::vector<Unreadable> cases = {
        {Input::directory, "join_order_search: cannot read the number of tables: Is a directory\n"},
        {Input::closed, "join_order_search: cannot read the number of tables: Bad file descriptor\n"},
    };
    for (const Unreadable &c : cases) {
        RunOptions options;
        options.input = c.input;
        const Outcome outcome = run_program(program, "", options);
        EXPECT_EQ(outcome.status, 2) << c.err;
        EXPECT_EQ(outcome.out, prompt) << c.err;
        EXPECT_EQ(outcome.err, c.err);
    }
}

void expect_search_result(int tables, const Outcome &outcome) {
    EXPECT_EQ(outcome.status, 0) << tables << " tables";
    EXPECT_EQ(outcome.err, "") << tables << " tables";
    EXPECT_TRUE(allowed_output(tables, outcome.out)) << tables << " tables: " << outcome.out;
}

TEST(Program, FindsTheLowestCostFromFourTablesOn) {
    for (const auto &[tables, expected] : search_results) {
        expect_search_result(tables, run_program(program, std::to_string(tables) + "\n"));
    }
}

TEST(Program, EveryRunOfEightTablesIsRight) {
    for (int run = 0; run < 100; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        expect_search_result(8, run_program(program, "8\n"));
    }
}

TEST(Program, PromptIsShownBeforeTheInputIsRead) {
    // Both ends are pipes, so nothing but an explicit flush puts the prompt out
    // while the program waits for its input.
    Session session = start_program(program);
    const std::string before = read_output(session, prompt.size(), 30);
    send_input(session, "2\n");
    const Outcome outcome = finish_program(session);
    EXPECT_EQ(before, prompt);
    EXPECT_EQ(outcome.out, "Best Cost: 2\nJoin Order: 0 1 \n");
    EXPECT_EQ(outcome.status, 0);
}

}  // namespace
}  // namespace join_order_search::testing
