// Child-process plumbing for the tests that drive the program from outside.
#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace join_order_search::testing {
namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        throw std::runtime_error(std::string(what) + " failed");
    }
}

std::string read_all(int fd) {
    std::string text;
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        check(got >= 0, "read");
        if (got == 0) {
            return text;
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
}

int wait_for(int pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        check(errno == EINTR, "waitpid");
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
    const auto replaced = [&](const std::string &entry) {
        return std::any_of(extra.begin(), extra.end(), [&](const std::string &added) {
            const std::size_t name = added.find('=');
            return entry.compare(0, name + 1, added, 0, name + 1) == 0;
        });
    };
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (!replaced(*entry)) {
            storage.emplace_back(*entry);
        }
    }
    storage.insert(storage.end(), extra.begin(), extra.end());
    return pointers_to(storage);
}

// Everything the child needs is prepared before fork: after it only
// async-signal-safe calls are made.
[[noreturn]] void exec_child(char *const *argv, char *const *envp) {
    ::execve(argv[0], argv, envp);
    ::_exit(127);
}

int temp_file() {
    std::array<char, 32> name{"/tmp/program_test_XXXXXX"};
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    check(fd >= 0, "mkstemp");
    ::unlink(name.data());
    return fd;
}

std::string read_file(int fd) {
    check(::lseek(fd, 0, SEEK_SET) == 0, "lseek");
    std::string text = read_all(fd);
    ::close(fd);
    return text;
}

}  // namespace

const std::string &program_path() {
    static const std::string path = [] {
        const char *chosen = std::getenv("JOIN_ORDER_SEARCH_BINARY");
        return std::string(chosen != nullptr ? chosen : PROGRAM_PATH);
    }();
    return path;
}

Outcome run_program(const std::string &program, const std::string &input, const std::vector<std::string> &env,
                    Output output) {
    std::vector<std::string> storage;
    const std::vector<char *> envp = environment(env, storage);
    std::vector<std::string> words = {program};
    const std::vector<char *> argv = pointers_to(words);
    std::array<int, 2> stdin_pipe{};
    check(::pipe2(stdin_pipe.data(), O_CLOEXEC) == 0, "pipe");
    // The input is small enough to sit in the pipe before the child starts.
    check(input.size() < 4096, "input size");
    check(::write(stdin_pipe[1], input.data(), input.size()) == static_cast<ssize_t>(input.size()), "write");
    ::close(stdin_pipe[1]);
    const int out = temp_file();
    const int err = temp_file();
    const int full = output == Output::dev_full ? ::open("/dev/full", O_WRONLY | O_CLOEXEC) : -1;
    check(output != Output::dev_full || full >= 0, "open /dev/full");

    const pid_t pid = ::fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        ::dup2(stdin_pipe[0], 0);
        switch (output) {
            case Output::captured: ::dup2(out, 1); break;
            case Output::dev_full: ::dup2(full, 1); break;
            case Output::closed: ::close(1); break;
        }
        ::dup2(err, 2);
        exec_child(argv.data(), envp.data());
    }
    ::close(stdin_pipe[0]);
    if (full >= 0) {
        ::close(full);
    }
    Outcome outcome;
    outcome.status = wait_for(pid);
    outcome.out = read_file(out);
    outcome.err = read_file(err);
    return outcome;
}

Session start_program(const std::string &program) {
    std::vector<std::string> storage;
    const std::vector<char *> envp = environment({}, storage);
    std::vector<std::string> words = {program};
    const std::vector<char *> argv = pointers_to(words);
    std::array<int, 2> input{};
    std::array<int, 2> output{};
    check(::pipe2(input.data(), O_CLOEXEC) == 0 && ::pipe2(output.data(), O_CLOEXEC) == 0, "pipe");
    const pid_t pid = ::fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        ::dup2(input[0], 0);
        ::dup2(output[1], 1);
        exec_child(argv.data(), envp.data());
    }
    ::close(input[0]);
    ::close(output[1]);
    return {pid, input[1], output[0]};
}

std::string read_output(const Session &session, std::size_t wanted, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::string text;
    std::array<char, 4096> buffer{};
    while (text.size() < wanted) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd ready{session.from_child, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
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
    ::close(session.to_child);
    Outcome outcome;
    outcome.out = read_all(session.from_child);
    ::close(session.from_child);
    outcome.status = wait_for(session.pid);
    return outcome;
}

}  // namespace join_order_search::testing
