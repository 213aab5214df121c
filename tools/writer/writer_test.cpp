// The writer against layouts written out byte by byte, and archives it
// writes read back through CPackFile.
#include "tamarin_writer/writer.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tamarin/memory.h"
#include "tamarin/pack_file.h"
#include "tamarin_writer/testing.h"

namespace tamarin_writer {
namespace {

// Little-endian word as bytes.
std::string W(uint32_t v) {
    std::string s(4, '\0');
    PatchWord(s, 0, v);
    return s;
}

// A 64-byte stand-in for a program image: "MZ", zero header word.
std::string Image() {
    std::string image(64, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    for (size_t i = 32; i < image.size(); ++i) image[i] = static_cast<char>(0xC0 + i % 7);
    return image;
}

Encoded Encode(const Archive& archive, uint32_t base = 0) {
    Encoded out;
    std::string error;
    EXPECT_FALSE(EncodeArchive(archive, base, &out, &error)) << error;
    return out;
}

Encoded Append(const Archive& archive, Placement placement) {
    Encoded out;
    std::string error;
    EXPECT_FALSE(AppendArchive(Image(), archive, placement, &out, &error)) << error;
    return out;
}

const char kName34[] = "0123456789abcdefghijklmnopqrstuvwx";

// ---- Byte-exact layouts ----------------------------------------------------

TEST(WriterLayout, Pf2OneEntryWithEmptyTablesAndPath) {
    const std::string name = kName34;
    ASSERT_EQ(34u, name.size());
    const std::string data = "DATA";
    const std::string index = std::string("pf2") + W(66) +
                              W(0) + W(1) + W(34) + name +
                              W(16) + W(0) + W(0) + W(73) + W(4);
    ASSERT_EQ(73u, index.size());

    Archive archive;
    archive.version = kPf2;
    archive.entries.push_back(Entry(name, data));
    EXPECT_EQ(index + data, Encode(archive).bytes);

    // Behind a 64-byte image the stored offset counts the image too.
    std::string image = Image();
    PatchWord(image, 28, 64);
    const std::string behind = image + "pf2" + W(66) + W(0) + W(1) + W(34) + name +
                               W(16) + W(0) + W(0) + W(64 + 73) + W(4) + data;
    EXPECT_EQ(behind, Append(archive, kHeaderWord).bytes);
}

TEST(WriterLayout, Pf0OneRecordIs275BytesBeforeItsEntry) {
    const std::string data = "xyz";
    std::string nameField = "setup.scr";
    nameField.resize(260, '\0');
    const std::string expected = std::string("pf0") + W(1) + nameField + W(275) + W(3) + data;
    ASSERT_EQ(275u + 3u, expected.size());

    Archive archive;
    archive.version = kPf0;
    archive.entries.push_back(Entry("setup.scr", data));
    EXPECT_EQ(expected, Encode(archive).bytes);

    // Relative to the archive start whatever precedes it; trailer form.
    const std::string trailer = Image() + expected + W(64);
    EXPECT_EQ(trailer, Append(archive, kTrailerWord).bytes);
}

TEST(WriterLayout, Pf1StringsAreLengthThenBytes) {
    const std::string block = W(0) + W(1) + std::string("\x03\x00\x00\x00" "abc", 7) + W(30) + W(2);
    ASSERT_EQ(23u, block.size());
    Archive archive;
    archive.version = kPf1;
    archive.entries.push_back(Entry("abc", "hi"));
    EXPECT_EQ(std::string("pf1") + W(23) + block + "hi", Encode(archive).bytes);
}

TEST(WriterLayout, OffsetTablesLeadEveryBlock) {
    Archive archive;
    archive.version = kPf3;
    archive.indexTable = {{7, 9}, {7, 1}};
    archive.headerTable = {{1, 2}};
    Entry entry("e", "!");
    entry.storedPath = "root.pfs";
    archive.entries.push_back(entry);
    const std::string header = W(1) + W(1) + W(2) + W(8) + "root.pfs" + W(0) + W(1);
    const std::string block = W(2) + W(7) + W(9) + W(7) + W(1) + W(1) + W(1) + "e" +
                              W(static_cast<uint32_t>(header.size())) + header;
    const uint32_t length = static_cast<uint32_t>(block.size());
    std::string expected = std::string("pf3") + W(length) + block + "!";
    PatchWord(expected, expected.size() - 1 - 8, 7 + length);
    EXPECT_EQ(expected, Encode(archive).bytes);
}

TEST(WriterLayout, Pf3IndexIsXoredWithTheKeyTable) {
    Archive archive;
    archive.version = kPf2;
    archive.entries.push_back(Entry("name", "data"));
    const std::string plain = Encode(archive).bytes;
    archive.version = kPf3;

    unsigned char saved[20];
    std::memcpy(saved, tamarin::g_indexKeyTable, 20);
    for (int i = 0; i < 20; ++i) tamarin::g_indexKeyTable[i] = static_cast<unsigned char>(0x11 * (i + 1));
    const std::string keyed = Encode(archive).bytes;
    std::memcpy(tamarin::g_indexKeyTable, saved, 20);

    ASSERT_EQ(plain.size(), keyed.size());
    EXPECT_EQ("pf3", keyed.substr(0, 3));
    const uint32_t length = WordAt(plain, 3);
    for (size_t i = 3; i < plain.size(); ++i) {
        const bool inBlock = i >= 7 && i < 7 + length;
        const int key = inBlock ? (0x11 * static_cast<int>((i - 7) % 20 + 1)) & 0xFF : 0;
        EXPECT_EQ(static_cast<unsigned char>(plain[i]) ^ key, static_cast<unsigned char>(keyed[i]))
            << "byte " << i;
    }
}

TEST(WriterLayout, StoredOffsetsAndSizesOverrideComputedOnes) {
    for (Version v : {kPf0, kPf1, kPf2, kPf3}) {
        Archive archive;
        archive.version = v;
        Entry entry("lie", "12345");
        entry.storedOffset = 0xFFFFFFFFu;
        entry.storedSize = 0x7FFFFFFFu;
        archive.entries.push_back(entry);
        const Encoded e = Encode(archive);
        int seen = 0;
        for (const Field& f : e.fields) {
            if (f.kind == kOffset) { EXPECT_EQ(0xFFFFFFFFu, WordAt(e.bytes, f.position)); ++seen; }
            if (f.kind == kSize) { EXPECT_EQ(0x7FFFFFFFu, WordAt(e.bytes, f.position)); ++seen; }
        }
        EXPECT_EQ(2, seen) << VersionName(v);
    }
}

// Field positions are what damage tests patch, so each must name its word.
TEST(WriterLayout, FieldsPointAtTheirWords) {
    for (Version v : {kPf0, kPf1, kPf2, kPf3}) {
        Archive archive;
        archive.version = v;
        archive.indexTable = {{3, 4}};
        archive.headerTable = {{5, 6}, {8, 9}};
        archive.entries.push_back(Entry("first", "aaaa"));
        archive.entries.push_back(Entry("second\\x", "bb"));
        archive.entries[1].storedPath = "C:\\p.pfs";
        const Encoded e = Append(archive, kHeaderWord);
        const uint32_t a = e.start;
        ASSERT_EQ(64u, a);
        bool indexTable = true;
        for (const Field& f : e.fields) {
            const uint32_t word = WordAt(e.bytes, f.position);
            const Entry& entry = archive.entries[f.entry];
            switch (f.kind) {
            case kRecordCount: case kEntryCount: EXPECT_EQ(2u, word); break;
            case kIndexLength: EXPECT_EQ(e.bytes.size() - 6 - a - 7, word); break;
            case kTableCount:
                EXPECT_EQ(indexTable ? 1u : 2u, word);
                indexTable = false;
                break;
            case kNameLength: EXPECT_EQ(entry.name, e.bytes.substr(f.position + 4, word)); break;
            case kPathLength: EXPECT_EQ(entry.storedPath, e.bytes.substr(f.position + 4, word)); break;
            case kHeaderLength: EXPECT_EQ(4u + 16u + 4u + entry.storedPath.size() + 8u, word); break;
            case kOffset: {
                const uint32_t at = v == kPf0 ? word + a : word;
                EXPECT_EQ(entry.data, e.bytes.substr(at, entry.data.size()));
                break;
            }
            case kSize: EXPECT_EQ(entry.data.size(), word); break;
            }
        }
    }
}

// ---- Refusals --------------------------------------------------------------

TEST(WriterErrors, Pf0NamesMustFitTheRecord) {
    Archive archive;
    archive.version = kPf0;
    archive.entries.push_back(Entry(std::string(259, 'n'), "ok"));
    Encoded out;
    std::string error;
    EXPECT_FALSE(EncodeArchive(archive, 0, &out, &error));

    archive.entries.push_back(Entry(std::string(260, 'n'), "long"));
    out.bytes = "untouched";
    EXPECT_TRUE(EncodeArchive(archive, 0, &out, &error));
    EXPECT_NE(std::string::npos, error.find("259")) << error;
    EXPECT_EQ("untouched", out.bytes);

    archive.entries.back().name = std::string("a\0b", 3);
    EXPECT_TRUE(EncodeArchive(archive, 0, &out, &error));

    // Other versions carry long names as strings.
    archive.version = kPf1;
    archive.entries.back().name = std::string(1000, 'n');
    EXPECT_FALSE(EncodeArchive(archive, 0, &out, &error)) << error;
}

TEST(WriterErrors, ImagesThatCannotTakeAnArchive) {
    Archive archive;
    archive.entries.push_back(Entry("e", "d"));
    Encoded out;
    std::string error;

    std::string headerWord = Image();
    PatchWord(headerWord, 28, 64);
    EXPECT_TRUE(CarriesArchive(headerWord));
    EXPECT_TRUE(AppendArchive(headerWord, archive, kTrailerWord, &out, &error));

    // A packaged executable in trailer form is recognised too.
    const Encoded trailer = Append(archive, kTrailerWord);
    EXPECT_TRUE(CarriesArchive(trailer.bytes));
    EXPECT_TRUE(AppendArchive(trailer.bytes, archive, kHeaderWord, &out, &error));
    EXPECT_FALSE(CarriesArchive(Image()));

    std::string notExe = Image();
    notExe[0] = 'X';
    EXPECT_TRUE(AppendArchive(notExe, archive, kHeaderWord, &out, &error));
    EXPECT_TRUE(AppendArchive("MZ", archive, kHeaderWord, &out, &error));
}

TEST(WriterFiles, AtomicWriteReplacesWholeOrNothing) {
    ScratchDir dir;
    const std::string path = dir.Path("out.bin");
    std::string error, back;
    ASSERT_FALSE(WriteFileAtomically(path, "first", &error)) << error;
    ASSERT_FALSE(WriteFileAtomically(path, std::string("se\0cond", 7), &error)) << error;
    ASSERT_FALSE(ReadWholeFile(path, &back, &error));
    EXPECT_EQ(std::string("se\0cond", 7), back);

    EXPECT_TRUE(WriteFileAtomically(dir.Path("missing/out.bin"), "x", &error));
    // Nothing but the one file is left behind.
    size_t files = 0;
    for (const auto& item : std::filesystem::directory_iterator(dir.Path(""))) {
        (void)item;
        ++files;
    }
    EXPECT_EQ(1u, files);
    EXPECT_TRUE(ReadWholeFile(dir.Path("missing.bin"), &back, &error));
}

TEST(WriterFiles, VolumeNamesHaveThreeDigits) {
    EXPECT_EQ("root.pfs.000", VolumeName("root.pfs", 0));
    EXPECT_EQ("a.pfs.042", VolumeName("a.pfs", 42));
    EXPECT_EQ("a.pfs.999", VolumeName("a.pfs", 999));
}

// ---- Round trips through the reader ----------------------------------------

std::vector<Entry> SampleEntries() {
    std::vector<Entry> entries;
    entries.push_back(Entry("Kobaru_Senryu_2014.scr", std::string("scr\0bytes\xff", 10)));
    // Shift-JIS name whose trail byte is a backslash, and a folder name.
    entries.push_back(Entry("\x95\x5c\x8e\x86.txt", "sjis"));
    entries.push_back(Entry("dir\\inner.bin", std::string(3000, 'q')));
    entries.push_back(Entry("empty", ""));
    return entries;
}

// Opens every entry through the root archive and compares it with its data.
void ExpectReadsBack(const std::string& path, const std::vector<Entry>& entries) {
    tamarin::g_rootArchivePath = path;
    for (const Entry& entry : entries) {
        tamarin::CPackFile file;
        ASSERT_FALSE(file.Open(entry.name.c_str())) << entry.name;
        // The archive itself or one of its volumes.
        EXPECT_EQ(path, file.GetContainerPath().substr(0, path.size()));
        ASSERT_EQ(static_cast<int32_t>(entry.data.size()), file.GetSize());
        std::string buffer(entry.data.size() + 16, '\0');
        const uint32_t got = file.Read(&buffer[0], static_cast<uint32_t>(buffer.size()));
        EXPECT_EQ(entry.data, buffer.substr(0, got)) << entry.name;
    }
    tamarin::CPackFile lister;
    std::list<std::string> names;
    ASSERT_FALSE(lister.ListEntries(path.c_str(), names));
    std::vector<std::string> listed(names.begin(), names.end()), want;
    for (const Entry& entry : entries) want.push_back(entry.name);
    std::sort(listed.begin(), listed.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, listed);
}

class WriterRoundTrip : public ::testing::TestWithParam<Version> {};

TEST_P(WriterRoundTrip, PlainFile) {
    ScratchDir dir;
    Archive archive;
    archive.version = GetParam();
    archive.entries = SampleEntries();
    archive.indexTable = {{1, 0}};
    archive.headerTable = {{2, 4}};
    const std::string path = dir.Path("plain.pfs");
    PutFile(path, Encode(archive).bytes);
    ExpectReadsBack(path, archive.entries);
}

TEST_P(WriterRoundTrip, BehindAnExecutable) {
    for (Placement placement : {kHeaderWord, kTrailerWord}) {
        ScratchDir dir;
        Archive archive;
        archive.version = GetParam();
        archive.entries = SampleEntries();
        const std::string path = dir.Path("setup.exe");
        PutFile(path, Append(archive, placement).bytes);
        ExpectReadsBack(path, archive.entries);
    }
}

TEST_P(WriterRoundTrip, DuplicateNamesFollowTheVersionsRule) {
    ScratchDir dir;
    Archive archive;
    archive.version = GetParam();
    archive.entries.push_back(Entry("twice", "first"));
    archive.entries.push_back(Entry("other", "o"));
    archive.entries.push_back(Entry("twice", "second"));
    const std::string path = dir.Path("dup.pfs");
    PutFile(path, Encode(archive).bytes);
    // pf0 keeps the later record, the encoded indexes the first.
    const std::string winner = GetParam() == kPf0 ? "second" : "first";
    ExpectReadsBack(path, {Entry("twice", winner), Entry("other", "o")});
}

TEST_P(WriterRoundTrip, VolumesAddAndReplaceEntries) {
    ScratchDir dir;
    const std::string path = dir.Path("vol.pfs");
    Archive main;
    main.version = GetParam();
    main.entries = {Entry("kept", "main"), Entry("replaced", "old")};
    PutFile(path, Encode(main).bytes);
    // Volume 000 is missing; 001 and 003 are found anyway, each behind an
    // executable of its own with offsets of its own file.
    Archive one;
    one.version = GetParam() == kPf0 ? kPf2 : kPf0;
    one.entries = {Entry("replaced", "newer"), Entry("added", "vol1")};
    PutFile(VolumeName(path, 1), Append(one, kHeaderWord).bytes);
    Archive three;
    three.version = GetParam();
    three.entries = {Entry("replaced", "newest")};
    PutFile(VolumeName(path, 3), Encode(three).bytes);

    ExpectReadsBack(path, {Entry("kept", "main"), Entry("replaced", "newest"), Entry("added", "vol1")});
    tamarin::CPackFile file;
    ASSERT_FALSE(file.Open("replaced"));
    EXPECT_EQ(VolumeName(path, 3), file.GetContainerPath());
    ASSERT_FALSE(file.Open("added"));
    EXPECT_EQ(VolumeName(path, 1), file.GetContainerPath());
    ASSERT_FALSE(file.Open("kept"));
    EXPECT_EQ(path, file.GetContainerPath());
}

INSTANTIATE_TEST_SUITE_P(AllVersions, WriterRoundTrip,
                         ::testing::Values(kPf0, kPf1, kPf2, kPf3),
                         [](const ::testing::TestParamInfo<Version>& info) {
                             return std::string(VersionName(info.param));
                         });

}  // namespace
}  // namespace tamarin_writer
