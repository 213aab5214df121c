// Extraction of entries to files, with the Windows message box played by the
// stand-in. Native only: it relies on /dev/full and address-space limits to
// make writes and allocations fail on demand.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "fakewin/fakewin.h"
#include "tamarin/extract.h"
#include "tamarin_writer/writer.h"
#include "test_support.h"

namespace {

using tamarin_writer::Archive;
using tamarin_writer::Entry;

class ExtractEntryTest : public tamarin_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        fakewin::Reset();
    }

    // Writes archive as root.pfs, the library's default root archive.
    void WriteRoot(const Archive& archive) {
        tamarin_writer::Encoded encoded;
        std::string error;
        ASSERT_FALSE(tamarin_writer::EncodeArchive(archive, 0, &encoded, &error)) << error;
        tamarin_test::WriteFile("root.pfs", encoded.bytes);
    }

    // The one message box shown, with the owner and style every box has.
    std::string OnlyMessage() {
        const auto& boxes = fakewin::Get().messageBoxes;
        if (boxes.size() != 1) return "<" + std::to_string(boxes.size()) + " boxes>";
        EXPECT_EQ(fakewin::Get().topWindow, boxes[0].owner);
        EXPECT_EQ(std::string(kProductTitle), boxes[0].title);
        EXPECT_EQ(0u, boxes[0].style);
        return boxes[0].text;
    }
};

TEST_F(ExtractEntryTest, WritesTheEntryByteForByteAndShowsNothing) {
    std::string payload;
    for (int i = 0; i < 70000; ++i) payload.push_back(static_cast<char>(i * 7));
    Archive archive;
    archive.entries = {Entry("empty", ""), Entry("a.scr", payload)};
    WriteRoot(archive);

    EXPECT_FALSE(ExtractEntry("out.scr", "a.scr"));
    EXPECT_EQ(payload, tamarin_test::ReadFile("out.scr"));
    EXPECT_FALSE(ExtractEntry("out.empty", "empty"));
    EXPECT_TRUE(std::filesystem::exists("out.empty"));
    EXPECT_EQ(0u, std::filesystem::file_size("out.empty"));
    EXPECT_TRUE(fakewin::Get().messageBoxes.empty());
}

// Run from a Downloads folder, a file of the entry's name must not be
// installed in place of the program's own entry.
TEST_F(ExtractEntryTest, AFileOfTheEntryNameInTheCurrentFolderIsNeverTaken) {
    Archive archive;
    archive.entries = {Entry("a.scr", "from the archive")};
    WriteRoot(archive);
    tamarin_test::WriteFile("a.scr", "from the folder");
    tamarin_test::WriteFile("b.scr", "from the folder");
    EXPECT_FALSE(ExtractEntry("out", "a.scr"));
    EXPECT_EQ("from the archive", tamarin_test::ReadFile("out"));
    EXPECT_TRUE(ExtractEntry("out", "b.scr"));
    EXPECT_EQ(std::string(kBrokenInstallerText), OnlyMessage());
    EXPECT_EQ("from the archive", tamarin_test::ReadFile("out"));
}

TEST_F(ExtractEntryTest, AMissingEntryLeavesTheDestinationUntouched) {
    Archive archive;
    archive.entries = {Entry("other", "x")};
    WriteRoot(archive);
    tamarin_test::WriteFile("out", "installed");

    EXPECT_TRUE(ExtractEntry("out", "a.scr"));
    EXPECT_EQ(std::string(kBrokenInstallerText), OnlyMessage());
    EXPECT_EQ("installed", tamarin_test::ReadFile("out"));

    fakewin::Reset();
    EXPECT_TRUE(ExtractEntry("new", "a.scr"));
    EXPECT_EQ(std::string(kBrokenInstallerText), OnlyMessage());
    EXPECT_FALSE(std::filesystem::exists("new"));
}

TEST_F(ExtractEntryTest, ASizeBeyondTwoGigabytesIsABrokenInstaller) {
    Archive archive;
    archive.entries = {Entry("a.scr", "0123456789")};
    archive.entries[0].storedSize = 0xFFFFFFFFu;  // reads back as -1
    WriteRoot(archive);
    EXPECT_TRUE(ExtractEntry("out", "a.scr"));
    EXPECT_EQ(std::string(kBrokenInstallerText), OnlyMessage());
    EXPECT_FALSE(std::filesystem::exists("out"));
}

TEST_F(ExtractEntryTest, ADestinationThatCannotBeCreatedIsReportedOnce) {
    Archive archive;
    archive.entries = {Entry("a.scr", "data")};
    WriteRoot(archive);
    EXPECT_TRUE(ExtractEntry("no-such-folder/out", "a.scr"));
    EXPECT_EQ(std::string(kCannotWriteText), OnlyMessage());
}

