// Child-process plumbing for the tests that drive the program from outside.
#include "process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
// This C library's header declares its functions without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace join_order_search::testing {
namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        throw std::runtime_error(std::string(what) + " failed: " + std::strerror(errno));
    }
}

// A file descriptor, closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    [[nodiscard]] int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

std::pair<Fd, Fd> make_pipe() {
    std::array<int, 2> ends{};
    check(::pipe2(ends.data(), O_CLOEXEC) == 0, "pipe");
    return {Fd(ends[0]), Fd(ends[1])};
}

using Clock = std::chrono::steady_clock;

int milliseconds_until(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Waits until `fd` is readable or the deadline passes; false on the deadline.
bool readable_before(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, milliseconds_until(deadline));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        check(n >= 0, "poll");
        return n > 0;
    }
}

// Reads `fd` to its end; false if the deadline passed first.
bool read_all(int fd, std::string &text, Clock::time_point deadline) {
    std::array<char, 4096> buffer{};
    for (;;) {
        if (!readable_before(fd, deadline)) {
            return false;
        }
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        check(got >= 0, "read");
        if (got == 0) {
            return true;
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
}

int decode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Waits for the child, killing it if it has not ended by the deadline; throws
// then, so that a hang fails the test instead of stalling the suite.
int wait_for(int pid, int pidfd, Clock::time_point deadline) {
    const bool ended = readable_before(pidfd, deadline);
    if (!ended) {
        ::pidfd_send_signal(pidfd, SIGKILL, nullptr, 0);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        check(errno == EINTR, "waitpid");
    }
    if (!ended) {
        throw std::runtime_error("the program did not end within " + std::to_string(deadline_seconds) +
                                 " s and was killed");
    }
    return decode(status);
}

// Pointers to the text of `words`, ending in a null pointer, as execve takes them.
std::vector<char *> pointers_to(std::vector<std::string> &words) {
    std::vector<char *> pointers;
    pointers.reserve(words.size() + 1);
    for (std::string &word : words) {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The environment of this process with the entries of `extra` added, each in
// place of one of the same name; `storage` owns the text.
std::vector<char *> environment(const std::vector<std::string> &extra, std::vector<std::string> &storage) {
    std::vector<std::string> prefixes;
    for (const std::string &added : extra) {
        const std::size_t name = added.find('=');
        if (name == std::string::npos || name == 0) {
            throw std::invalid_argument("not a NAME=value entry: " + added);
        }
        prefixes.push_back(added.substr(0, name + 1));
    }
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (std::none_of(prefixes.begin(), prefixes.end(),
                         [&](const std::string &prefix) { return text.starts_with(prefix); })) {
            storage.emplace_back(text);
        }
    }
    storage.insert(storage.end(), extra.begin(), extra.end());
    return pointers_to(storage);
}

// What the child could not do before its exec, sent back through a pipe that
// the exec closes: a successful exec sends nothing.
struct ChildFailure {
    int stage;  // 0 for the exec itself, else a step of the set-up below
    int error;
};

[[noreturn]] void fail_in_child(int report, int stage) {
    const ChildFailure failure{stage, errno};
    [[maybe_unused]] const ssize_t sent = ::write(report, &failure, sizeof failure);
    ::_exit(127);
}

// The set-up a child makes before it execs; everything is prepared before
// fork, so that after it only async-signal-safe calls are made.
struct ChildPlan {
    std::array<int, 3> fds{-1, -1, -1};  // what becomes descriptors 0 to 2; -1 closes it
    const RunOptions *options = nullptr;
    char *const *argv = nullptr;
    char *const *envp = nullptr;
    int report = -1;
};

[[noreturn]] void exec_child(const ChildPlan &plan) {
    for (int target = 0; target < 3; ++target) {
        const int source = plan.fds[static_cast<std::size_t>(target)];
        if (source < 0) {
            ::close(target);
        } else if (::dup2(source, target) < 0) {
            fail_in_child(plan.report, 1);
        }
    }
    const RunOptions &options = *plan.options;
    if (options.address_space) {
        const rlimit limit{*options.address_space, *options.address_space};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) {
            fail_in_child(plan.report, 2);
        }
    }
    if (options.processes) {
        const rlimit limit{*options.processes, *options.processes};
        if (::setrlimit(RLIMIT_NPROC, &limit) != 0) {
            fail_in_child(plan.report, 3);
        }
    }
    if (options.user) {
        // Root passes over RLIMIT_NPROC: the limit bites only once it is dropped.
        if (::setgroups(0, nullptr) != 0 || ::setgid(*options.user) != 0 || ::setuid(*options.user) != 0 ||
            ::getuid() == 0) {
            fail_in_child(plan.report, 4);
        }
    }
    ::execve(plan.argv[0], plan.argv, plan.envp);
    fail_in_child(plan.report, 0);
}

Fd temp_file() {
    std::array<char, 32> name{"/tmp/program_test_XXXXXX"};
    Fd fd(::mkostemp(name.data(), O_CLOEXEC));
    check(fd.get() >= 0, "mkstemp");
    ::unlink(name.data());
    return fd;
}

std::string read_file(const Fd &fd) {
    check(::lseek(fd.get(), 0, SEEK_SET) == 0, "lseek");
    std::string text;
    read_all(fd.get(), text, Clock::now() + std::chrono::seconds(deadline_seconds));
    return text;
}

// Forks a child that sets itself up by `plan` and execs; returns its pid and
// pidfd, or throws what the child reported it could not do. An exec that
// failed is returned in `exec_error` instead, since a test may expect it.
std::pair<int, Fd> spawn(ChildPlan &plan, int &exec_error) {
    auto [report_in, report_out] = make_pipe();
    plan.report = report_out.get();
    const pid_t pid = ::fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        exec_child(plan);
    }
    report_out = Fd();
    Fd pidfd(::pidfd_open(pid, 0));
    check(pidfd.get() >= 0, "pidfd_open");
    ChildFailure failure{};
    ssize_t got = 0;
    do {
        got = ::read(report_in.get(), &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    exec_error = 0;
    if (got == static_cast<ssize_t>(sizeof failure)) {
        if (failure.stage != 0) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            static constexpr std::array<const char *, 5> stages = {
                "exec", "redirecting the standard descriptors", "setting RLIMIT_AS", "setting RLIMIT_NPROC",
                "dropping to the unprivileged user"};
            errno = failure.error;
            check(false, stages[static_cast<std::size_t>(failure.stage)]);
        }
        exec_error = failure.error;
    }
    return {pid, std::move(pidfd)};
}

}  // namespace

const std::string &program_path() {
    static const std::string path = [] {
        const char *chosen = std::getenv("JOIN_ORDER_SEARCH_BINARY");
        return std::string(chosen != nullptr ? chosen : PROGRAM_PATH);
    }();
    return path;
}

Outcome run_program(const std::string &program, const std::string &input, const RunOptions &options) {
    // The input is small enough to sit in the pipe before the child starts.
    if (input.size() >= PIPE_BUF) {
        throw std::invalid_argument("input larger than a pipe holds at once");
    }
    std::vector<std::string> storage;
    const std::vector<char *> envp = environment(options.env, storage);
    std::vector<std::string> words = {program};
    const std::vector<char *> argv = pointers_to(words);

    Fd in;
    switch (options.input) {
        case Input::piped: {
            auto [read_end, write_end] = make_pipe();
            const auto size = static_cast<ssize_t>(input.size());
            check(::write(write_end.get(), input.data(), input.size()) == size, "write");
            in = std::move(read_end);
            break;
        }
        case Input::directory:
            in = Fd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            check(in.get() >= 0, "open /");
            break;
        case Input::closed: break;
    }
    const Fd out = temp_file();
    const Fd err = temp_file();
    Fd full;
    if (options.output == Output::dev_full) {
        full = Fd(::open("/dev/full", O_WRONLY | O_CLOEXEC));
        check(full.get() >= 0, "open /dev/full");
    }
    const std::array<int, 3> fds = {in.get(),
                                    options.output == Output::captured   ? out.get()
                                    : options.output == Output::dev_full ? full.get()
                                                                         : -1,
                                    err.get()};
    ChildPlan plan{fds, &options, argv.data(), envp.data()};
    Outcome outcome;
    auto [pid, pidfd] = spawn(plan, outcome.exec_error);
    in = Fd();
    full = Fd();
    outcome.status = wait_for(pid, pidfd.get(), Clock::now() + std::chrono::seconds(deadline_seconds));
    outcome.out = read_file(out);
    outcome.err = read_file(err);
    return outcome;
}

Session start_program(const std::string &program) {
    std::vector<std::string> storage;
    const std::vector<char *> envp = environment({}, storage);
    std::vector<std::string> words = {program};
    const std::vector<char *> argv = pointers_to(words);
    auto [input_read, input_write] = make_pipe();
    auto [output_read, output_write] = make_pipe();
    const RunOptions options;
    ChildPlan plan{{input_read.get(), output_write.get(), STDERR_FILENO}, &options, argv.data(), envp.data()};
    int exec_error = 0;
    auto [pid, pidfd] = spawn(plan, exec_error);
    errno = exec_error;
    check(exec_error == 0, "exec");
    return {pid, pidfd.release(), input_write.release(), output_read.release()};
}

std::string read_output(const Session &session, std::size_t wanted, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    std::string text;
    std::array<char, 4096> buffer{};
    while (text.size() < wanted && readable_before(session.from_child, deadline)) {
        const ssize_t got = ::read(session.from_child, buffer.data(), buffer.size());
        if (got <= 0) {
            break;
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return text;
}

void send_input(const Session &session, const std::string &text) {
    check(::write(session.to_child, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write");
}

Outcome finish_program(Session &session) {
    ::close(std::exchange(session.to_child, -1));  // the child sees the end of its input
    const Fd from_child(std::exchange(session.from_child, -1));
    const Fd pidfd(std::exchange(session.pidfd, -1));
    const auto deadline = Clock::now() + std::chrono::seconds(deadline_seconds);
    Outcome outcome;
    read_all(from_child.get(), outcome.out, deadline);
    outcome.status = wait_for(session.pid, pidfd.get(), deadline);
    return outcome;
}

std::optional<uid_t> unused_user() {
    if (::geteuid() != 0) {
        return std::nullopt;
    }
    std::vector<uid_t> running;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) == 0) {
            running.push_back(info.st_uid);
        }
    }
    for (uid_t uid = 61000; uid < 65000; ++uid) {
        if (::getpwuid(uid) == nullptr && std::find(running.begin(), running.end(), uid) == running.end()) {
            return uid;
        }
    }
    return std::nullopt;
}

}  // namespace join_order_search::testing
