// The reader against damaged archives: every version cut at every length and
// with each length, count, offset and size word replaced. Each case is
// checked against the index the decoding rules give (a small model of them
// below), that no entry read returns a byte from outside its entry, that no
// single allocation exceeds what the file can supply plus the slack, and
// that the live total of the mount's allocations stays within the bound
// that also holds the costliest shapes of an index (the last group).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tamarin/memory.h"
#include "tamarin/pack_file.h"
#include "tamarin_writer/allocation_watch.h"
#include "tamarin_writer/shapes.h"
#include "tamarin_writer/testing.h"
#include "tamarin_writer/writer.h"

namespace tamarin_writer {
namespace {

// Every allocation of this binary is watched (allocation_watch.h). Requests
// far beyond any archive of these tests are refused, and so is a live total
// past kDefaultLiveLimit unless a test lowers it.
const size_t kRefuseAbove = size_t(1) << 28;
const size_t kDefaultLiveLimit = size_t(1) << 30;

const uint64_t kSlack = 64 * 1024;
// make_shared keeps its count beside the bytes; strings round up.
const uint64_t kAllocationOverhead = 256;

// What a mount of an index of indexBytes may hold at its peak: 8 bytes per
// index byte and 16 MiB. Where pointers take 8 bytes, the hash node of one
// entry (name, header and two links) with its bucket pointers (a table that
// rounds its size up is at most half full) takes more than 8 x the 11 bytes
// an entry can take in the index, so there that much is given apart, per
// entry. Nothing of an entry grows with the archive's path.
uint64_t PerEntryAllowance() {
    return sizeof(void*) > 4 ? sizeof(tamarin::HeaderMap::value_type) + 4 * sizeof(void*) : 0;
}

uint64_t MountBound(uint64_t indexBytes, size_t entries) {
    return 8 * indexBytes + (16 << 20) + entries * PerEntryAllowance();
}

// ---- Model of the decoding rules ---------------------------------------------

typedef std::map<std::string, std::pair<uint32_t, uint32_t> > Index;  // name -> (offset, size)

struct Outcome {
    bool failed = false;
    Index index;
};

// A word of the container that cannot be read whole reads as 0, like a
// word of the index.
uint32_t FileWord(const std::string& bytes, uint64_t at) {
    if (at > bytes.size() || bytes.size() - at < 4) return 0;
    return WordAt(bytes, at);
}

// Bytes past the end read as zeros (a short read leaves its buffer zero).
uint32_t PaddedWord(const std::string& bytes, uint64_t at) {
    unsigned char b[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (at + i < bytes.size()) b[i] = static_cast<unsigned char>(bytes[at + i]);
    }
    return tamarin::DecodeWord(b);
}

std::string PaddedBytes(const std::string& bytes, uint64_t at, uint64_t n) {
    std::string out(n, '\0');
    if (at < bytes.size()) {
        const uint64_t have = std::min<uint64_t>(n, bytes.size() - at);
        out.replace(0, have, bytes, at, have);
    }
    return out;
}

// One block in the value encoding, read with the stream's rules.
class BlockModel {
public:
    explicit BlockModel(std::string block) : m_block(std::move(block)) {}

    uint64_t Remaining() const { return m_block.size() - m_pos; }

