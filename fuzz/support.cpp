// Scratch files, the cost watch and the contract checks of the fuzz targets.
#include "support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <memory>
#include <new>

#include "tamarin/pack_file.h"

#if defined(__SANITIZE_ADDRESS__)
#define FUZZ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FUZZ_SANITIZED 1
#endif
#endif

#if defined(FUZZ_SANITIZED)
// The sanitizer runtime's allocation hooks (sanitizer/allocator_interface.h,
// which not every compiler ships).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                              void (*free_hook)(const volatile void*));
size_t __sanitizer_get_allocated_size(const volatile void* p);
}
#else
#include <malloc.h>
#endif

namespace fuzz {

namespace {

const uint64_t kMiB = 1024 * 1024;

// Allocation counters, moved by the hooks below while a watch is on.
std::atomic<bool> g_watching{false};
std::atomic<int64_t> g_live{0};
std::atomic<uint64_t> g_total{0};
int64_t g_liveLimit = 0;
uint64_t g_totalLimit = 0;
const char* g_what = "";
uint64_t g_bytes = 0;

void Count(size_t n) {
    if (!g_watching.load(std::memory_order_relaxed)) return;
    const int64_t live = g_live += static_cast<int64_t>(n);
    const uint64_t total = g_total += n;
    if (live <= g_liveLimit && total <= g_totalLimit) return;
    // Reporting allocates: stop counting first.
    g_watching = false;
    char detail[200];
    std::snprintf(detail, sizeof(detail),
                  "%s of %llu bytes: %lld bytes live (bound %lld), %llu allocated (bound %llu)",
                  g_what, static_cast<unsigned long long>(g_bytes), static_cast<long long>(live),
                  static_cast<long long>(g_liveLimit), static_cast<unsigned long long>(total),
                  static_cast<unsigned long long>(g_totalLimit));
    Fail("cost beyond the bound", detail);
}

void Uncount(size_t n) {
    if (g_watching.load(std::memory_order_relaxed)) g_live -= static_cast<int64_t>(n);
}

#if defined(FUZZ_SANITIZED)
void MallocHook(const volatile void*, size_t n) { Count(n); }
void FreeHook(const volatile void* p) {
    if (g_watching.load(std::memory_order_relaxed)) Uncount(__sanitizer_get_allocated_size(p));
}
[[maybe_unused]] const bool g_hooked = __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook) != 0;
#endif

std::string g_scratch;

void RemoveScratch() {
    if (g_scratch.empty()) return;
    std::error_code ignored;
    std::filesystem::current_path("/", ignored);
    std::filesystem::remove_all(g_scratch, ignored);
}

bool IsFolder(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// No folder may pass for an archive: Windows cannot open one as a file.
void CheckNoFolderRegistered() {
    for (const auto& archive : tamarin::g_archiveRegistry) {
        if (IsFolder(archive.first)) Fail("a folder registered as an archive", archive.first);
    }
}

void ExerciseEntry(const std::string& name) {
    tamarin::CPackFile f;
    if (f.Open(name.c_str())) return;
    const std::string container = f.GetContainerPath();
    if (IsFolder(container.empty() ? f.GetPath() : container)) Fail("a folder opened as a file", name);
    const uint32_t size = static_cast<uint32_t>(f.GetSize());
    char buffer[4096];

    // Reads stop at the entry's end, wherever the position is.
    uint64_t read = 0;
    for (int i = 0; i < 16; ++i) {
        const uint32_t n = f.Read(buffer, sizeof(buffer));
        if (n > sizeof(buffer)) Fail("a read returned more than asked", name);
        if (n == 0) break;
        read += n;
    }
    if (read > size) Fail("reads passed the entry's end", name);

    const struct {
        int32_t offset;
        int origin;
    } seeks[] = {
        {0, SEEK_SET}, {-1, SEEK_CUR}, {static_cast<int32_t>(size / 2), SEEK_SET}, {1, SEEK_CUR},
        {0, SEEK_END}, {1, SEEK_END}, {-1, SEEK_END}, {INT32_MIN, SEEK_CUR}, {INT32_MAX, SEEK_SET},
        {INT32_MIN, SEEK_END}, {INT32_MAX, SEEK_CUR}, {3, 7},
    };
    for (const auto& seek : seeks) {
        f.Seek(seek.offset, seek.origin);
        const int32_t position = f.Tell();
        if (position < -1 || (position >= 0 && static_cast<uint32_t>(position) > size)) {
            Fail("a position outside the entry", name);
        }
        const uint32_t n = f.Read(buffer, 16);
        if (n > 16 || (position >= 0 && n > size - static_cast<uint32_t>(position))) {
            Fail("a read after a seek passed the entry's end", name);
        }
    }

    // A copy reads the same bytes from the same place; an empty clone none.
    f.Seek(0, SEEK_SET);
    std::unique_ptr<tamarin::CFile> copy(f.Clone(true));
    std::unique_ptr<tamarin::CFile> closed(f.Clone(false));
    char mine[64], theirs[64];
    const uint32_t n = f.Read(mine, sizeof(mine));
    // Null only when memory runs out.
    if (copy && (copy->Read(theirs, sizeof(theirs)) != n || std::memcmp(mine, theirs, n) != 0)) {
        Fail("a clone read other bytes", name);
    }
    if (closed && closed->Read(theirs, sizeof(theirs)) != 0) Fail("a closed clone read bytes", name);

    // What is open can be opened again by the path it reports.
    if (f.Open(f.GetPath().c_str())) Fail("an entry could not be opened by its own path", name);
    if (static_cast<uint32_t>(f.GetSize()) != size) Fail("an entry reopened with another size", name);
    f.Close();
    if (f.GetSize() != 0 || !f.GetContainerPath().empty()) Fail("a closed entry kept its header", name);
}

}  // namespace

#if !defined(FUZZ_SANITIZED)
}  // namespace fuzz

