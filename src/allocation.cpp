// The program's global allocation functions. The C++ runtime's nothrow
// operator new calls the throwing one and catches its bad_alloc, so a failure
// needs an exception object, that is memory; when even the runtime's emergency
// reserve could not be had at start-up, the process is terminated instead. The
// nothrow forms here report a failure by a null pointer alone, and the rest of
// the family is replaced with them so that every new and delete pair up.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

// The standard asks for a distinct non-null pointer even for zero bytes.
void *allocate(std::size_t size) noexcept {
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc, cppcoreguidelines-owning-memory)
    return std::malloc(size == 0 ? 1 : size);
}

void deallocate(void *p) noexcept {
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc, cppcoreguidelines-owning-memory)
    std::free(p);
}

// The throwing form: the new-handler, if any, is given its chances first.
void *allocate_or_throw(std::size_t size) {
    for (;;) {
        if (void *p = allocate(size); p != nullptr) {
            return p;
        }
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

}  // namespace

void *operator new(std::size_t size) {
    return allocate_or_throw(size);
}

void *operator new[](std::size_t size) {
    return allocate_or_throw(size);
}

void *operator new(std::size_t size, const std::nothrow_t & /*unused*/) noexcept {
    return allocate(size);
}

void *operator new[](std::size_t size, const std::nothrow_t & /*unused*/) noexcept {
    return allocate(size);
}

void operator delete(void *p) noexcept {
    deallocate(p);
}

void operator delete[](void *p) noexcept {
    deallocate(p);
}

void operator delete(void *p, std::size_t /*size*/) noexcept {
    deallocate(p);
}

void operator delete[](void *p, std::size_t /*size*/) noexcept {
    deallocate(p);
}

void operator delete(void *p, const std::nothrow_t & /*unused*/) noexcept {
    deallocate(p);
}

void operator delete[](void *p, const std::nothrow_t & /*unused*/) noexcept {
    deallocate(p);
}