    void Word(uint32_t& v) {
        if (Remaining() < 4) return;
        v = PaddedWord(m_block, m_pos);
        m_pos += 4;
    }
    // Strings and nested blocks share the framing and the length bound.
    std::string Framed() {
        if (Remaining() < 4) return std::string();
        uint32_t n = 0;
        Word(n);
        if (n <= Remaining()) {
            std::string s = m_block.substr(m_pos, n);
            m_pos += n;
            return s;
        }
        if (n - Remaining() <= kSlack) return std::string(n, '\0');
        return std::string();
    }
    void OffsetTable() {
        uint32_t t = 0;
        Word(t);
        for (uint32_t i = 0; i < t && Remaining() >= 4; ++i) {
            uint32_t id = 0, position = 0;
            Word(id);
            Word(position);
        }
    }

private:
    std::string m_block;
    uint64_t m_pos = 0;
};

Index DecodeIndexBlock(const std::string& block, bool headers) {
    Index index;
    BlockModel model(block);
    model.OffsetTable();
    uint32_t m = 0;
    model.Word(m);
    for (uint32_t i = 0; i < m; ++i) {
        // Once exhausted, every further iteration repeats this one.
        const bool exhausted = model.Remaining() < 4;
        const std::string name = model.Framed();
        uint32_t offset = 0, size = 0;
        if (headers) {
            BlockModel header(model.Framed());
            header.OffsetTable();
            header.Framed();  // stored container path, replaced by the reader
            header.Word(offset);
            header.Word(size);
        } else {
            model.Word(offset);
            model.Word(size);
        }
        index.insert(std::make_pair(name, std::make_pair(offset, size)));
        if (exhausted) break;
    }
    return index;
}

Outcome ExpectedMount(const std::string& file) {
    Outcome out;
    const uint64_t size = file.size();
    uint64_t a = 0;
    if (size >= 2 && file[0] == 'M' && file[1] == 'Z') {
        a = FileWord(file, 28);
        if (a == 0) {
            if (size < 4) {
                out.failed = true;
                return out;
            }
            a = FileWord(file, size - 4);
        }
    }
    const std::string magic = PaddedBytes(file, a, 3);
    if (magic.compare(0, 2, "pf") != 0 || magic[2] < '0' || magic[2] > '3') {
        out.failed = true;
        return out;
    }
    const int version = magic[2] - '0';
    uint64_t pos = a + 3;
    if (version == 0) {
        const uint32_t n = FileWord(file, pos);
        pos += 4;
        for (uint32_t i = 0; i < n; ++i) {
            if (pos + 268 > size) {
                out.failed = true;
                break;
            }
            std::string name = file.substr(pos, 260);
            name.resize(std::min(name.find('\0'), name.size()));
            const uint32_t offset = static_cast<uint32_t>(PaddedWord(file, pos + 260) + a);
            out.index[name] = std::make_pair(offset, PaddedWord(file, pos + 264));
            pos += 268;
        }
        return out;
    }
    const uint32_t length = FileWord(file, pos);
    pos += 4;
    const uint64_t remaining = pos < size ? size - pos : 0;
    if (length > remaining + kSlack) {
        out.failed = true;
        return out;
    }
    std::string block = PaddedBytes(file, pos, length);
    if (version == 3) {
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(block[i] ^ tamarin::g_indexKeyTable[i % 20]);
    }
    out.index = DecodeIndexBlock(block, version != 1);
    return out;
}

// ---- Checking the reader against the model ---------------------------------

// Little-endian words, one after another.
std::string Bytes(std::initializer_list<uint32_t> words) {
    std::string out;
    for (uint32_t w : words) {
        std::string s(4, '\0');
        PatchWord(s, 0, w);
        out += s;
    }
    return out;
}

class DamageTest : public ::testing::Test {
protected:
    DamageTest() : m_path(m_dir.Path("damaged.pfs")) {
        g_refuseAbove = kRefuseAbove;
        g_liveLimit = kDefaultLiveLimit;
    }

    // Mounts bytes as a fresh archive and compares everything with the model.
    void Check(const std::string& bytes, const std::string& what) {
        SCOPED_TRACE(what);
        tamarin::ResetArchiveStateForTesting();
        // A new file each time: truncating one in place can make the file
        // system flush it, which costs more than the whole check.
        std::filesystem::remove(m_path);
        PutFile(m_path, bytes);
        const Outcome want = ExpectedMount(bytes);

        bool failed = false;
        const uint64_t peak = Mount(&failed);
        EXPECT_LE(g_largestRequest.load(), bytes.size() + kSlack + kAllocationOverhead);
        EXPECT_EQ(want.failed, failed);

        const auto registered = tamarin::g_archiveRegistry.find(m_path);
        ASSERT_NE(tamarin::g_archiveRegistry.end(), registered) << "path not registered";
        EXPECT_LE(peak, MountBound(bytes.size() + kSlack, registered->second.size()));
        Index got;
        for (const auto& item : registered->second) {
            EXPECT_EQ("", item.second.containerPath);
            got[item.first] = std::make_pair(item.second.offset, item.second.size);
        }
        EXPECT_EQ(want.index, got);

        tamarin::g_rootArchivePath = m_path;
        for (const auto& item : got) ExpectEntryRead(bytes, item.first, item.second);
    }

