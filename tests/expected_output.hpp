// What the program writes on standard output, as the tests that run it expect:
// the prompt, the rejection, and the reports that a search may end with.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace join_order_search::testing {

inline const std::string prompt = "Enter number of tables (1 to 8): ";
inline const std::string rejection = "Invalid number of tables.\n";

// From 4 tables on: the lowest cost, and the join orders that may be printed
// with it, since which worker first reaches that cost depends on thread timing.
inline const std::map<int, std::pair<int, std::vector<std::string>>> search_results = {
    {4, {10, {"2 0 1 3", "2 1 0 3", "3 0 1 2", "3 1 0 2"}}},
    {5, {17, {"3 1 2 0 4", "3 2 0 1 4", "4 2 1 0 3", "4 0 2 1 3"}}},
    {6, {26, {"4 0 1 2 3 5", "4 2 3 1 0 5", "5 0 1 2 3 4", "5 1 0 3 2 4"}}},
    {7, {20, {"3 1 2 0 4 6 5", "5 6 4 0 1 2 3", "5 6 4 2 1 0 3"}}},
    {8, {16, {"5 6 4 7 3 0 1 2", "2 0 1 3 7 4 6 5"}}},
};

// Up to 3 tables the last worker does all the work, so the result is fixed.
inline const std::map<int, std::pair<int, std::string>> fixed_results = {
    {1, {0, "0"}},
    {2, {2, "0 1"}},
    {3, {5, "1 0 2"}},
};

// Whether `out` is the prompt followed by one of the reports a search of
// `tables` tables (1 to 8) may end with.
inline bool allowed_output(int tables, const std::string &out) {
    if (const auto fixed = fixed_results.find(tables); fixed != fixed_results.end()) {
        const auto &[cost, order] = fixed->second;
        return out == prompt + "Best Cost: " + std::to_string(cost) + "\nJoin Order: " + order + " \n";
    }
    const auto &[cost, orders] = search_results.at(tables);
    const std::string head = prompt + "Best Cost: " + std::to_string(cost) + "\nJoin Order: ";
    return std::any_of(orders.begin(), orders.end(),
                       [&](const std::string &order) { return out == head + order + " \n"; });
}

}  // namespace join_order_search::testing
