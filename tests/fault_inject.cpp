// A library the tests preload into the program to make chosen calls fail:
// heap allocations (malloc, calloc, realloc), thread creations, mutex locks and thread joins. The program's
// operator new allocates through malloc, so its allocations are among them.
// Each call passes on to the next definition in the process (the C library, or a sanitizer's or valgrind's
// replacement) unless the environment picks it:
//   FAULT_ALLOC_FAIL=N       the N-th allocation fails
//   FAULT_ALLOC_FAIL_FROM=N  every allocation from the N-th on fails
//   FAULT_ALLOC_TRACE=1      each allocation is logged to stderr, "fault_inject: alloc N SIZE",
//                            and each thread creation as it begins, "fault_inject: thread N"
//   FAULT_THREAD_FAIL=LIST   the thread creations numbered in LIST (from 0, comma separated,
//                            or "all") fail with EAGAIN
//   FAULT_LOCK_FAIL=N        the N-th pthread_mutex_lock fails with EINVAL
//   FAULT_JOIN_FAIL=N        the N-th pthread_join fails with EINVAL
//   FAULT_REPORT=PATH        each fault injected appends a line to PATH: "alloc N", "thread N",
//                            "lock N main|worker" (the thread that took it), "join N"; and each
//                            thread creation that the system itself refused, "refused thread N"
// How the calls are numbered:
// - Allocations, locks and joins count from 1, from the moment main is entered: what the C++
//   runtime and the libraries do to start up is not the program's, and happens before the
//   constructor below in one build and after it in another (a runtime linked in).
// - Allocations are counted on the main thread alone, where the program makes all of its own:
//   those that a thread library or sanitizer makes inside the workers interleave with them in
//   no fixed order. So their numbering repeats from run to run, and the tests find the
//   allocations they want by a traced run of the same binary first.
// - Locks and joins are counted on every thread.
// - Thread creations count from 0, on every thread and from the start of the process; the
//   program creates its workers alone, in worker order, so creation w starts worker w.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace {

using malloc_fn = void *(*)(std::size_t);
using calloc_fn = void *(*)(std::size_t, std::size_t);
using realloc_fn = void *(*)(void *, std::size_t);
using free_fn = void (*)(void *);
using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
using lock_fn = int (*)(pthread_mutex_t *);
using join_fn = int (*)(pthread_t, void **);

// dlsym may allocate while the allocator itself is being looked up: such
// requests are served from here and never given back.
alignas(std::max_align_t) std::array<unsigned char, 16384> bootstrap;
std::size_t bootstrap_used = 0;
__attribute__((tls_model("initial-exec"))) thread_local bool resolving = false;
// Set by the main thread as main is entered, before any other thread exists.
bool in_main = false;

bool from_bootstrap(const void *p) {
    const auto *byte = static_cast<const unsigned char *>(p);
    return byte >= bootstrap.data() && byte < bootstrap.data() + bootstrap.size();
}

void *bootstrap_alloc(std::size_t size) {
    const std::size_t align = alignof(std::max_align_t);
    const std::size_t start = (bootstrap_used + align - 1) / align * align;
    if (start + size > bootstrap.size()) {
        return nullptr;
    }
    bootstrap_used = start + size;
    return bootstrap.data() + start;
}