    // Mounts m_path alone; the peak growth of the live total while it ran.
    uint64_t Mount(bool* failed) {
        g_largestRequest = 0;
        const size_t before = g_live;
        g_peak = before;
        try {
            tamarin::CPackFile file;
            *failed = file.MountArchive(m_path.c_str(), true);
        } catch (...) {
            ADD_FAILURE() << "mount threw after a request of " << g_largestRequest.load();
        }
        return g_peak - before;
    }

    // The entry reads as the container's bytes from its offset, never more
    // than its size and nothing that lies outside it.
    void ExpectEntryRead(const std::string& bytes, const std::string& name,
                         const std::pair<uint32_t, uint32_t>& where) {
        // Names the reader cannot be asked for: embedded zero, or a slash
        // that Open turns into a backslash.
        if (name.find('\0') != std::string::npos || name.find('/') != std::string::npos) return;
        tamarin::CPackFile entry;
        ASSERT_FALSE(entry.Open(name.c_str())) << "entry '" << name << "'";
        std::string buffer(bytes.size() + 16, '\x5A');
        const uint32_t got = entry.Read(&buffer[0], static_cast<uint32_t>(buffer.size()));
        const uint64_t offset = where.first, size = where.second;
        const uint64_t expected = offset >= bytes.size() ? 0 : std::min<uint64_t>(size, bytes.size() - offset);
        ASSERT_EQ(expected, got) << "entry '" << name << "' at " << offset << " size " << size;
        if (got > 0) {
            EXPECT_EQ(bytes.substr(offset, got), buffer.substr(0, got)) << "entry '" << name << "'";
        }
    }

    // Writes an archive of the given magic around an index block, mounts it
    // (which must succeed) and returns its index.
    const tamarin::HeaderMap& MountIndexBlock(const char* magic, const std::string& block) {
        tamarin::ResetArchiveStateForTesting();
        PutFile(m_path, magic + Bytes({static_cast<uint32_t>(block.size())}) + block);
        tamarin::CPackFile file;
        EXPECT_FALSE(file.MountArchive(m_path.c_str(), true));
        return tamarin::g_archiveRegistry[m_path];
    }

