// kobaru-pack's commands run in-process: round trips for every version,
// refusals that leave no output behind, and determinism.
#include "pack.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tamarin/pack_file.h"
#include "tamarin_writer/testing.h"
#include "tamarin_writer/writer.h"

namespace kobaru_pack {
namespace {

using tamarin_writer::PutFile;
using tamarin_writer::ScratchDir;

std::string Slurp(const std::string& path) {
    std::string bytes, error;
    EXPECT_FALSE(tamarin_writer::ReadWholeFile(path, &bytes, &error)) << error;
    return bytes;
}

class PackTool : public ::testing::Test {
protected:
    PackTool() {
        PutFile("one.txt", "first file\n");
        PutFile("two.bin", std::string("\0\x01\x02\xff", 4));
        PutFile("empty", "");
        std::string image(512, '\0');
        image[0] = 'M';
        image[1] = 'Z';
        image[100] = 'p';  // a stray "p" must not look like an archive
        PutFile("setup.exe", image);
    }

    // One run of the tool with fresh reader state, as in its own process.
    int Pack(const std::vector<std::string>& args) {
        tamarin::ResetArchiveStateForTesting();
        out.str("");
        err.str("");
        return kobaru_pack::Run(args, out, err);
    }

    ScratchDir dir;
    std::ostringstream out, err;
    // Shift-JIS "ソ" has the trail byte 0x5C.
    const std::string sjisName = "\x83\x5c\x83\x74\x83\x67.scr";
};

class PackToolVersions : public PackTool, public ::testing::WithParamInterface<const char*> {};

TEST_P(PackToolVersions, CreateListExtract) {
    const std::string version = GetParam();
    ASSERT_EQ(kOk, Pack({"create", "--version", version, "-o", "out.pfs", "one.txt", "--entry",
                         sjisName + "=two.bin", "--entry", "dir\\empty=empty"}))
        << err.str();

    ASSERT_EQ(kOk, Pack({"list", "out.pfs"})) << err.str();
    // Sorted by name bytes; offset, size, container, name.
    std::istringstream lines(out.str());
    std::vector<std::string> names;
    std::string offset, size, container, name;
    while (std::getline(lines, offset, '\t') && std::getline(lines, size, '\t') &&
           std::getline(lines, container, '\t') && std::getline(lines, name)) {
        EXPECT_EQ("out.pfs", container);
        names.push_back(name);
    }
    EXPECT_EQ((std::vector<std::string>{"dir\\empty", "one.txt", sjisName}), names);

    // A plain file named like an entry in the working directory must not
    // be read instead of the entry.
    PutFile("one.txt", "decoy");
    ASSERT_EQ(kOk, Pack({"extract", "-C", "unpacked", "out.pfs"})) << err.str();
    EXPECT_EQ("first file\n", Slurp("unpacked/one.txt"));
    EXPECT_EQ(std::string("\0\x01\x02\xff", 4), Slurp("unpacked/" + sjisName));
    EXPECT_EQ("", Slurp("unpacked/dir/empty"));
}

TEST_P(PackToolVersions, AppendVerifyExtract) {
    const std::string version = GetParam();
    for (bool trailer : {false, true}) {
        std::vector<std::string> args = {"append", "--version", version, "-o", "packed.exe"};
        if (trailer) args.push_back("--trailer");
        args.insert(args.end(), {"setup.exe", "--entry", "Kobaru_Senryu_2014.scr=two.bin", "one.txt"});
        ASSERT_EQ(kOk, Pack(args)) << err.str();
        const std::string packed = Slurp("packed.exe");
        EXPECT_EQ(trailer ? 0u : 512u, tamarin_writer::WordAt(packed, 28));
        EXPECT_EQ(Slurp("setup.exe").substr(32), packed.substr(32, 512 - 32));

        EXPECT_EQ(kOk, Pack({"verify", "packed.exe", "--expect", "Kobaru_Senryu_2014.scr", "--expect",
                             "one.txt"}))
            << err.str();
        // Names other than the expected ones fail verification.
        EXPECT_EQ(kFailed, Pack({"verify", "packed.exe", "--expect", "one.txt"}));
        EXPECT_NE(std::string::npos, err.str().find("unexpected entry 'Kobaru_Senryu_2014.scr'"));
        EXPECT_EQ(kFailed, Pack({"verify", "packed.exe", "--expect", "one.txt", "--expect",
                                 "Kobaru_Senryu_2014.scr", "--expect", "gone.exe"}));
        EXPECT_NE(std::string::npos, err.str().find("missing entry 'gone.exe'"));

        ASSERT_EQ(kOk, Pack({"extract", "-C", "x", "packed.exe", "Kobaru_Senryu_2014.scr"})) << err.str();
        EXPECT_EQ(Slurp("two.bin"), Slurp("x/Kobaru_Senryu_2014.scr"));
        EXPECT_FALSE(std::filesystem::exists("x/one.txt"));
    }
}

INSTANTIATE_TEST_SUITE_P(AllVersions, PackToolVersions, ::testing::Values("pf0", "pf1", "pf2", "pf3"));

// ---- Refusals ----------------------------------------------------------------

TEST_F(PackTool, BadInputFailsAndLeavesTheOutputAlone) {
    PutFile("out.pfs", "previous");
    EXPECT_EQ(kFailed, Pack({"create", "-o", "out.pfs", "one.txt", "missing.txt"}));
    EXPECT_NE(std::string::npos, err.str().find("missing.txt"));
    EXPECT_EQ(kFailed, Pack({"create", "--version", "pf0", "-o", "out.pfs", "--entry",
                             std::string(260, 'n') + "=one.txt"}));
    EXPECT_NE(std::string::npos, err.str().find("259"));
    EXPECT_EQ(kFailed, Pack({"create", "-o", "out.pfs", "one.txt", "--entry", "one.txt=two.bin"}));
    EXPECT_EQ(kUsage, Pack({"create", "--version", "pf4", "-o", "out.pfs", "one.txt"}));
    EXPECT_EQ(kUsage, Pack({"create", "one.txt"}));
    EXPECT_EQ(kUsage, Pack({"frobnicate"}));
    EXPECT_EQ("previous", Slurp("out.pfs"));

    // A 259-byte name fits pf0.
    EXPECT_EQ(kOk, Pack({"create", "--version", "pf0", "-o", "out.pfs", "--entry",
                         std::string(259, 'n') + "=one.txt"}))
        << err.str();
    // No temporary file is left next to the output.
    size_t files = 0;
    for (const auto& item : std::filesystem::directory_iterator(".")) files += item.is_regular_file();
    EXPECT_EQ(5u, files);
}

TEST_F(PackTool, AnExecutableCarriesOneArchiveOnly) {
    ASSERT_EQ(kOk, Pack({"append", "-o", "packed.exe", "setup.exe", "one.txt"})) << err.str();
    EXPECT_EQ(kFailed, Pack({"append", "-o", "again.exe", "packed.exe", "two.bin"}));
    EXPECT_NE(std::string::npos, err.str().find("already carries an archive"));
    ASSERT_EQ(kOk, Pack({"append", "--trailer", "-o", "trailer.exe", "setup.exe", "one.txt"})) << err.str();
    EXPECT_EQ(kFailed, Pack({"append", "-o", "again.exe", "trailer.exe", "two.bin"}));
    EXPECT_FALSE(std::filesystem::exists("again.exe"));
    // Not an executable at all.
    EXPECT_EQ(kFailed, Pack({"append", "-o", "again.exe", "one.txt", "two.bin"}));
}

TEST_F(PackTool, VerifyRejectsWhatTheInstallerCouldNotRead) {
    EXPECT_EQ(kFailed, Pack({"verify", "setup.exe"}));
    EXPECT_NE(std::string::npos, err.str().find("carries no archive"));
    EXPECT_EQ(kFailed, Pack({"verify", "one.txt"}));
    EXPECT_EQ(kFailed, Pack({"verify", "nowhere.exe"}));

    ASSERT_EQ(kOk, Pack({"append", "--version", "pf1", "-o", "packed.exe", "setup.exe", "one.txt"}));
    // Cut inside the entry: the index is whole, the entry runs past the end.
    const std::string packed = Slurp("packed.exe");
    PutFile("cut.exe", packed.substr(0, packed.size() - 3));
    EXPECT_EQ(kFailed, Pack({"verify", "cut.exe"}));
    EXPECT_NE(std::string::npos, err.str().find("outside"));
    EXPECT_EQ(kFailed, Pack({"extract", "-C", "x", "cut.exe"}));
    EXPECT_FALSE(std::filesystem::exists("x"));
    // A size that claims nearly 4 GiB is refused before anything is
    // allocated for it.
    tamarin_writer::Archive huge;
    huge.entries = {tamarin_writer::Entry("big.bin", "0123456789")};
    huge.entries[0].storedSize = 0xFFFFFFF0u;
    tamarin_writer::Encoded encoded;
    std::string error;
    ASSERT_FALSE(tamarin_writer::EncodeArchive(huge, 0, &encoded, &error)) << error;
    PutFile("huge.pfs", encoded.bytes);
    EXPECT_EQ(kFailed, Pack({"extract", "-C", "x", "huge.pfs"}));
    EXPECT_NE(std::string::npos, err.str().find("outside"));
    EXPECT_FALSE(std::filesystem::exists("x"));
    // A pf0 index cut short is refused by list as well.
    ASSERT_EQ(kOk, Pack({"create", "--version", "pf0", "-o", "p0.pfs", "one.txt", "two.bin"}));
    PutFile("p0cut.pfs", Slurp("p0.pfs").substr(0, 7 + 268 + 10));
    EXPECT_EQ(kFailed, Pack({"list", "p0cut.pfs"}));
}

TEST_F(PackTool, SameInputsGiveSameBytes) {
    for (const char* version : {"pf0", "pf1", "pf2", "pf3"}) {
        ASSERT_EQ(kOk, Pack({"append", "--version", version, "-o", "a.exe", "setup.exe", "one.txt", "two.bin"}));
        ASSERT_EQ(kOk, Pack({"append", "--version", version, "-o", "b.exe", "setup.exe", "one.txt", "two.bin"}));
        EXPECT_EQ(Slurp("a.exe"), Slurp("b.exe")) << version;
    }
}

}  // namespace
}  // namespace kobaru_pack
