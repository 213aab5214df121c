#include "tamarin/pack_file.h"

#include <cstring>
#include <filesystem>
#include <memory>

#include "tamarin/serializer.h"
#include "test_support.h"

namespace {

using tamarin::CFile;
using tamarin::CPackFile;
using tamarin::g_archiveRegistry;
using tamarin_test::Bytes;
using tamarin_test::WriteFile;

struct Entry {
    std::string name;
    std::string data;
};
typedef std::vector<Entry> Entries;
typedef std::list<std::string> Names;

// pf0: fixed 268-byte records, offsets relative to the magic.
std::string Pf0(const Entries& entries) {
    Bytes b;
    b.Raw("pf0").Word(static_cast<uint32_t>(entries.size()));
    uint32_t offset = 7 + 268 * static_cast<uint32_t>(entries.size());
    for (const Entry& e : entries) {
        b.Raw(e.name).Fill(260 - e.name.size(), '\0').Word(offset).Word(static_cast<uint32_t>(e.data.size()));
        offset += static_cast<uint32_t>(e.data.size());
    }
    for (const Entry& e : entries) b.Raw(e.data);
    return b.str();
}

// pf1/pf2/pf3 index block with empty offset tables; offsets count from the
// container's first byte, which lies start bytes before the magic.
std::string IndexBlock(char version, const Entries& entries, uint32_t firstData) {
    Bytes b;
    b.Word(0).Word(static_cast<uint32_t>(entries.size()));
    uint32_t offset = firstData;
    for (const Entry& e : entries) {
        const uint32_t size = static_cast<uint32_t>(e.data.size());
        b.Str(e.name);
        if (version == '1') {
            b.Word(offset).Word(size);
        } else {
            b.Str(Bytes().Word(0).Str("stored\\path.pfs").Word(offset).Word(size).str());
        }
        offset += size;
    }
    return b.str();
}

std::string Indexed(char version, const Entries& entries, uint32_t start = 0) {
    const uint32_t length = static_cast<uint32_t>(IndexBlock(version, entries, 0).size());
    Bytes b;
    b.Raw(std::string("pf") + version).Word(length).Raw(IndexBlock(version, entries, start + 7 + length));
    for (const Entry& e : entries) b.Raw(e.data);
    return b.str();
}

// An executable image of size bytes whose header word at 28 is headerWord.
std::string Exe(uint32_t size, uint32_t headerWord) {
    std::string image = Bytes().Raw("MZ").Fill(26, 'x').Word(headerWord).str();
    return image + std::string(size - image.size(), 'x');
}

std::string ReadAll(CFile& file) {
    std::string bytes(file.GetSize() > 0 ? file.GetSize() + 8 : 64, '\0');
    bytes.resize(file.Read(&bytes[0], static_cast<uint32_t>(bytes.size())));
    return bytes;
}

// Opens name and returns its bytes, or "<missing>".
std::string Contents(const char* name) {
    CPackFile file;
    if (file.Open(name)) return "<missing>";
    return ReadAll(file);
}

Names List(const char* archive) {
    CPackFile file;
    Names names = {"<untouched>"};
    file.ListEntries(archive, names);
    names.sort();
    return names;
}

bool Registered(const std::string& path) {
    return g_archiveRegistry.find(path) != g_archiveRegistry.end();
}

class PackFileTest : public tamarin_test::TempDirTest {};

// --- Normal reading: versions and layouts ---

TEST_F(PackFileTest, Pf0RootEntryOpensAtItsFirstByte) {
    WriteFile("root.pfs", Pf0({{"a.txt", "hello"}, {"dir\\b.bin", "world!"}}));
    CPackFile file;
    ASSERT_FALSE(file.Open("a.txt"));
    EXPECT_EQ(file.GetPath(), "a.txt");
    EXPECT_EQ(file.GetContainerPath(), "root.pfs");
    EXPECT_EQ(file.GetSize(), 5);
    EXPECT_EQ(file.Tell(), 0);
    EXPECT_EQ(ReadAll(file), "hello");
    // Forward slashes find the backslash name, which GetPath reports.
    ASSERT_FALSE(file.Open("dir/b.bin"));
    EXPECT_EQ(file.GetPath(), "dir\\b.bin");
    EXPECT_EQ(ReadAll(file), "world!");
}

TEST_F(PackFileTest, Pf0EmptyArchivesAreValid) {
    WriteFile("bare.pfs", "pf0");
    WriteFile("zero.pfs", Pf0({}));
    EXPECT_EQ(List("bare.pfs"), Names());
    EXPECT_EQ(List("zero.pfs"), Names());
}

TEST_F(PackFileTest, Pf0NameEndsAtFirstZeroOrFillsTheField) {
    const std::string full(260, 'N');
    WriteFile("root.pfs", Bytes().Raw("pf0").Word(2)
                              .Raw("short").Fill(1, '\0').Fill(254, 'g').Word(0).Word(0)
                              .Raw(full).Word(0).Word(3).str());
    EXPECT_EQ(List("root.pfs"), Names({full, "short"}));
    EXPECT_EQ(g_archiveRegistry["root.pfs"][full].size, 3u);
}

TEST_F(PackFileTest, Pf0LaterRecordOfANameWins) {
    WriteFile("root.pfs", Pf0({{"a", "first"}, {"a", "second"}}));
    EXPECT_EQ(Contents("a"), "second");
}

TEST_F(PackFileTest, IndexedVersionsReadEntriesFromTheMountedFile) {
    for (char version : {'1', '2', '3'}) {
        tamarin::ResetArchiveStateForTesting();
        WriteFile("root.pfs", Indexed(version, {{"a", "alpha"}, {"dir\\b", "beta"}, {"a", "dropped"}}));
        // First occurrence wins; the stored container path is replaced.
        EXPECT_EQ(Contents("a"), "alpha") << version;
        EXPECT_EQ(Contents("dir/b"), "beta") << version;
        // The registry names the container relative to the archive.
        EXPECT_EQ(g_archiveRegistry["root.pfs"]["a"].containerPath, "") << version;
    }
}

TEST_F(PackFileTest, Pf2WithOneEntryAndEmptyTablesHasA73ByteIndex) {
    // magic 3, L 4, table count 4, entry count 4, name 4 + 34, header block
    // length 4, header block 16 (table count, empty path, offset, size).
    const std::string name(34, 'n');
    WriteFile("root.pfs", Bytes().Raw("pf2").Word(66).Word(0).Word(1).Str(name)
                              .Word(16).Word(0).Word(0).Word(73).Word(4).Raw("DATA").str());
    EXPECT_EQ(Contents(name.c_str()), "DATA");
}

TEST_F(PackFileTest, Pf3IsPf2WithKeyedIndexBlock) {
    const Entries entries = {{"a", "alpha"}, {"b", "beta"}};
    WriteFile("two.pfs", Indexed('2', entries));
    std::string pf3 = Indexed('2', entries);
    pf3[2] = '3';
    WriteFile("three.pfs", pf3);
    EXPECT_EQ(List("three.pfs"), List("two.pfs"));

    // With a key in the table the stored block is XORed byte by byte.
    for (int i = 0; i < 20; ++i) tamarin::g_indexKeyTable[i] = static_cast<unsigned char>(0x11 * (i + 1));
    const uint32_t length = tamarin::DecodeWord(reinterpret_cast<const unsigned char*>(pf3.data() + 3));
    for (uint32_t i = 0; i < length; ++i) pf3[7 + i] ^= tamarin::g_indexKeyTable[i % 20];
    WriteFile("keyed.pfs", pf3);
    EXPECT_EQ(List("keyed.pfs"), Names({"a", "b"}));
}

// --- Archives behind an executable ---

TEST_F(PackFileTest, ExecutableHeaderWordGivesArchiveStart) {
    // pf0 offsets count from the magic, pf2 offsets from the file's start.
    WriteFile("pf0.exe", Exe(4096, 4096) + Pf0({{"a", "zero"}}));
    WriteFile("pf2.exe", Exe(4096, 4096) + Indexed('2', {{"a", "two"}}, 4096));
    tamarin::g_rootArchivePath = "pf0.exe";
    EXPECT_EQ(Contents("a"), "zero");
    tamarin::g_rootArchivePath = "pf2.exe";
    EXPECT_EQ(Contents("a"), "two");
}

TEST_F(PackFileTest, ExecutableTrailerWordIsUsedOnlyWhenHeaderWordIsZero) {
    WriteFile("trailer.exe", Exe(4096, 0) + Indexed('1', {{"a", "trailer"}}, 4096) + Bytes().Word(4096).str());
    // Header word wins over a different trailer.
    WriteFile("header.exe", Exe(100, 100) + Pf0({{"a", "header"}}) + Bytes().Word(4096).str());
    tamarin::g_rootArchivePath = "trailer.exe";
    EXPECT_EQ(Contents("a"), "trailer");
    tamarin::g_rootArchivePath = "header.exe";
    EXPECT_EQ(Contents("a"), "header");
}

// --- Volumes ---

TEST_F(PackFileTest, VolumeEntriesReplaceArchiveEntriesAndReadFromVolume) {
    WriteFile("root.pfs", Pf0({{"same", "base"}, {"only", "root"}}));
    WriteFile("root.pfs.003", Exe(64, 64) + Indexed('2', {{"same", "from volume"}}, 64));
    CPackFile file;
    ASSERT_FALSE(file.Open("same"));
    EXPECT_EQ(file.GetContainerPath(), "root.pfs.003");
    EXPECT_EQ(file.GetHeader().containerPath, "root.pfs.003");
    EXPECT_EQ(ReadAll(file), "from volume");
    EXPECT_EQ(Contents("only"), "root");
    EXPECT_TRUE(Registered("root.pfs.003"));
    // Merged headers keep only the volume's suffix, the volume's own none.
    const tamarin::HeaderMap& root = g_archiveRegistry["root.pfs"];
    EXPECT_EQ(root.at("same").containerPath, ".003");
    EXPECT_EQ(tamarin::ContainerPathOf("root.pfs", root.at("same")), "root.pfs.003");
    EXPECT_EQ(tamarin::ContainerPathOf("root.pfs", root.at("only")), "root.pfs");
    EXPECT_EQ(g_archiveRegistry["root.pfs.003"].at("same").containerPath, "");
}

TEST_F(PackFileTest, MissingVolumeNumbersDoNotEndTheSeries) {
    WriteFile("root.pfs", Pf0({}));
    WriteFile("root.pfs.001", Pf0({{"v", "one"}, {"w", "w1"}}));
    WriteFile("root.pfs.999", Pf0({{"v", "last"}}));
    EXPECT_EQ(Contents("v"), "last");
    EXPECT_EQ(Contents("w"), "w1");
}

TEST_F(PackFileTest, VolumesOfAnInvalidArchiveAreNotRead) {
    WriteFile("root.pfs", "not an archive");
    WriteFile("root.pfs.000", Pf0({{"v", "volume"}}));
    EXPECT_EQ(Contents("v"), "<missing>");
    EXPECT_FALSE(Registered("root.pfs.000"));
}

// --- Where Open looks ---

TEST_F(PackFileTest, PlainFileWinsOverRootEntry) {
    WriteFile("root.pfs", Pf0({{"a.txt", "archived"}}));
    WriteFile("a.txt", "plain!!");
    CPackFile file;
    ASSERT_FALSE(file.Open("a.txt"));
    EXPECT_EQ(file.GetContainerPath(), "");
    EXPECT_EQ(file.GetSize(), 7);
    EXPECT_EQ(ReadAll(file), "plain!!");
}

// What the programs install must come from their own file only.
TEST_F(PackFileTest, OpenRootEntryTakesNeitherPlainFilesNorFolderArchives) {
    WriteFile("root.pfs", Pf0({{"a.txt", "archived"}, {"d\\b", "in root"}}));
    WriteFile("a.txt", "plain!!");
    WriteFile("x.pfs", Pf0({{"c", "folder archive"}}));
    CPackFile file;
    ASSERT_FALSE(file.OpenRootEntry("a.txt"));
    EXPECT_EQ(file.GetContainerPath(), "root.pfs");
    EXPECT_EQ(ReadAll(file), "archived");
    ASSERT_FALSE(file.OpenRootEntry("d/b"));
    EXPECT_EQ(ReadAll(file), "in root");
    for (const char* name : {"x\\c", "plain", "root.pfs"}) {
        EXPECT_TRUE(file.OpenRootEntry(name)) << name;
        EXPECT_EQ(file.Tell(), -1) << name;
    }
    tamarin::g_rootArchivePath = "a.txt";  // not an archive
    EXPECT_TRUE(file.OpenRootEntry("a.txt"));
    EXPECT_EQ(file.Tell(), -1);
}

TEST_F(PackFileTest, NameWithoutSeparatorIsNotSearchedInFolderArchives) {
    WriteFile("name.pfs", Pf0({{"", "found as folder"}}));
    EXPECT_EQ(Contents("name"), "<missing>");
    EXPECT_FALSE(Registered("name.pfs"));
    EXPECT_EQ(Contents("name\\"), "found as folder");
}

TEST_F(PackFileTest, FolderPrefixWithExtensionIsMountedAndSearched) {
    WriteFile("f.pfs", Indexed('2', {{"e", "in folder"}}));
    CPackFile file;
    ASSERT_FALSE(file.Open("f/e"));
    EXPECT_EQ(file.GetPath(), "f\\e");
    EXPECT_EQ(file.GetContainerPath(), "f.pfs");
    EXPECT_EQ(ReadAll(file), "in folder");
}

TEST_F(PackFileTest, RegisteredArchivesAreSearchedBeforeShorterPrefixesAreMounted) {
    WriteFile("a.pfs", Pf0({{"b\\c", "shorter prefix"}}));
    WriteFile("a\\b.pfs", Pf0({{"c", "registered"}}));
    CPackFile file;
    ASSERT_FALSE(file.Mount("a\\b.pfs"));
    EXPECT_EQ(Contents("a\\b\\c"), "registered");
    EXPECT_FALSE(Registered("a.pfs"));
    // Mounting in order, the shortest prefix wins.
    tamarin::ResetArchiveStateForTesting();
    EXPECT_EQ(Contents("a\\b\\c"), "shorter prefix");
}

TEST_F(PackFileTest, MissingNameSkipsFolderSearchButNotRootOrPlainFile) {
    tamarin::g_rootArchivePath = "late.pfs";
    EXPECT_EQ(Contents("f\\e"), "<missing>");
    EXPECT_EQ(tamarin::g_missingNames.count("f\\e"), 1u);
    WriteFile("f.pfs", Pf0({{"e", "folder"}}));
    EXPECT_EQ(Contents("f/e"), "<missing>");
    EXPECT_FALSE(Registered("f.pfs"));
    WriteFile("late.pfs", Pf0({{"f\\e", "root"}}));
    EXPECT_EQ(Contents("f\\e"), "root");
    WriteFile("f\\e", "plain");
    EXPECT_EQ(Contents("f\\e"), "plain");
}

TEST_F(PackFileTest, ShiftJisTrailByte5CDoesNotSplitAFolderName) {
    // "\x95\x5C" is one character; cutting at its 0x5C would find the
    // archive "\x95.pfs" first.
    WriteFile("\x95\x5Cx.pfs", "..abc");
    WriteFile("\x95.pfs", "WRONG");
    g_archiveRegistry["\x95.pfs"]["x\\e"] = CPackFile::CHeader("", 0, 5);
    g_archiveRegistry["\x95\x5Cx.pfs"]["e"] = CPackFile::CHeader("", 2, 3);
    EXPECT_EQ(Contents("\x95\x5Cx\\e"), "abc");
}

TEST_F(PackFileTest, UnopenableContainerFailsOpenAndLeavesObjectClosed) {
    WriteFile("root.pfs", Pf0({{"a", "data"}}));
    {
        CPackFile mounter;
        ASSERT_FALSE(mounter.Mount("root.pfs"));
    }
    std::filesystem::remove("root.pfs");
    CPackFile file;
    EXPECT_TRUE(file.Open("a"));
    EXPECT_EQ(file.GetPath(), "");
    EXPECT_EQ(file.GetContainerPath(), "");
    EXPECT_EQ(file.GetSize(), 0);
    EXPECT_EQ(file.Tell(), -1);
    EXPECT_EQ(file.Close(), -1);
}

// --- Positioning inside an entry ---

class PackPositionTest : public PackFileTest {
protected:
    void SetUp() override {
        PackFileTest::SetUp();
        WriteFile("root.pfs", Pf0({{"before", "BBBBB"}, {"ten", "0123456789"}, {"after", "AAAA"}}));
        ASSERT_FALSE(file.Open("ten"));
    }
    std::string ReadUpTo(uint32_t n) {
        std::string bytes(n, '\0');
        bytes.resize(file.Read(&bytes[0], n));
        return bytes;
    }
    CPackFile file;
};

TEST_F(PackPositionTest, ReadStopsAtTheEntryEnd) {
    EXPECT_EQ(ReadUpTo(100), "0123456789");
    EXPECT_EQ(file.Tell(), 10);
    EXPECT_EQ(ReadUpTo(100), "");
}

TEST_F(PackPositionTest, SeekMovesWithinTheEntry) {
    EXPECT_EQ(file.Seek(-1, 1), 0);
    EXPECT_EQ(file.Tell(), 0);
    EXPECT_EQ(file.Seek(5, 0), 0);
    EXPECT_EQ(file.Tell(), 5);
    EXPECT_EQ(file.Seek(0, 2), 0);
    EXPECT_EQ(file.Tell(), 10);
    EXPECT_EQ(file.Seek(1, 1), 0);  // past the end: nothing moves
    EXPECT_EQ(file.Tell(), 10);
    EXPECT_EQ(file.Seek(-3, 1), 0);
    EXPECT_EQ(ReadUpTo(100), "789");
    EXPECT_EQ(file.Seek(-4, 2), 0);
    EXPECT_EQ(ReadUpTo(2), "67");
    EXPECT_EQ(file.Seek(1, 3), -1);
    EXPECT_EQ(file.Tell(), 8);
}

TEST_F(PackPositionTest, PositionOutsideTheEntryReadsNothing) {
    char buffer[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    for (int32_t offset : {11, -1}) {
        EXPECT_EQ(file.Seek(offset, 0), 0) << offset;
        EXPECT_EQ(file.Tell(), -1) << offset;
        EXPECT_EQ(file.Read(buffer, 8), 0u) << offset;
        EXPECT_EQ(buffer[0], 'x') << offset;
    }
    EXPECT_EQ(file.Seek(-11, 2), 0);
    EXPECT_EQ(file.Read(buffer, 8), 0u);
    EXPECT_EQ(file.Seek(0, 0), 0);
    EXPECT_EQ(ReadUpTo(3), "012");
}

TEST_F(PackPositionTest, CloseTwiceAndClosedObjectCalls) {
    EXPECT_EQ(file.Close(), 0);
    EXPECT_EQ(file.GetSize(), 0);
    EXPECT_EQ(file.GetContainerPath(), "");
    EXPECT_EQ(file.GetPath(), "");
    EXPECT_EQ(file.Close(), -1);
    EXPECT_EQ(file.Tell(), -1);
    EXPECT_EQ(file.Seek(0, 0), -1);
    EXPECT_EQ(file.Seek(0, 2), -1);
    EXPECT_EQ(file.Seek(0, 1), 0);
    EXPECT_EQ(file.Seek(0, 7), -1);
    char c = 'x';
    EXPECT_EQ(file.Read(&c, 1), 0u);
}

TEST_F(PackPositionTest, CloneWithoutCopyIsClosed) {
    std::unique_ptr<CFile> clone(file.Clone(false));
    EXPECT_EQ(clone->GetSize(), 0);
    EXPECT_EQ(clone->GetPath(), "");
    EXPECT_EQ(clone->Close(), -1);
}

TEST_F(PackPositionTest, CloneWithCopyReadsOnInsideTheSameEntry) {
    ASSERT_EQ(file.Seek(4, 0), 0);
    std::unique_ptr<CPackFile> clone(static_cast<CPackFile*>(file.Clone(true)));
    EXPECT_EQ(clone->GetPath(), "ten");
    EXPECT_EQ(clone->GetContainerPath(), "root.pfs");
    EXPECT_EQ(clone->GetSize(), 10);
    EXPECT_EQ(clone->Tell(), 4);
    EXPECT_EQ(file.Close(), 0);
    std::string rest(100, '\0');
    rest.resize(clone->Read(&rest[0], 100));
    EXPECT_EQ(rest, "456789");
    EXPECT_EQ(clone->Close(), 0);
}

TEST_F(PackFileTest, CloneWithCopyOfPlainFileReopensIt) {
    WriteFile("plain.bin", "abcdef");
    CPackFile file;
    ASSERT_FALSE(file.Open("plain.bin"));
    ASSERT_EQ(file.Seek(2, 0), 0);
    std::unique_ptr<CFile> clone(file.Clone(true));
    EXPECT_EQ(clone->GetPath(), "plain.bin");
    EXPECT_EQ(ReadAll(*clone), "cdef");
    EXPECT_EQ(file.Tell(), 2);
    EXPECT_EQ(clone->Close(), 0);
    EXPECT_EQ(file.Close(), 0);
}

// --- Mounting, and archives that are damaged or not archives ---

TEST_F(PackFileTest, SecondMountOfAPathReadsNothing) {
    WriteFile("root.pfs", Pf0({{"old", "1"}}));
    CPackFile file;
    ASSERT_FALSE(file.Mount("root.pfs"));
    file.Close();
    WriteFile("root.pfs", Pf0({{"new", "2"}}));
    EXPECT_FALSE(file.Mount("root.pfs"));
    EXPECT_EQ(List("root.pfs"), Names({"old"}));
}

TEST_F(PackFileTest, NonArchiveFailsFirstMountThenListsEmpty) {
    for (const char* bytes : {"hello world", "MZ", "pf4", "pf"}) {
        tamarin::ResetArchiveStateForTesting();
        WriteFile("x.bin", bytes);
        CPackFile file;
        EXPECT_TRUE(file.Mount("x.bin")) << bytes;
        EXPECT_FALSE(file.Mount("x.bin")) << bytes;
        EXPECT_EQ(List("x.bin"), Names()) << bytes;
    }
    EXPECT_EQ(List("absent.pfs"), Names({"<untouched>"}));
}

// A pf0 archive of entries a and b cut inside b's record.
std::string Pf0CutInSecondRecord() {
    std::string archive = Pf0({{"a", "1"}, {"b", "2"}});
    archive.resize(7 + 268 + 100);
    return archive;
}

TEST_F(PackFileTest, Pf0CutShortKeepsRecordsReadBefore) {
    WriteFile("cut.pfs", Pf0CutInSecondRecord());
    CPackFile file;
    EXPECT_TRUE(file.Mount("cut.pfs"));
    EXPECT_FALSE(file.Mount("cut.pfs"));
    EXPECT_EQ(List("cut.pfs"), Names({"a"}));
}

// The first mount of a damaged root archive fails but registers what it
// read, so the same name fails once and opens afterwards.
TEST_F(PackFileTest, RootCutShortFailsTheFirstOpenOnly) {
    WriteFile("root.pfs", Pf0CutInSecondRecord());
    CPackFile file;
    EXPECT_TRUE(file.Open("a"));
    ASSERT_FALSE(file.Open("a"));
    EXPECT_EQ(file.GetContainerPath(), "root.pfs");
    EXPECT_EQ(file.GetSize(), 1);
    EXPECT_TRUE(file.Open("b"));
}

TEST_F(PackFileTest, IndexLengthIsBoundByFileSizePlusSlack) {
    const std::string block = IndexBlock('1', {{"a", "x"}}, 0);
    const uint32_t size = static_cast<uint32_t>(block.size());
    // Within the bound the missing bytes read as zeros.
    WriteFile("within.pfs", Bytes().Raw("pf1").Word(size + tamarin::kLengthSlack).Raw(block).str());
    WriteFile("beyond.pfs", Bytes().Raw("pf1").Word(size + tamarin::kLengthSlack + 1).Raw(block).str());
    WriteFile("huge.pfs", Bytes().Raw("pf2").Word(0xFFFFFFF0).Raw(block).str());
    EXPECT_EQ(List("within.pfs"), Names({"a"}));
    for (const char* path : {"beyond.pfs", "huge.pfs"}) {
        CPackFile file;
        EXPECT_TRUE(file.Mount(path)) << path;
        EXPECT_TRUE(Registered(path)) << path;
        EXPECT_EQ(List(path), Names()) << path;
    }
}

TEST_F(PackFileTest, HugeEntryCountEndsAtTheBlockEnd) {
    std::string archive = Indexed('1', {{"a", "data"}});
    archive[11] = archive[12] = archive[13] = archive[14] = '\xFF';  // entry count
    WriteFile("root.pfs", archive);
    EXPECT_EQ(List("root.pfs"), Names({"", "a"}));
    EXPECT_EQ(Contents("a"), "data");
}

// --- What Windows refuses, and arguments that live in the object ---

TEST_F(PackFileTest, FolderIsNoFileAndNoArchive) {
    // A folder named like the archive without its extension must not pass
    // for an empty archive that hides the real one from later searches.
    std::filesystem::create_directory("pack");
    WriteFile("pack.pfs", Indexed('2', {{"x", "xx"}, {"y", "yy"}}));
    CFile file;
    EXPECT_TRUE(file.Open("pack"));
    EXPECT_EQ(Contents("pack\\x"), "xx");
    EXPECT_EQ(Contents("pack\\y"), "yy");
    CPackFile pack;
    EXPECT_TRUE(pack.Mount("pack"));
    EXPECT_FALSE(Registered("pack"));
}

TEST_F(PackFileTest, OwnPathCanBeHandedBack) {
    WriteFile("a.pfs", Indexed('2', {{"x", "xx"}}));
    CFile file;
    ASSERT_FALSE(file.Open("a.pfs"));
    EXPECT_FALSE(file.Open(file.GetPath().c_str()));
    EXPECT_EQ(file.GetPath(), "a.pfs");
    CPackFile pack;
    ASSERT_FALSE(pack.Open("a.pfs"));
    Names names;
    EXPECT_FALSE(pack.ListEntries(pack.GetPath().c_str(), names));
    EXPECT_EQ(names, Names({"x"}));
    ASSERT_FALSE(pack.Open("a.pfs"));
    EXPECT_FALSE(pack.Open(pack.GetPath().c_str()));
    EXPECT_EQ(pack.GetPath(), "a.pfs");
}

}  // namespace
