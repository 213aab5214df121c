// Counts every allocation of a program that links allocation_watch.cpp (the
// damage tests, the mount cost benchmark): it replaces the global operator
// new and delete, so that the live total of what the reader holds, and its
// peak, can be held to a bound, not only the size of each request.
#ifndef TAMARIN_WRITER_ALLOCATION_WATCH_H_
#define TAMARIN_WRITER_ALLOCATION_WATCH_H_

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tamarin_writer {

// Bytes asked for and not yet freed, their peak and the largest single
// request; a test resets the peak and the largest request before it mounts.
extern std::atomic<size_t> g_live;
extern std::atomic<size_t> g_peak;
extern std::atomic<size_t> g_largestRequest;

// A request larger than g_refuseAbove, or one that would take the live total
// past g_liveLimit, is refused with std::bad_alloc instead of being tried, so
// a reader that trusts a huge length fails its test rather than the machine.
// g_refused then becomes true.
const size_t kWatchLiveLimit =
    static_cast<size_t>(std::min<uint64_t>(uint64_t(4) << 30, SIZE_MAX - (size_t(256) << 20)));
extern std::atomic<size_t> g_liveLimit;
extern std::atomic<size_t> g_refuseAbove;
extern std::atomic<bool> g_refused;

}  // namespace tamarin_writer

#endif  // TAMARIN_WRITER_ALLOCATION_WATCH_H_
