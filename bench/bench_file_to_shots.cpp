// From a scan file on disk to shots: framing, dispatch, decompression and the
// point cloud over one generated scan, next to framing only and framing with
// dispatch of the same file; and the count of global operator new calls.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "bench_util.hpp"

namespace {

std::atomic<std::uint64_t> new_calls{0};

void* counted_new(std::size_t n) {
    new_calls.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

void* counted_new(std::size_t n, std::align_val_t a) {
    new_calls.fetch_add(1, std::memory_order_relaxed);
    const std::size_t align = static_cast<std::size_t>(a);
    // aligned_alloc wants a multiple of the alignment.
    if (void* p = std::aligned_alloc(align, (n + align - 1) / align * align + (n ? 0 : align)))
        return p;
    throw std::bad_alloc();
}

} // namespace

std::uint64_t bench::allocations() { return new_calls.load(std::memory_order_relaxed); }

// The array and nothrow forms of the library forward to these.
void* operator new(std::size_t n) { return counted_new(n); }
void* operator new(std::size_t n, std::align_val_t a) { return counted_new(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
