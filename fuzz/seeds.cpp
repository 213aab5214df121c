// Writes inputs for the fuzz targets, made by the archive writer:
//   fuzz_seeds seeds DIR   the seed corpus, DIR/<target>/...
//   fuzz_seeds scale DIR   damaged indexes of hundreds of kilobytes whose
//                          cost is easy to see (replayed as tests)
//   fuzz_seeds faults DIR  the same damage at fuzzing sizes
// Targets: archive, exe, volume, index (see the target sources for their
// input layouts).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tamarin/memory.h"
#include "tamarin_writer/writer.h"

namespace {

using tamarin_writer::Archive;
using tamarin_writer::Encoded;
using tamarin_writer::Entry;
using tamarin_writer::Version;

std::filesystem::path g_out;

void Put(const std::string& target, const std::string& name, const std::string& bytes) {
    const std::filesystem::path folder = g_out / target;
    std::filesystem::create_directories(folder);
    std::string error;
    if (tamarin_writer::WriteFileAtomically((folder / name).string(), bytes, &error)) {
        std::fprintf(stderr, "fuzz_seeds: %s\n", error.c_str());
        std::exit(1);
    }
}

std::string Word(uint32_t value) {
    unsigned char bytes[4];
    tamarin::EncodeWord(value, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), 4);
}

Encoded Encode(const Archive& archive) {
    Encoded out;
    std::string error;
    if (tamarin_writer::EncodeArchive(archive, 0, &out, &error)) {
        std::fprintf(stderr, "fuzz_seeds: %s\n", error.c_str());
        std::exit(1);
    }
    return out;
}

// The shapes of archive every version gets, by name.
std::vector<std::pair<std::string, Archive> > Shapes(Version version) {
    std::vector<std::pair<std::string, Archive> > shapes;
    auto add = [&](const std::string& name) -> Archive& {
        shapes.emplace_back(name, Archive());
        shapes.back().second.version = version;
        return shapes.back().second;
    };
    add("empty");
    Archive& few = add("few");
    few.entries = {Entry("a.txt", "hello"), Entry("dir\\b.bin", std::string("\0\1\2\3", 4)),
                   // Shift-JIS name holding a 0x5C trail byte.
                   Entry("\x83\x5c\x83\x74\x83\x67.scr", "screen"), Entry("empty", "")};
    Archive& twice = add("duplicates");
    twice.entries = {Entry("same", "first"), Entry("other", "x"), Entry("same", "second")};
    Archive& tables = add("tables");
    tables.entries = {Entry("a", "1"), Entry("b", "22")};
    tables.indexTable = {{1, 2}, {3, 4}, {1, 9}};
    tables.headerTable = {{5, 6}};
    Archive& lies = add("lies");
    lies.entries = {Entry("past", "data"), Entry("huge", "data")};
    lies.entries[0].storedOffset = 0x7FFFFFF0u;
    lies.entries[1].storedSize = 0xFFFFFFFFu;
    Archive& longs = add("long-strings");
    // pf0 names fill at most 259 bytes of their field.
    longs.entries = {Entry(std::string(version == tamarin_writer::kPf0 ? 259 : 4000, 'n'), "long")};
    longs.entries[0].storedPath = std::string(8000, 'p');
    Archive& many = add("many");
    // pf0 records are 268 bytes each; the rest stay under 64 KiB as well.
    const int count = version == tamarin_writer::kPf0 ? 200 : 1500;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "e%04d", i);
        many.entries.emplace_back(name, std::string(1, static_cast<char>(i)));
    }
    return shapes;
}

// The "few" archive with one word field replaced, for every field.
std::vector<std::pair<std::string, std::string> > Damaged(Version version) {
    std::vector<std::pair<std::string, std::string> > damaged;
    const Encoded few = Encode(Shapes(version)[1].second);
    for (size_t i = 0; i < few.fields.size(); ++i) {
        for (uint32_t value : {0xFFFFFFFFu, 0x10000u}) {
            std::string bytes = few.bytes;
            tamarin::EncodeWord(value, reinterpret_cast<unsigned char*>(&bytes[few.fields[i].position]));
            damaged.emplace_back("few-field" + std::to_string(i) + "-" + std::to_string(value), bytes);
        }
    }
    damaged.emplace_back("few-cut", few.bytes.substr(0, few.bytes.size() / 2));
    return damaged;
}

