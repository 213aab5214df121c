// Time and peak live heap of one mount of each costly index shape at a few
// sizes. Usage: mount_cost [SIZE_KB...] (default 320 800 6400). Allocations
// beyond a live total of 4 GiB are refused, so a reader without bounds shows
// as "refused" instead of taking the machine.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "tamarin/pack_file.h"
#include "tamarin_writer/shapes.h"
#include "tamarin_writer/testing.h"

namespace {

std::atomic<size_t> g_live{0};
std::atomic<size_t> g_peak{0};
std::atomic<bool> g_refused{false};
const size_t kLiveLimit = size_t(4) << 30;
// Keeps the block size in front of the block, aligned for any type.
const size_t kHeader = 16;

void* Allocate(size_t n) {
    const size_t live = g_live += n;
    if (live > kLiveLimit) {
        g_live -= n;
        g_refused = true;
        throw std::bad_alloc();
    }
    size_t peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
    char* p = static_cast<char*>(std::malloc(n + kHeader));
    if (p == nullptr) {
        g_live -= n;
        throw std::bad_alloc();
    }
    *reinterpret_cast<size_t*>(p) = n;
    return p + kHeader;
}

void Free(void* block) {
    if (block == nullptr) return;
    char* p = static_cast<char*>(block) - kHeader;
    g_live -= *reinterpret_cast<size_t*>(p);
    std::free(p);
}

}  // namespace

void* operator new(size_t n) { return Allocate(n); }
void* operator new[](size_t n) { return Allocate(n); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, size_t) noexcept { Free(p); }
void operator delete[](void* p, size_t) noexcept { Free(p); }

int main(int argc, char** argv) {
    using namespace tamarin_writer;
    std::vector<uint32_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(static_cast<uint32_t>(std::atoi(argv[i])) * 1000);
    if (sizes.empty()) sizes = {320000, 800000, 6400000};
    const struct {
        Shape shape;
        Version version;
        const char* name;
    } kCases[] = {
        {kMadeUpPaths, kPf2, "pf2 made-up paths"},     {kNestedPastEnd, kPf2, "pf2 nested past end"},
        {kMadeUpNames, kPf2, "pf2 made-up names"},     {kDenseEntries, kPf2, "pf2 dense entries"},
        {kDenseEntries, kPf1, "pf1 dense entries"},    {kLongOffsetTable, kPf2, "pf2 offset table"},
        {kCollidingIds, kPf2, "pf2 colliding ids"},
        {kPf0Records, kPf0, "pf0 records"},
    };
    ScratchDir dir;
    for (const auto& c : kCases) {
        for (uint32_t size : sizes) {
            const std::string block = ShapedIndex(c.shape, c.version, size);
            std::string file = VersionName(c.version);
            std::string word(4, '\0');
            if (c.version == kPf0) {
                PatchWord(word, 0, static_cast<uint32_t>(block.size() / 268));
            } else {
                PatchWord(word, 0, static_cast<uint32_t>(block.size()));
            }
            file += word + block;
            const std::string path = dir.Path("shape.pfs");
            PutFile(path, file);
            tamarin::ResetArchiveStateForTesting();
            const size_t before = g_live.load();
            g_peak = before;
            g_refused = false;
            const auto start = std::chrono::steady_clock::now();
            bool failed = true;
            bool refused = false;
            size_t entries = 0;
            try {
                tamarin::CPackFile reader;
                failed = reader.MountArchive(path.c_str(), true);
                entries = tamarin::g_archiveRegistry[path].size();
            } catch (const std::bad_alloc&) {
                std::printf("  (bad_alloc escaped the reader)\n");
            }
            refused = g_refused;
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const double peakMiB = (g_peak.load() - before) / 1048576.0;
            std::printf("%-22s L=%8zu  %8.3f s  peak %9.1f MiB (%5.1f x L)  %s entries=%zu\n", c.name,
                        block.size(), seconds, peakMiB, (g_peak.load() - before) / double(block.size()),
                        refused ? "REFUSED (bad_alloc)" : failed ? "failed" : "mounted", entries);
            std::fflush(stdout);
            tamarin::ResetArchiveStateForTesting();
        }
    }
    return 0;
}
