// Reader costs on a large pf2 archive: mounting (index decoding), opening
// and reading every entry, and the first mount's probe of 1000 volume names.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <benchmark/benchmark.h>

#include "tamarin/pack_file.h"
#include "tamarin_writer/testing.h"
#include "tamarin_writer/writer.h"

namespace {

const int kEntries = 100000;
const size_t kEntrySize = 64;

// A scratch folder holding the big archive and a one-entry archive, made once.
struct Archives {
    Archives() {
        tamarin_writer::Archive big;
        big.version = tamarin_writer::kPf2;
        for (int i = 0; i < kEntries; ++i) {
            char name[32];
            std::snprintf(name, sizeof(name), "entry%06d.dat", i);
            names.push_back(name);
            big.entries.push_back(tamarin_writer::Entry(name, std::string(kEntrySize, static_cast<char>(i))));
        }
        Write(big, bigPath = dir.Path("big.pfs"));
        tamarin_writer::Archive small;
        small.entries.push_back(tamarin_writer::Entry("only", "x"));
        Write(small, smallPath = dir.Path("small.pfs"));
    }
    static void Write(const tamarin_writer::Archive& archive, const std::string& path) {
        tamarin_writer::Encoded encoded;
        std::string error;
        if (tamarin_writer::EncodeArchive(archive, 0, &encoded, &error) ||
            tamarin_writer::WriteFileAtomically(path, encoded.bytes, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::abort();
        }
    }

    tamarin_writer::ScratchDir dir;  // also the working directory: no plain files to find
    std::vector<std::string> names;
    std::string bigPath, smallPath;
};

Archives& Shared() {
    static Archives archives;
    return archives;
}

// A pf2 archive of n 16-byte entries in the shared folder, made once per n.
const std::string& ArchiveOf(int n) {
    static std::map<int, std::string> paths;
    std::string& path = paths[n];
    if (path.empty()) {
        tamarin_writer::Archive archive;
        for (int i = 0; i < n; ++i) {
            char name[32];
            std::snprintf(name, sizeof(name), "entry%07d.dat", i);
            archive.entries.push_back(tamarin_writer::Entry(name, std::string(16, static_cast<char>(i))));
        }
        Archives::Write(archive, path = Shared().dir.Path("n" + std::to_string(n) + ".pfs"));
    }
    return path;
}

// Decoding an index of n entries (this file only, no volume probe). Time
// per entry should not grow with n.
void BM_MountIndex(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::string& path = ArchiveOf(n);
    for (auto _ : state) {
        state.PauseTiming();
        tamarin::ResetArchiveStateForTesting();
#ifdef __GLIBC__
        // Tidy the heap the last run freed, as a program's first mount
        // finds it, or the next run pays for merging its free blocks.
        malloc_trim(0);
#endif
        state.ResumeTiming();
        tamarin::CPackFile file;
        if (file.MountArchive(path.c_str(), true)) state.SkipWithError("mount failed");
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_MountIndex)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Open and read every entry once through the root archive.
void BM_OpenReadEach(benchmark::State& state) {
    Archives& a = Shared();
    tamarin::ResetArchiveStateForTesting();
    tamarin::g_rootArchivePath = a.bigPath;
    {
        tamarin::CPackFile file;
        file.MountArchive(a.bigPath.c_str(), true);
    }
    char buffer[kEntrySize];
    for (auto _ : state) {
        for (const std::string& name : a.names) {
            tamarin::CPackFile file;
            if (file.Open(name.c_str()) || file.Read(buffer, sizeof(buffer)) != kEntrySize) {
                state.SkipWithError("entry unreadable");
                break;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_OpenReadEach)->Unit(benchmark::kMillisecond);

// The first Mount of an archive tries volumes .000 to .999; with a
// one-entry archive this is nearly all probe.
void BM_FirstMountVolumeProbe(benchmark::State& state) {
    Archives& a = Shared();
    for (auto _ : state) {
        tamarin::ResetArchiveStateForTesting();
        tamarin::CPackFile file;
        if (file.Mount(a.smallPath.c_str())) state.SkipWithError("mount failed");
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_FirstMountVolumeProbe)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