// Without a sanitizer runtime the counting sits in operator new and delete
// (what the reader allocates goes through them).
namespace {
void* CountedNew(size_t n) {
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    fuzz::Count(malloc_usable_size(p));
    return p;
}
void CountedDelete(void* p) noexcept {
    if (p == nullptr) return;
    fuzz::Uncount(malloc_usable_size(p));
    std::free(p);
}
}  // namespace

void* operator new(size_t n) { return CountedNew(n); }
void* operator new[](size_t n) { return CountedNew(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return CountedNew(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t& tag) noexcept { return operator new(n, tag); }
void operator delete(void* p) noexcept { CountedDelete(p); }
void operator delete[](void* p) noexcept { CountedDelete(p); }
void operator delete(void* p, size_t) noexcept { CountedDelete(p); }
void operator delete[](void* p, size_t) noexcept { CountedDelete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedDelete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedDelete(p); }

namespace fuzz {
#endif

void EnterScratch() {
    if (!g_scratch.empty()) return;
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0) base = std::filesystem::temp_directory_path().string();
    std::string pattern = base + "/tamarin-fuzz-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) Fail("no scratch folder", pattern);
    g_scratch = pattern;
    std::atexit(RemoveScratch);
    std::filesystem::current_path(g_scratch);
    // A folder named like the first part of entry names such as "sub/x",
    // which the folder search then tries as an archive.
    std::filesystem::create_directory("sub");
}

void PutFile(const std::string& name, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr || (size != 0 && std::fwrite(data, 1, size, file) != size) ||
        std::fclose(file) != 0) {
        Fail("cannot write the input", name);
    }
}

void RemoveFile(const std::string& name) {
    std::remove(name.c_str());
}

void Fail(const char* why, const std::string& detail) {
    std::fprintf(stderr, "\n== finding: %s: %s\n", why, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

CostWatch::CostWatch(const char* what, uint64_t bytes, unsigned files) {
    g_what = what;
    g_bytes = bytes;
    g_liveLimit = static_cast<int64_t>(8 * bytes + 16 * kMiB * files);
    g_totalLimit = 64 * bytes + 64 * kMiB * files;
    g_live = 0;
    g_total = 0;
    g_watching = true;
}

CostWatch::~CostWatch() {
    g_watching = false;
}

bool MountWatched(const std::string& path, uint64_t bytes) {
    // A plain CFile reopened by the path it reports still reads that file.
    tamarin::CFile plain;
    if (plain.Open(path.c_str()) || plain.Open(plain.GetPath().c_str())) {
        Fail("a file could not be opened again by its own path", path);
    }
    // The mount is given the path the opened object holds, as callers do.
    tamarin::CPackFile file;
    if (file.Open(path.c_str())) Fail("the input cannot be opened", path);
    bool failed;
    {
        CostWatch watch("mount", bytes);
        failed = file.MountArchive(file.GetPath().c_str(), true);
    }
    // A file that could be opened stays registered, damaged or not.
    if (tamarin::g_archiveRegistry.find(path) == tamarin::g_archiveRegistry.end()) {
        Fail("an archive that could be opened is not registered", path);
    }
    CheckNoFolderRegistered();
    return failed;
}

void ExerciseEntries(const std::string& path) {
    tamarin::CPackFile lister;
    std::list<std::string> names;
    if (lister.ListEntries(path.c_str(), names)) Fail("a registered archive cannot be listed", path);
    CheckNoFolderRegistered();
    // Every entry goes through the same code; a few dozen keep inputs fast.
    size_t count = 0;
    for (const std::string& name : names) {
        if (++count > 16) break;
        ExerciseEntry(name);
    }
}

}  // namespace fuzz