void WriteSeeds() {
    for (int v = 0; v < 4; ++v) {
        const Version version = static_cast<Version>(v);
        const std::string prefix = tamarin_writer::VersionName(version) + std::string("-");
        for (const auto& shape : Shapes(version)) {
            const Encoded encoded = Encode(shape.second);
            Put("archive", prefix + shape.first, encoded.bytes);
            if (v != 0) {
                // The index block: after magic and length.
                Put("index", prefix + shape.first, encoded.bytes.substr(7));
            }
            // Behind images of two sizes, in both placements.
            for (size_t imageSize : {32u, 256u}) {
                for (int trailer = 0; trailer < 2; ++trailer) {
                    std::string image(imageSize, '\0');
                    image[0] = 'M';
                    image[1] = 'Z';
                    Encoded out;
                    std::string error;
                    const auto placement = trailer ? tamarin_writer::kTrailerWord : tamarin_writer::kHeaderWord;
                    if (tamarin_writer::AppendArchive(image, shape.second, placement, &out, &error)) {
                        std::fprintf(stderr, "fuzz_seeds: %s\n", error.c_str());
                        std::exit(1);
                    }
                    const char layout = static_cast<char>(((imageSize - 32) / 4) << 2 | trailer);
                    const std::string archive =
                        out.bytes.substr(imageSize, out.bytes.size() - imageSize - (trailer ? 4 : 0));
                    Put("exe", prefix + shape.first + "-" + std::to_string(imageSize) +
                               (trailer ? "-trailer" : "-header"), layout + archive);
                }
            }
        }
        for (const auto& damaged : Damaged(version)) Put("archive", prefix + damaged.first, damaged.second);
    }

    // Root and volume of every pair of versions, sharing names so that the
    // volume's replace the root's.
    for (int r = 0; r < 4; ++r) {
        for (int v = 0; v < 4; ++v) {
            Archive root, volume;
            root.version = static_cast<Version>(r);
            volume.version = static_cast<Version>(v);
            root.entries = {Entry("shared", "from the root"), Entry("root only", "r")};
            volume.entries = {Entry("shared", "from the volume"), Entry("volume only", "v"),
                              Entry("shared", "dropped or kept by version")};
            const std::string rootBytes = Encode(root).bytes;
            for (unsigned number : {0u, 3u, 999u}) {
                const std::string head = std::string(Word(number), 0, 2) + std::string(Word(rootBytes.size()), 0, 2);
                Put("volume", std::string("pf") + char('0' + r) + "-pf" + char('0' + v) + "-" + std::to_string(number),
                    head + rootBytes + Encode(volume).bytes);
            }
        }
    }
}

// A pf2 index block of count entries, each with a distinct name and a
// header block that announces a 65535-byte container path it does not hold.
std::string MadeUpPaths(size_t count) {
    std::string block = Word(0) + Word(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "%06u", static_cast<unsigned>(i % 1000000));
        block += Word(6) + name + Word(8) + Word(0) + Word(0xFFFF);
    }
    return block;
}

// A pf2 index block of count entries whose header block lengths each run
// 60 KiB past the end of the block.
std::string LengthsPastEnd(size_t count) {
    const size_t perEntry = 4 + 6 + 4;
    std::string block = Word(0) + Word(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "%06u", static_cast<unsigned>(i % 1000000));
        block += Word(6) + name;
        const size_t remaining = (count - i) * perEntry - perEntry;
        block += Word(static_cast<uint32_t>(remaining + 60 * 1024));
    }
    return block;
}

std::string Pf2(const std::string& block) {
    return "pf2" + Word(static_cast<uint32_t>(block.size())) + block;
}

// With wrapped, also behind an executable image and in a volume.
void WriteDamage(size_t madeUpCount, size_t pastEndCount, const std::string& tag, bool wrapped) {
    const std::string madeUp = MadeUpPaths(madeUpCount);
    const std::string pastEnd = LengthsPastEnd(pastEndCount);
    Put("archive", "made-up-paths-" + tag, Pf2(madeUp));
    Put("archive", "lengths-past-end-" + tag, Pf2(pastEnd));
    Put("index", "made-up-paths-" + tag, madeUp);
    Put("index", "lengths-past-end-" + tag, pastEnd);
    if (!wrapped) return;
    // Behind a 32-byte image (header word), and as volume 7 of an empty pf0
    // (twice the entries: the bound there allows for two files).
    Put("exe", "made-up-paths-" + tag, std::string(1, '\0') + Pf2(madeUp));
    Put("exe", "lengths-past-end-" + tag, std::string(1, '\0') + Pf2(pastEnd));
    const std::string root = "pf0" + Word(0);
    const std::string head = std::string(Word(7), 0, 2) + std::string(Word(root.size()), 0, 2) + root;
    Put("volume", "made-up-paths-" + tag, head + Pf2(MadeUpPaths(2 * madeUpCount)));
    Put("volume", "lengths-past-end-" + tag, head + Pf2(LengthsPastEnd(2 * pastEndCount)));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_seeds seeds|scale|faults DIR\n");
        return 2;
    }
    const std::string mode = argv[1];
    g_out = argv[2];
    if (mode == "seeds") {
        WriteSeeds();
    } else if (mode == "scale") {
        // 22 and 14 bytes per entry: blocks of about 320 KB, 800 KB and 1.6 MB.
        WriteDamage(320 * 1024 / 22, 320 * 1024 / 14, "320k", false);
        WriteDamage(800 * 1024 / 22, 1600 * 1024 / 14, "large", false);
    } else if (mode == "faults") {
        WriteDamage(400, 1500, "small", true);
        // Names that lead to folders: one of the scratch folder, one that
        // the folder search tries as an archive.
        Archive folders;
        folders.version = tamarin_writer::kPf0;
        folders.entries = {Entry(".", "dot"), Entry("sub/x", "x")};
        Put("archive", "folder-names", Encode(folders).bytes);
    } else {
        std::fprintf(stderr, "fuzz_seeds: unknown mode %s\n", mode.c_str());
        return 2;
    }
    return 0;
}
