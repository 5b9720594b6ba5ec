// Replaces the global operator new of this test program so that a test can see the largest
// single block that any code (the C++ library's strings and buffers included) asks for.
#include <cstdlib>
#include <new>

#include "tests/hostile/hostile.h"

namespace {

bool tracking = false;
std::size_t largest = 0;

void* allocate(std::size_t n)
{
    if (tracking && n > largest)
        largest = n;
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    try {
        return allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept
{
    try {
        return allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace hostile {

namespace {

std::size_t largest_hook = 0;
void* hook_alloc(std::size_t n)
{
    if (n > largest_hook)
        largest_hook = n;
    return std::malloc(n);
}
void* hook_calloc(std::size_t count, std::size_t size)
{
    if (size != 0 && count * size / size == count && count * size > largest_hook)
        largest_hook = count * size;
    return std::calloc(count, size);
}
void* hook_realloc(void* block, std::size_t n)
{
    if (n > largest_hook)
        largest_hook = n;
    return std::realloc(block, n);
}

}  // namespace

alloc_watch::alloc_watch()
{
    largest = 0;
    largest_hook = 0;
    tracking = true;
    u_hooks.alloc = &hook_alloc;
    u_hooks.calloc = &hook_calloc;
    u_hooks.realloc = &hook_realloc;
}

alloc_watch::~alloc_watch()
{
    tracking = false;
    u_hooks_reset();
}

std::size_t alloc_watch::largest_new() const { return largest; }
std::size_t alloc_watch::largest_hooked() const { return largest_hook; }

}  // namespace hostile
