// Time and peak live heap of one mount of each costly index shape at a few
// sizes. Usage: mount_cost [-NAME] [SIZE_KB...] (default 320 800 6400),
// where -NAME keeps the shapes whose name contains NAME. Also
// "mount_cost --write N PATH" writes an undamaged pf2 archive of N entries
// and "mount_cost --mount PATH" times the first mount of a file in a fresh
// process, as a program meets it. Allocations
// beyond a live total of 4 GiB (all but 256 MiB of the address space in a
// 32-bit build) are refused, so a reader without bounds shows as "refused"
// instead of taking the machine.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "tamarin/pack_file.h"
#include "tamarin_writer/allocation_watch.h"
#include "tamarin_writer/shapes.h"
#include "tamarin_writer/testing.h"

using tamarin_writer::g_live;
using tamarin_writer::g_peak;
using tamarin_writer::g_refused;

namespace {

int WriteEntries(int n, const std::string& path) {
    tamarin_writer::Archive archive;
    for (int i = 0; i < n; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "entry%07d.dat", i);
        archive.entries.push_back(tamarin_writer::Entry(name, std::string(16, static_cast<char>(i))));
    }
    tamarin_writer::Encoded encoded;
    std::string error;
    if (tamarin_writer::EncodeArchive(archive, 0, &encoded, &error) ||
        tamarin_writer::WriteFileAtomically(path, encoded.bytes, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}

int MountOnce(const std::string& path) {
    const auto start = std::chrono::steady_clock::now();
    tamarin::CPackFile reader;
    const bool failed = reader.MountArchive(path.c_str(), true);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const size_t entries = tamarin::g_archiveRegistry[path].size();
    std::printf("%s: %s, %zu entries, %.3f s, %.3f us per entry, peak %.1f MiB\n", path.c_str(),
                failed ? "failed" : "mounted", entries, seconds, entries ? seconds * 1e6 / entries : 0.0,
                g_peak.load() / 1048576.0);
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tamarin_writer;
    if (argc == 4 && std::string(argv[1]) == "--write") return WriteEntries(std::atoi(argv[2]), argv[3]);
    if (argc == 3 && std::string(argv[1]) == "--mount") return MountOnce(argv[2]);
    std::vector<uint32_t> sizes;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') {
            only = argv[i] + 1;
        } else {
            sizes.push_back(static_cast<uint32_t>(std::atoi(argv[i])) * 1000);
        }
    }
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
        if (std::string(c.name).find(only) == std::string::npos) continue;
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
