// Preloads the fault library into the program and collects its report.
#include "faulted_run.hpp"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace join_order_search::testing {
namespace {

// AddressSanitizer insists on coming first among the libraries; the fault
// library must stand in front of it, and passes every call it lets through on
// to the sanitizer's own.
std::string asan_options() {
    const char *options = std::getenv("ASAN_OPTIONS");
    return std::string("ASAN_OPTIONS=") + (options != nullptr ? options : "") + ":verify_asan_link_order=0";
}

// A report file, empty and removed again when it goes out of scope.
class ReportFile {
public:
    explicit ReportFile(const RunOptions &options) {
        std::array<char, 32> name{"/tmp/fault_report_XXXXXX"};
        const int fd = ::mkstemp(name.data());
        if (fd < 0) {
            throw std::runtime_error("cannot make the fault report file");
        }
        path_ = name.data();
        // The program may run as another user, who must be able to append.
        const bool owned = !options.user || ::fchown(fd, *options.user, static_cast<gid_t>(-1)) == 0;
        ::close(fd);
        if (!owned) {
            ::unlink(path_.c_str());
            throw std::runtime_error("cannot hand the fault report file to the program's user");
        }
    }
    ReportFile(const ReportFile &) = delete;
    ReportFile &operator=(const ReportFile &) = delete;
    ReportFile(ReportFile &&) = delete;
    ReportFile &operator=(ReportFile &&) = delete;
    ~ReportFile() { ::unlink(path_.c_str()); }

    [[nodiscard]] const std::string &path() const { return path_; }

    [[nodiscard]] std::vector<std::string> lines() const {
        std::vector<std::string> lines;
        std::ifstream report(path_);
        for (std::string line; std::getline(report, line);) {
            lines.push_back(line);
        }
        return lines;
    }

private:
    std::string path_;
};

}  // namespace

FaultedRun run_faulted(const std::vector<std::string> &faults, const std::string &input, RunOptions options) {
    const ReportFile report(options);
    options.env.push_back(std::string("LD_PRELOAD=") + FAULT_LIBRARY);
    options.env.push_back(asan_options());
    options.env.push_back("FAULT_REPORT=" + report.path());
    options.env.insert(options.env.end(), faults.begin(), faults.end());
    FaultedRun run;
    run.outcome = run_program(program_path(), input, options);
    run.injected = report.lines();
    return run;
}

}  // namespace join_order_search::testing
