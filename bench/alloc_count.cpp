// The counting operator new behind alloc_count.h.
#include "alloc_count.h"

#include <cstdlib>
#include <new>

std::atomic<long> g_allocs{0};

void* operator new(size_t n) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