template <typename Fn>
Fn next(const char *name) {
    resolving = true;
    void *symbol = dlsym(RTLD_NEXT, name);
    resolving = false;
    // dlsym hands a function's address over as a pointer to data.
    return reinterpret_cast<Fn>(symbol);  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

std::atomic<long> allocations{0};
std::atomic<long> creations{0};
std::atomic<long> locks{0};
std::atomic<long> joins{0};

// Read once, before main, by the constructor below; until then nothing fails.
long alloc_fail = 0;
long alloc_fail_from = 0;
bool alloc_trace = false;
std::uint64_t thread_fail_mask = 0;
long lock_fail = 0;
long join_fail = 0;
const char *report_path = nullptr;

long number(const char *name) {
    const char *text = std::getenv(name);
    return text == nullptr ? 0 : std::strtol(text, nullptr, 10);
}

__attribute__((constructor)) void configure() {
    alloc_fail = number("FAULT_ALLOC_FAIL");
    alloc_fail_from = number("FAULT_ALLOC_FAIL_FROM");
    alloc_trace = number("FAULT_ALLOC_TRACE") != 0;
    lock_fail = number("FAULT_LOCK_FAIL");
    join_fail = number("FAULT_JOIN_FAIL");
    report_path = std::getenv("FAULT_REPORT");
    if (const char *list = std::getenv("FAULT_THREAD_FAIL"); list != nullptr) {
        if (std::strcmp(list, "all") == 0) {
            thread_fail_mask = ~std::uint64_t{0};
        }
        for (char *end = nullptr; *list != '\0'; list = *end == ',' ? end + 1 : end) {
            const long index = std::strtol(list, &end, 10);
            if (end == list) {
                break;
            }
            if (index >= 0 && index < 64) {
                thread_fail_mask |= std::uint64_t{1} << index;
            }
        }
    }
}

// One line of text, built on the stack since the library must not allocate,
// and written with a single call so that lines from different threads never mix.
class Line {
public:
    Line &text(std::string_view part) {
        const std::size_t n = std::min(part.size(), text_.size() - length_);
        std::copy_n(part.begin(), n, text_.begin() + static_cast<std::ptrdiff_t>(length_));
        length_ += n;
        return *this;
    }

    Line &number(unsigned long value) {
        std::array<char, 24> digits{};
        std::size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        std::reverse(digits.begin(), digits.begin() + static_cast<std::ptrdiff_t>(n));
        return text({digits.data(), n});
    }

    [[nodiscard]] bool write_to(int fd) const {
        return ::write(fd, text_.data(), length_) == static_cast<ssize_t>(length_);
    }

private:
    std::array<char, 128> text_{};
    std::size_t length_ = 0;
};

// Writes a trace line to stderr; a stderr that cannot take it ends the trace.
void trace(const Line &line) {
    if (!line.write_to(STDERR_FILENO)) {
        alloc_trace = false;
    }
}

// Appends "WHAT N[ WHERE]" to the report file, if there is one. Takes no memory
// and no lock, since it runs inside the allocator and on any thread.
void report(std::string_view what, long index, std::string_view where = {}) {
    if (report_path == nullptr) {
        return;
    }
    Line line;
    line.text(what).text(" ").number(static_cast<unsigned long>(index));
    if (!where.empty()) {
        line.text(" ").text(where);
    }
    line.text("\n");
    // O_APPEND: each line lands whole at the end, whichever thread writes it.
    const int fd = ::open(report_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        [[maybe_unused]] const bool written = line.write_to(fd);  // nowhere to say that it failed
        ::close(fd);
    }
}

// Counts one allocation and says whether it is to fail.
bool allocation_fails(std::size_t size) {
    if (!in_main || ::gettid() != ::getpid()) {
        return false;
    }
    const long index = ++allocations;
    if (alloc_trace) {
        trace(Line()
                  .text("fault_inject: alloc ")
                  .number(static_cast<unsigned long>(index))
                  .text(" ")
                  .number(size)
                  .text("\n"));
    }
    const bool fails = index == alloc_fail || (alloc_fail_from > 0 && index >= alloc_fail_from);
    if (fails) {
        report("alloc", index);
    }
    return fails;
}

using main_fn = int (*)(int, char **, char **);
using start_fn = int (*)(main_fn, int, char **, void (*)(), void (*)(), void (*)(), void *);

main_fn program_main = nullptr;

int counted_main(int argc, char **argv, char **envp) {
    in_main = true;
    return program_main(argc, argv, envp);
}

// Hands an allocation of `bytes` on to the next definition of `name`, unless it
// is chosen to fail. While that definition cannot be looked up yet (the request
// comes from inside the lookup of another symbol), `self` serves it from the
// bootstrap buffer.
template <typename Fn, typename... Args>
void *pass_on(Fn &real, const char *name, std::type_identity_t<Fn> self, std::size_t bytes, Args... args) {
    if (real == nullptr) {
        real = next<Fn>(name);
    }
    if (real == nullptr) {
        resolving = true;
        void *p = self(args...);
        resolving = false;
        return p;
    }
    if (allocation_fails(bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    return real(args...);
}

}  // namespace

// This file is an allocator's front: it hands out and takes back raw memory.
// NOLINTBEGIN(cppcoreguidelines-no-malloc, cppcoreguidelines-owning-memory)
extern "C" {

void *malloc(std::size_t size) {
    static malloc_fn real = nullptr;
    if (resolving) {
        return bootstrap_alloc(size);
    }
    return pass_on(real, "malloc", &malloc, size, size);
}

void *calloc(std::size_t count, std::size_t size) {
    static calloc_fn real = nullptr;
    if (resolving) {
        void *p = bootstrap_alloc(count * size);
        if (p != nullptr) {
            std::memset(p, 0, count * size);
        }
        return p;
    }
    return pass_on(real, "calloc", &calloc, count * size, count, size);
}

void *realloc(void *old, std::size_t size) {
    static realloc_fn real = nullptr;
    if (resolving || from_bootstrap(old)) {
        void *p = resolving ? bootstrap_alloc(size) : malloc(size);
        if (p != nullptr && old != nullptr) {
            const auto available = static_cast<std::size_t>(bootstrap.data() + bootstrap.size() -
                                                            static_cast<unsigned char *>(old));
            std::memcpy(p, old, size < available ? size : available);
        }
        return p;
    }
    return pass_on(real, "realloc", &realloc, size, old, size);
}

void free(void *p) {
    static free_fn real = nullptr;
    if (p == nullptr || from_bootstrap(p) || resolving) {
        return;
    }
    if (real == nullptr) {
        real = next<free_fn>("free");
    }
    if (real != nullptr) {  // else freed from inside a lookup: kept, as at start-up
        real(p);
    }
}

// Enters the program's main through counted_main, so that counting starts there.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the C library's own entry, interposed.
int __libc_start_main(main_fn main, int argc, char **argv, void (*init)(), void (*fini)(),
                      void (*rtld_fini)(), void *stack_end) {
    static const auto real = next<start_fn>("__libc_start_main");
    program_main = main;
    return real(counted_main, argc, argv, init, fini, rtld_fini, stack_end);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg) {
    static const auto real = next<create_fn>("pthread_create");
    const long index = creations++;
    if (alloc_trace) {
        trace(Line().text("fault_inject: thread ").number(static_cast<unsigned long>(index)).text("\n"));
    }
    if (index < 64 && (thread_fail_mask >> index & 1U) != 0) {
        report("thread", index);
        return EAGAIN;
    }
    const int error = real(thread, attr, start, arg);
    if (error != 0) {
        report("refused thread", index);
    }
    return error;
}

int pthread_mutex_lock(pthread_mutex_t *mutex) {
    static const auto real = next<lock_fn>("pthread_mutex_lock");
    if (in_main) {
        if (const long index = ++locks; index == lock_fail) {
            report("lock", index, ::gettid() == ::getpid() ? "main" : "worker");
            return EINVAL;
        }
    }
    return real(mutex);
}

int pthread_join(pthread_t thread, void **result) {
    static const auto real = next<join_fn>("pthread_join");
    if (in_main) {
        if (const long index = ++joins; index == join_fail) {
            report("join", index);
            return EINVAL;
        }
    }
    return real(thread, result);
}

}  // extern "C"
// NOLINTEND(cppcoreguidelines-no-malloc, cppcoreguidelines-owning-memory)
