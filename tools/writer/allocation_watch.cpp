// The global operator new and delete of a program whose allocations are
// watched (see allocation_watch.h).
#include "tamarin_writer/allocation_watch.h"

#include <cstdlib>
#include <new>

namespace tamarin_writer {

std::atomic<size_t> g_live{0};
std::atomic<size_t> g_peak{0};
std::atomic<size_t> g_largestRequest{0};
std::atomic<size_t> g_liveLimit{kWatchLiveLimit};
std::atomic<size_t> g_refuseAbove{SIZE_MAX};
std::atomic<bool> g_refused{false};

namespace {

// The size of each block is kept in front of it, aligned for any type.
const size_t kSizeHeader = 16;

void RaiseTo(std::atomic<size_t>& value, size_t n) {
    size_t seen = value.load();
    while (n > seen && !value.compare_exchange_weak(seen, n)) {
    }
}

void* Allocate(size_t n) {
    RaiseTo(g_largestRequest, n);
    if (n > g_refuseAbove) {
        g_refused = true;
        throw std::bad_alloc();
    }
    const size_t live = g_live += n;
    if (live > g_liveLimit) {
        g_live -= n;
        g_refused = true;
        throw std::bad_alloc();
    }
    RaiseTo(g_peak, live);
    char* p = static_cast<char*>(std::malloc(n + kSizeHeader));
    if (p == nullptr) {
        g_live -= n;
        throw std::bad_alloc();
    }
    *reinterpret_cast<size_t*>(p) = n;
    return p + kSizeHeader;
}

void Free(void* block) noexcept {
    if (block == nullptr) return;
    char* p = static_cast<char*>(block) - kSizeHeader;
    g_live -= *reinterpret_cast<size_t*>(p);
    std::free(p);
}

}  // namespace
}  // namespace tamarin_writer

void* operator new(size_t n) { return tamarin_writer::Allocate(n); }
void* operator new[](size_t n) { return tamarin_writer::Allocate(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return tamarin_writer::Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t& tag) noexcept { return operator new(n, tag); }
void operator delete(void* p) noexcept { tamarin_writer::Free(p); }
void operator delete[](void* p) noexcept { tamarin_writer::Free(p); }
void operator delete(void* p, size_t) noexcept { tamarin_writer::Free(p); }
void operator delete[](void* p, size_t) noexcept { tamarin_writer::Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { tamarin_writer::Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { tamarin_writer::Free(p); }