// Whatever fails after the entry was found, the installed file stays as it
// was, nothing half-written is left beside it, and the message tells why.
TEST_F(ExtractEntryTest, AFailureLeavesTheInstalledFileAndNoTemporaryFile) {
    Archive archive;
    archive.entries = {Entry("big", std::string(3000000, 'x')), Entry("small", "abc"),
                       Entry("cut", std::string(2500000, 'c'))};
    archive.entries[2].storedSize = 2500001;  // runs past the archive's end
    WriteRoot(archive);
    const struct {
        const char* what;
        const char* entry;
        bool diskFull, replaceFails, readOnly;
        const char* message;
    } cases[] = {
        {"short read", "cut", false, false, false, kBrokenInstallerText},
        {"short write", "big", true, false, false, kCannotWriteText},
        {"failing close", "small", true, false, false, kCannotWriteText},
        {"failed replace", "small", false, true, false, kCannotWriteText},
        {"read-only destination", "small", false, false, true, kCannotWriteText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fakewin::Reset();
        std::filesystem::remove("out");
        tamarin_test::WriteFile("out", "installed");
        if (c.readOnly) std::filesystem::permissions("out", std::filesystem::perms::owner_read);
        if (c.diskFull) std::filesystem::create_symlink("/dev/full", "ou~");
        if (c.replaceFails) fakewin::Get().moveFileError = ERROR_ACCESS_DENIED;
        EXPECT_TRUE(ExtractEntry("out", c.entry));
        EXPECT_EQ(std::string(c.message), OnlyMessage());
        EXPECT_EQ("installed", tamarin_test::ReadFile("out"));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status("ou~")));
    }
    EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

// Handed to a caller's writer, the entry comes in order, in chunks of at
// most 1 MiB; a writer's failure or a damaged entry stops it with the
// message of a file that cannot be written or of a broken installer.
TEST_F(ExtractEntryTest, AWriterGetsTheEntryInChunksUntilItFails) {
    Archive archive;
    archive.entries = {Entry("big", std::string(2500000, 'x') + "end"), Entry("cut", "abc")};
    archive.entries[1].storedSize = 1u << 20;  // runs past the archive's end
    WriteRoot(archive);
    const struct {
        const char* entry;
        int failingChunk;  // -1: none
        const char* message;
        size_t chunks;
    } cases[] = {
        {"big", -1, nullptr, 3},
        {"big", 1, kCannotWriteText, 2},
        {"missing", -1, kBrokenInstallerText, 0},
        {"cut", -1, kBrokenInstallerText, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + " " + std::to_string(c.failingChunk));
        fakewin::Reset();
        std::string got;
        size_t chunks = 0;
        const bool failed = ExtractEntryTo(c.entry, [&](const unsigned char* data, uint32_t size) {
            EXPECT_LE(size, 1u << 20);
            got.append(reinterpret_cast<const char*>(data), size);
            return static_cast<int>(chunks++) == c.failingChunk;
        });
        EXPECT_EQ(c.message != nullptr, failed);
        EXPECT_EQ(c.message ? std::string(c.message) : "<0 boxes>", OnlyMessage());
        EXPECT_EQ(c.chunks, chunks);
        if (!c.message) {
            EXPECT_EQ(archive.entries[0].data, got);
        }
    }
}

#if defined(__SANITIZE_ADDRESS__)
#define KOBARU_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KOBARU_ASAN 1
#endif
#endif

// Memory stays constant: a 64 MiB entry is written in a process that
// cannot have more than 24 MiB beyond what it holds, and an entry that
// claims nearly 2 GiB is a damaged archive, not an uncaught std::bad_alloc.
TEST_F(ExtractEntryTest, MemoryStaysConstantWhateverTheEntrySize) {
#ifdef KOBARU_ASAN
    GTEST_SKIP() << "the sanitizer's shadow memory needs an unlimited address space";
#else
    {
        Archive archive;
        archive.entries = {Entry("big", std::string(64u << 20, 'b')), Entry("claims", "0123")};
        archive.entries[1].storedSize = 0x7FFFFFF0u;
        WriteRoot(archive);
    }
    rlimit previous;
    ASSERT_EQ(0, getrlimit(RLIMIT_AS, &previous));
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit limited = previous;
    limited.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (24u << 20);
    ASSERT_EQ(0, setrlimit(RLIMIT_AS, &limited));
    const bool bigFailed = ExtractEntry("big.out", "big");
    const bool claimFailed = ExtractEntry("claims.out", "claims");
    setrlimit(RLIMIT_AS, &previous);

    EXPECT_FALSE(bigFailed);
    EXPECT_EQ(64u << 20, std::filesystem::file_size("big.out"));
    EXPECT_TRUE(claimFailed);
    EXPECT_EQ(std::string(kBrokenInstallerText), OnlyMessage());
    EXPECT_FALSE(std::filesystem::exists("claims.out"));
#endif
}

}  // namespace