    ScratchDir m_dir;
    std::string m_path;
};

enum Form { kPlain, kBehindHeaderWord, kBehindTrailerWord };

// Three distinct entries, a duplicate and an empty one, with offset tables.
Encoded Fixture(Version version, Form form) {
    Archive archive;
    archive.version = version;
    archive.indexTable = {{1, 2}};
    archive.headerTable = {{3, 4}};
    archive.entries.push_back(Entry("alpha", std::string(40, 'a')));
    archive.entries.push_back(Entry("sub\\beta", "bbbbbbbb"));
    archive.entries.push_back(Entry("alpha", "second alpha"));
    archive.entries.push_back(Entry("empty", ""));
    archive.entries[1].storedPath = "stored.pfs";

    std::string image(64, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    for (size_t i = 32; i < image.size(); ++i) image[i] = static_cast<char>(0xE0 + i % 13);
    Encoded out;
    std::string error;
    const bool failed = form == kPlain ? EncodeArchive(archive, 0, &out, &error)
                                       : AppendArchive(image, archive,
                                                       form == kBehindHeaderWord ? kHeaderWord : kTrailerWord,
                                                       &out, &error);
    EXPECT_FALSE(failed) << error;
    return out;
}

std::string Describe(Version version, Form form) {
    static const char* const kForms[] = {"plain", "behind header word", "behind trailer word"};
    return std::string(VersionName(version)) + " " + kForms[form];
}

const Version kVersions[] = {kPf0, kPf1, kPf2, kPf3};
const Form kForms[] = {kPlain, kBehindHeaderWord, kBehindTrailerWord};

// ---- Intact and cut short ----------------------------------------------------

TEST_F(DamageTest, IntactFixturesReadWhole) {
    for (Version v : kVersions) {
        for (Form f : kForms) {
            const Encoded e = Fixture(v, f);
            const Outcome want = ExpectedMount(e.bytes);
            // The model itself must see the fixture as the writer meant it.
            EXPECT_FALSE(want.failed);
            EXPECT_EQ(3u, want.index.size());
            EXPECT_EQ(v == kPf0 ? 12u : 40u, want.index.at("alpha").second);
            Check(e.bytes, Describe(v, f));
        }
    }
}

TEST_F(DamageTest, CutAtEveryLength) {
    for (Version v : kVersions) {
        for (Form f : kForms) {
            const Encoded e = Fixture(v, f);
            for (size_t length = 0; length < e.bytes.size(); ++length) {
                Check(e.bytes.substr(0, length), Describe(v, f) + " cut at " + std::to_string(length));
                if (HasFatalFailure()) return;
            }
        }
    }
}

// ---- Words replaced ------------------------------------------------------------

TEST_F(DamageTest, EveryLengthCountOffsetAndSizeWordReplaced) {
    for (Version v : kVersions) {
        for (Form f : kForms) {
            const Encoded e = Fixture(v, f);
            for (const Field& field : e.fields) {
                const uint32_t original = WordAt(e.bytes, field.position);
                // The last value overshoots the data but stays within the slack.
                for (uint32_t value : {0u, 0x7FFFFFFFu, 0xFFFFFFFFu, original + 1000u}) {
                    std::string damaged = e.bytes;
                    PatchWord(damaged, field.position, value);
                    Check(damaged, Describe(v, f) + " field kind " + std::to_string(field.kind) + " at " +
                                       std::to_string(field.position) + " = " + std::to_string(value));
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

// ---- The length bound, spelled out -------------------------------------------

TEST_F(DamageTest, IndexLengthBeyondTheSlackGivesAnEmptyRegisteredIndex) {
    for (const char* magic : {"pf1", "pf2", "pf3"}) {
        const std::string bytes = std::string(magic) + Bytes({0xFFFFFFF0u, 0, 1, 1}) + "x";
        tamarin::ResetArchiveStateForTesting();
        PutFile(m_path, bytes);
        g_largestRequest = 0;
        tamarin::CPackFile file;
        EXPECT_TRUE(file.MountArchive(m_path.c_str(), true)) << magic;
        EXPECT_LT(g_largestRequest.load(), kSlack + 4096);
        ASSERT_EQ(1u, tamarin::g_archiveRegistry.count(m_path));
        EXPECT_TRUE(tamarin::g_archiveRegistry[m_path].empty());
        // Registered: a second mount succeeds without reading again.
        EXPECT_FALSE(file.Mount(m_path.c_str()));
    }
}

TEST_F(DamageTest, StringLengthBeyondTheSlackIsEmptiedAndReadingGoesOn) {
    // pf1, one entry: the name's length word is absurd, so the name is empty
    // and the two words after the length word are taken as offset and size.
    const std::string block = Bytes({0, 1, 0xFFFFFF00u, 9, 2, 77});
    const tamarin::HeaderMap& index = MountIndexBlock("pf1", block);
    ASSERT_EQ(1u, index.size());
    ASSERT_EQ(1u, index.count(""));
    EXPECT_EQ(9u, index.at("").offset);
    EXPECT_EQ(2u, index.at("").size);
}

TEST_F(DamageTest, StringLengthWithinTheSlackReadsAsZeros) {
    const std::string block = Bytes({0, 1, 10, 0});  // name of 10 bytes, 4 present
    const tamarin::HeaderMap& index = MountIndexBlock("pf1", block);
    ASSERT_EQ(1u, index.size());
    // Position stayed after the length word, so the 0 word is the offset.
    EXPECT_EQ(std::string(10, '\0'), index.begin()->first);
    EXPECT_EQ(0u, index.begin()->second.offset);
}

TEST_F(DamageTest, NestedBlockBeyondTheSlackGivesAnEmptyHeader) {
    // pf2: the header block's length is absurd; the child reads an empty
    // block, and the next name is read right after the length word.
    const std::string header = Bytes({0, 0, 5, 6});
    const std::string block = Bytes({0, 2, 1}) + "a" + Bytes({0x7FFFFFFFu}) +
                              Bytes({1}) + "b" + Bytes({static_cast<uint32_t>(header.size())}) + header;
    g_largestRequest = 0;
    const tamarin::HeaderMap& index = MountIndexBlock("pf2", block);
    EXPECT_LT(g_largestRequest.load(), kSlack + 4096);
    ASSERT_EQ(2u, index.size());
    EXPECT_EQ(0u, index.at("a").offset);
    EXPECT_EQ(0u, index.at("a").size);
    EXPECT_EQ(5u, index.at("b").offset);
    EXPECT_EQ(6u, index.at("b").size);
}

TEST_F(DamageTest, HugeCountsStopWhenTheBlockIsExhausted) {
    // m = 0xFFFFFFFF with one real entry: the real one and the empty name.
    const std::string block = Bytes({0, 0xFFFFFFFFu, 1}) + "r" + Bytes({3, 4});
    const tamarin::HeaderMap& index = MountIndexBlock("pf1", block);
    ASSERT_EQ(2u, index.size());
    EXPECT_EQ(3u, index.at("r").offset);
    EXPECT_EQ(0u, index.at("").size);
}

// ---- Entries that cannot be read -----------------------------------------------

TEST_F(DamageTest, OpenFailsWhenTheContainerIsGone) {
    const Encoded e = Fixture(kPf2, kPlain);
    PutFile(m_path, e.bytes);
    tamarin::g_rootArchivePath = m_path;
    {
        tamarin::CPackFile file;
        ASSERT_FALSE(file.MountArchive(m_path.c_str(), true));
    }
    std::filesystem::remove(m_path);
    tamarin::CPackFile entry;
    EXPECT_TRUE(entry.Open("alpha"));
    char c = 0;
    EXPECT_EQ(0u, entry.Read(&c, 1));
}

TEST_F(DamageTest, ReadReadsNothingOutsideTheEntry) {
    const Encoded e = Fixture(kPf1, kBehindHeaderWord);
    PutFile(m_path, e.bytes);
    tamarin::g_rootArchivePath = m_path;
    tamarin::CPackFile entry;
    ASSERT_FALSE(entry.Open("sub\\beta"));
    ASSERT_EQ(8, entry.GetSize());
    // Origin 0 does not check bounds: past the end Tell is -1 and Read stops.
    ASSERT_EQ(0, entry.Seek(9, 0));
    EXPECT_EQ(-1, entry.Tell());
    char buffer[64];
    EXPECT_EQ(0u, entry.Read(buffer, sizeof(buffer)));
    // Before the start as well.
    ASSERT_EQ(0, entry.Seek(-1, 0));
    EXPECT_EQ(-1, entry.Tell());
    EXPECT_EQ(0u, entry.Read(buffer, sizeof(buffer)));
    // Back inside: exactly the entry.
    ASSERT_EQ(0, entry.Seek(-3, 2));
    EXPECT_EQ(5, entry.Tell());
    EXPECT_EQ(3u, entry.Read(buffer, sizeof(buffer)));
}

// ---- Files that are not archives -----------------------------------------------

TEST_F(DamageTest, NotAnArchiveFailsOnceThenStaysRegisteredEmpty) {
    PutFile(m_path, "This is plain text, no archive.");
    {
        tamarin::CPackFile file;
        EXPECT_TRUE(file.Mount(m_path.c_str()));
        EXPECT_FALSE(file.Mount(m_path.c_str()));
    }
    tamarin::ResetArchiveStateForTesting();
    tamarin::CPackFile file;
    std::list<std::string> names = {"left alone"};
    EXPECT_TRUE(file.ListEntries(m_path.c_str(), names));
    EXPECT_EQ(std::list<std::string>{"left alone"}, names);
    EXPECT_FALSE(file.ListEntries(m_path.c_str(), names));
    EXPECT_TRUE(names.empty());
}

// ---- Cost of the costliest shapes -----------------------------------------------

// block as the index of an archive of that version, as a file or behind an
// executable image.
std::string Wrap(Version version, const std::string& block, Form form) {
    std::string archive = VersionName(version) +
        Bytes({static_cast<uint32_t>(version == kPf0 ? block.size() / 268 : block.size())}) + block;
    if (form == kPlain) return archive;
    std::string image(64, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    if (form == kBehindHeaderWord) {
        PatchWord(image, kHeaderWordOffset, 64);
        return image + archive;
    }
    return image + archive + Bytes({64});
}

TEST_F(DamageTest, CostliestShapesMountInLinearMemory) {
    const struct {
        Shape shape;
        Version version;
    } kCases[] = {
        {kMadeUpPaths, kPf2}, {kMadeUpPaths, kPf3}, {kNestedPastEnd, kPf2}, {kNestedPastEnd, kPf3},
        {kMadeUpNames, kPf1}, {kMadeUpNames, kPf2}, {kDenseEntries, kPf1}, {kDenseEntries, kPf2},
        {kLongOffsetTable, kPf1}, {kLongOffsetTable, kPf3}, {kPf0Records, kPf0},
    };
    // At these sizes 16 MiB hides any cost per index byte, so the growth
    // from the small index to one 8 times as large is held to the bound's
    // slope as well: together they give the bound for an index of any size.
    const uint32_t kSmall = 1 << 18, kLarge = 1 << 21;
    for (const auto& c : kCases) {
        uint64_t smallPeak = 0, smallBytes = 0, smallEntries = 0;
        for (Form form : kForms) {
            for (uint32_t size : {kSmall, kLarge}) {
                if (size == kLarge && form != kPlain) continue;
                const std::string block = ShapedIndex(c.shape, c.version, size);
                SCOPED_TRACE("shape " + std::to_string(c.shape) + " " + Describe(c.version, form) + " " +
                             std::to_string(block.size()) + " bytes");
                tamarin::ResetArchiveStateForTesting();
                PutFile(m_path, Wrap(c.version, block, form));
                bool failed = true;
                const uint64_t peak = Mount(&failed);
                EXPECT_FALSE(failed);
                const size_t entries = tamarin::g_archiveRegistry[m_path].size();
                EXPECT_LE(peak, MountBound(block.size(), entries)) << entries << " entries";
                // Counts are not trusted: reading stops where the bytes do.
                EXPECT_LE(entries, block.size() / 11 + 1);
                if (form != kPlain) continue;
                if (size == kSmall) {
                    smallPeak = peak, smallBytes = block.size(), smallEntries = entries;
                } else {
                    EXPECT_LE(peak, smallPeak + 8 * (block.size() - smallBytes) +
                                        (std::max<uint64_t>(entries, smallEntries) - smallEntries) * PerEntryAllowance())
                        << "from " << smallPeak << " to " << peak << " bytes, " << entries << " entries";
                }
            }
        }
    }
}

TEST_F(DamageTest, CostliestShapesMountInLinearTime) {
    // Each shape is timed against one of the same size that costs the same
    // when decoding is linear, so that the check holds in slow builds too.
    const struct {
        Shape shape, yardstick;
        uint32_t size;
    } kCases[] = {
        // Every header length runs past the end: zero-filling the rest of
        // the index once per entry took 10 s at 2 MiB.
        {kNestedPastEnd, kDenseEntries, 2 << 20},
        // Offset table ids in one bucket: every insertion walked all the
        // others, 4.6 s at 512 KiB.
        {kCollidingIds, kLongOffsetTable, 1 << 19},
    };
    for (const auto& c : kCases) {
        double seconds[2];
        const Shape shapes[2] = {c.shape, c.yardstick};
        for (int i = 0; i < 2; ++i) {
            tamarin::ResetArchiveStateForTesting();
            PutFile(m_path, Wrap(kPf2, ShapedIndex(shapes[i], kPf2, c.size), kPlain));
            const auto start = std::chrono::steady_clock::now();
            bool failed = true;
            Mount(&failed);
            seconds[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            EXPECT_FALSE(failed);
        }
        EXPECT_LT(seconds[0], 3 * seconds[1] + 0.5) << "shape " << c.shape;
    }
}

TEST_F(DamageTest, RunningOutOfMemoryFailsTheMountAndLeavesItRegisteredEmpty) {
    PutFile(m_path, Wrap(kPf2, ShapedIndex(kDenseEntries, kPf2, 1 << 20), kBehindHeaderWord));
    tamarin::g_rootArchivePath = m_path;
    bool listed = false, opened = false;
    std::list<std::string> names = {"left alone"};
    {
        tamarin::CPackFile file;
        // Far less than the index needs, as in a 32-bit process whose
        // address space is spent.
        g_liveLimit = g_live + (1 << 20);
        listed = !file.ListEntries(m_path.c_str(), names);
        opened = !file.Open("A\1\1");
        g_liveLimit = kDefaultLiveLimit;
    }
    EXPECT_FALSE(listed);
    EXPECT_EQ(std::list<std::string>{"left alone"}, names);
    EXPECT_FALSE(opened);
    ASSERT_EQ(1u, tamarin::g_archiveRegistry.count(m_path));
    EXPECT_TRUE(tamarin::g_archiveRegistry[m_path].empty());
}

}  // namespace
}  // namespace tamarin_writer
