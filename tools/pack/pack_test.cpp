// kobaru-pack's commands run in-process: round trips for every version,
// refusals that leave no output behind, and determinism.
#include "pack.h"

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tamarin/pack_file.h"
#include "tamarin_writer/allocation_watch.h"
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
    // Shift-JIS "ソ" has the trail byte 0x5C: "ソフト.scr" in code page 932
    // and in UTF-8, the host's encoding here (the tests never set a locale, and
    // the C locale is taken as UTF-8).
    const std::string sjisName = "\x83\x5c\x83\x74\x83\x67.scr";
    const std::string utf8Name = "\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88.scr";
};

class PackToolVersions : public PackTool, public ::testing::WithParamInterface<const char*> {};

TEST_P(PackToolVersions, CreateListExtract) {
    const std::string version = GetParam();
    ASSERT_EQ(kOk, Pack({"create", "--version", version, "-o", "out.pfs", "one.txt", "--entry",
                         utf8Name + "=two.bin", "--entry", "dir\\empty=empty"}))
        << err.str();
    EXPECT_NE(std::string::npos, Slurp("out.pfs").find(sjisName));

    ASSERT_EQ(kOk, Pack({"list", "--quiet", "out.pfs"})) << err.str();
    // Sorted by name bytes; offset, size, container, name.
    std::istringstream lines(out.str());
    std::vector<std::string> names;
    std::string offset, size, container, name;
    while (std::getline(lines, offset, '\t') && std::getline(lines, size, '\t') &&
           std::getline(lines, container, '\t') && std::getline(lines, name)) {
        EXPECT_EQ("out.pfs", container);
        names.push_back(name);
    }
    EXPECT_EQ((std::vector<std::string>{"dir\\empty", "one.txt", utf8Name}), names);

    // A plain file named like an entry in the working directory must not
    // be read instead of the entry.
    PutFile("one.txt", "decoy");
    ASSERT_EQ(kOk, Pack({"extract", "-C", "unpacked", "out.pfs"})) << err.str();
    EXPECT_EQ("first file\n", Slurp("unpacked/one.txt"));
    EXPECT_EQ(std::string("\0\x01\x02\xff", 4), Slurp("unpacked/" + utf8Name));
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

        ASSERT_EQ(kOk, Pack({"extract", "--force", "-C", "x", "packed.exe", "Kobaru_Senryu_2014.scr"})) << err.str();
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
    // Stored names the reader can never find, or that would leave the folder.
    for (const char* name : {"src/a.txt", "..\\evil", "C:\\evil", "\\abs", "a\\b"}) {
        // "a\b" below the file "a" could not be extracted; "0\first", in a
        // folder of its own, is looked at and lies before it.
        huge.entries = {tamarin_writer::Entry("0\\first", "z"), tamarin_writer::Entry(name, "x"),
                        tamarin_writer::Entry("a", "y")};
        ASSERT_FALSE(tamarin_writer::EncodeArchive(huge, 0, &encoded, &error)) << error;
        PutFile("bad.pfs", encoded.bytes);
        for (const char* command : {"verify", "list", "extract"}) {
            EXPECT_EQ(kFailed, Pack({command, "bad.pfs"})) << command << " " << name;
        }
    }
    EXPECT_FALSE(std::filesystem::exists("evil"));
    // Refused before anything was written: not even the harmless entry.
    EXPECT_FALSE(std::filesystem::exists("0"));
    // A pf0 index cut short is refused by list as well.
    ASSERT_EQ(kOk, Pack({"create", "--version", "pf0", "-o", "p0.pfs", "one.txt", "two.bin"}));
    PutFile("p0cut.pfs", Slurp("p0.pfs").substr(0, 7 + 268 + 10));
    EXPECT_EQ(kFailed, Pack({"list", "p0cut.pfs"}));
}

// Every refusal and report through the command line: exit code and a
// pattern searched in stdout and stderr together.
TEST_F(PackTool, CommandLines) {
    std::filesystem::create_directories("src/sub");
    PutFile("src/a.txt", "a");
    PutFile("src/sub/b.txt", "b");
    // Sparse: refused from its size, it is never read.
    PutFile("big.bin", "");
    std::filesystem::resize_file("big.bin", 2200000000u);
    ASSERT_EQ(kOk, Pack({"create", "-o", "ok.pfs", "one.txt"})) << err.str();
    // Host names are UTF-8 (the C locale taken as UTF-8); "表" as Shift-JIS
    // bytes is not.
    std::filesystem::create_directories("t/深い");
    std::filesystem::create_directories("sjis");
    PutFile("t/深い/a.txt", "x");
    PutFile("sjis/\x95\x5c", "raw");
    // Names create refuses, written by the writer: an escape sequence and a
    // newline, a 300-byte name; and one that is not code page 932 text.
    typedef std::vector<std::string> NameList;
    for (const auto& archive : {std::make_pair("esc.pfs", NameList{"a\x1b[2Jb\nc", std::string(300, 'n')}),
                                std::make_pair("raw.pfs", NameList{"\x80x"}),
                                // Half-width katakana whose bytes happen to form UTF-8 ("\xdd\xb6").
                                std::make_pair("kana.pfs", NameList{"\xca\xdd\xb6\xb8.txt"}),
                                // Two codes of one character ("\u2235"), so one name on disk.
                                std::make_pair("twin.pfs", NameList{"\x81\xe6", "\x87\x9a"})}) {
        tamarin_writer::Archive made;
        for (const std::string& name : archive.second) made.entries.push_back(tamarin_writer::Entry(name, "y"));
        tamarin_writer::Encoded encoded;
        std::string error;
        ASSERT_FALSE(tamarin_writer::EncodeArchive(made, 0, &encoded, &error)) << error;
        PutFile(archive.first, encoded.bytes);
    }
    // Several names Windows cannot create in one folder; a folder with an
    // empty folder (holding another) beside a file.
    std::filesystem::create_directories("win");
    PutFile("win/a?b", "1");
    PutFile("win/CON.txt", "2");
    PutFile("win/fine.txt", "3");
    std::filesystem::create_directories("hollow/empty/deeper");
    PutFile("hollow/f.txt", "4");
    // A PE image signed with Authenticode: its security directory (the fifth
    // data directory of a PE32 optional header at 0x58) points at the 16
    // bytes that end the file; and one whose table does not end it.
    std::string signedImage(512, '\0');
    signedImage[0] = 'M';
    signedImage[1] = 'Z';
    tamarin_writer::PatchWord(signedImage, 0x3C, 0x40);
    signedImage.replace(0x40, 4, std::string("PE\0\0", 4));
    signedImage[0x58] = 0x0B;
    signedImage[0x59] = 0x01;
    tamarin_writer::PatchWord(signedImage, 0x58 + 92, 16);
    tamarin_writer::PatchWord(signedImage, 0x58 + 96 + 32, 496);
    tamarin_writer::PatchWord(signedImage, 0x58 + 96 + 36, 16);
    PutFile("signed.exe", signedImage);
    tamarin_writer::PatchWord(signedImage, 0x58 + 96 + 32, 400);
    PutFile("midsigned.exe", signedImage);
    // Targets of extract in the way: a file where a folder must go, a folder
    // where a file must go.
    ASSERT_EQ(kOk, Pack({"create", "-o", "deep.pfs", "--entry", "d/x.txt=one.txt", "--entry", "e/y.txt=two.bin"}))
        << err.str();
    std::filesystem::create_directories("xd");
    PutFile("xd/d", "in the way");
    std::filesystem::create_directories("xf/d/x.txt");
    // An entry cut short, its archive named by a relative path.
    ASSERT_EQ(kOk, Pack({"create", "-o", "whole.pfs", "one.txt"})) << err.str();
    PutFile("cutrow.pfs", Slurp("whole.pfs").substr(0, Slurp("whole.pfs").size() - 1));
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* pattern;
    };
    const Case cases[] = {
        {{}, kUsage, "^usage:"},
        {{"help"}, kOk, "verify checks structure only"},
        {{"-h"}, kOk, "offset \\([\\s\\S]*\\), size[\\s\\S]*, container \\([\\s\\S]*\\), entry name"},
        {{"--help"}, kOk, "exact set of\\s+names"},
        {{"--version"}, kOk, "^kobaru-pack [0-9]+\\.[0-9]+"},
        {{"frobnicate"}, kUsage, "unknown command 'frobnicate'"},
        {{"create", "-o", "o.pfs"}, kUsage, "no entries given"},
        {{"append", "-o", "o.exe", "setup.exe"}, kUsage, "no entries given"},
        {{"list", "--force", "ok.pfs"}, kUsage, "--force does not belong to list"},
        {{"create", "-o", "o.pfs", "nosuch"}, kFailed, "cannot open nosuch: No such file or directory"},
        {{"create", "-o", "/nonexistent/dir/x.pak", "one.txt"}, kFailed,
         "cannot create /nonexistent/dir/x.pak: No such file or directory"},
        {{"create", "-o", "o.pfs", "--entry", "null=/dev/null"}, kFailed, "/dev/null is not a regular file"},
        {{"append", "-o", "o.exe", "src", "one.txt"}, kFailed, "src is a folder"},
        {{"verify", "src"}, kFailed, "src is a folder"},
        {{"list", "nosuch.pfs"}, kFailed, "cannot open nosuch.pfs: No such file or directory"},
        {{"create", "-o", "o.pfs", "big.bin"}, kFailed, "2200000000 bytes; an archive holds at most 2 GiB"},
        {{"create", "-o", "o.pfs", "../one.txt"}, kFailed, "'\\.\\.\\\\one.txt' \\(for \\.\\./one.txt\\) holds '\\.\\.'"},
        {{"create", "-o", "o.pfs", dir.Path("one.txt")}, kFailed, "is absolute"},
        {{"create", "-o", "o.pfs", "--entry", "\\abs=one.txt"}, kFailed, "is absolute"},
        {{"create", "-o", "o.pfs", "--entry", "C:\\evil=one.txt"}, kFailed, "holds a drive letter"},
        {{"create", "-o", "o.pfs", "--entry", "a:b=one.txt"}, kFailed, "holds a drive letter"},
        {{"create", "-o", "o.pfs", "--entry", "x\\a:b=one.txt"}, kFailed, "holds ':'"},
        {{"create", "-o", "o.pfs", "--entry", "=one.txt"}, kFailed, "'' \\(for one.txt\\) is empty"},
        {{"create", "-o", "o.pfs", "--entry", "a\\\\b=one.txt"}, kFailed, "holds an empty folder name"},
        {{"create", "-o", "o.pfs", "one.txt", "--entry", "one.txt=two.bin"}, kFailed, "given twice"},
        {{"create", "-o", "o.pfs", "--entry", "d=one.txt", "--entry", "d/x=two.bin"}, kFailed,
         "'d\\\\x' \\(for two.bin\\) lies below the entry 'd'"},
        {{"create", "-o", "o.pfs", "src", "--entry", "src\\a.txt=one.txt"}, kFailed, "given twice"},
        {{"create", "-o", "case.pfs", "one.txt", "--entry", "ONE.txt=two.bin"}, kOk,
         "warning: entry names 'one.txt' and 'ONE.txt' differ only in case"},
        {{"append", "--trailer", "-o", "t.exe", "setup.exe", "one.txt"}, kOk, "warning: .*Authenticode"},
        {{"extract", "ok.pfs"}, kFailed, "one.txt exists; nothing extracted \\(--force"},
        {{"extract", "--force", "ok.pfs"}, kOk, "one.txt"},
        {{"extract", "ok.pfs", "nosuch"}, kFailed, "no entry 'nosuch'"},
        {{"extract", "-C", "one.txt", "ok.pfs"}, kFailed, "one.txt is not a folder"},
        {{"extract", "-C", "tw", "twin.pfs"}, kFailed, "entries '∵' and '∵' both extract to tw/∵; nothing extracted"},
        {{"verify", "ok.pfs", "--against"}, kUsage, "--against needs"},
        {{"verify", "ok.pfs", "--against", "two.bin"}, kFailed, "entry 'one.txt' has no file among"},
        {{"verify", "ok.pfs", "--against", "--entry", "one.txt=two.bin"}, kFailed,
         "entry 'one.txt' is 11 bytes, two.bin is 4"},
        {{"verify", "ok.pfs", "--against", "one.txt"}, kOk, "1 entry, structure ok, every entry matches"},
        // Names: UTF-8 on disk and on the command line, code page 932 in the
        // archive ("深い" is 90 5B 82 A2; "表" 95 5C and "ポ" 83 7C end in the bytes of "\" and "|").
        {{"create", "-o", "u.pfs", "t", "--entry", "表/ポ=one.txt"}, kOk, "u.pfs: pf2, 2 entries,"},
        {{"list", "--quiet", "u.pfs"}, kOk, "\tt\\\\深い\\\\a.txt\n[0-9]+\t11\tu.pfs\t表\\\\ポ\n$"},
        {{"verify", "u.pfs", "--expect", "t/深い/a.txt", "--expect", "表/ポ"}, kOk, "2 entries, structure ok"},
        // Written (and printed) in the order the bytes lie, not as asked.
        {{"extract", "-C", "uo", "u.pfs", "表/ポ", "t\\深い\\a.txt"}, kOk, "^uo/t/深い/a.txt\nuo/表/ポ\n$"},
        {{"create", "-o", "o.pfs", "sjis"}, kFailed,
         "the name of sjis/\\\\x95\\\\x5c is not UTF-8 text \\(the locale's encoding\\) at byte 0; --raw-names"},
        {{"create", "-o", "o.pfs", "--entry", "café=one.txt"}, kFailed,
         "'café' \\(for one.txt\\) holds 'é', which has no code page 932 form\n"},
        {{"create", "-o", "o.pfs", "--entry", "¥100=one.txt"}, kFailed, "holds '¥', which has no code page 932 form"},
        {{"verify", "raw.pfs"}, kFailed, "entry '\\\\x80x' is not code page 932 text at byte 0; --raw-names"},
        {{"verify", "--raw-names", "raw.pfs", "--expect", "\x80x"}, kOk, "1 entry, structure ok"},
        // What Windows cannot create, and what no terminal should be sent.
        {{"create", "-o", "o.pfs", "--entry", "a\nb=one.txt"}, kFailed,
         "'a\\\\x0ab' \\(for one.txt\\) holds a control character \\(\\\\x0a\\)"},
        {{"create", "-o", "o.pfs", "--entry", "a?b=one.txt"}, kFailed, "holds '\\?', which Windows file names cannot"},
        {{"create", "-o", "o.pfs", "--entry", "x/Con.txt=one.txt"}, kFailed,
         "'x\\\\Con.txt' .* reserved device name CON"},
        {{"create", "-o", "o.pfs", "--raw-names", "--entry", "x./a=one.txt"}, kFailed, "ending in '\\.' or ' '"},
        {{"list", "--quiet", "esc.pfs"}, kOk,
         "^[0-9]+\t1\tesc.pfs\ta\\\\x1b\\[2Jb\\\\x0ac\n[0-9]+\t1\tesc.pfs\tn{100}\\.\\.\\. \\(300 bytes\\)\n$"},
        {{"verify", "ok.pfs"}, kOk, "structure ok \\(entry bytes not checked: the format has no checksum"},
        // A signature an appended archive would break, removed only when asked.
        {{"append", "-o", "s1.exe", "signed.exe", "one.txt"}, kFailed,
         "signed.exe carries an Authenticode signature, which an appended archive would break; "
         "--strip-signature removes it"},
        {{"append", "--strip-signature", "-o", "s2.exe", "signed.exe", "one.txt"}, kOk,
         "s2.exe: pf2 archive at 496 \\(header word\\)[^\\n]*\\n"
         "kobaru-pack: removed the Authenticode signature of signed.exe \\(16 bytes\\); sign s2.exe again"},
        {{"append", "--strip-signature", "-o", "s3.exe", "midsigned.exe", "one.txt"}, kFailed,
         "midsigned.exe: its certificate table does not end the file"},
        {{"verify", "--strip-signature", "ok.pfs"}, kUsage, "--strip-signature does not belong to verify"},
        // An output that is one of its own inputs.
        {{"create", "-o", "one.txt", "one.txt"}, kFailed, "one.txt is the output one.txt itself; an archive cannot"},
        {{"append", "-o", "two.bin", "setup.exe", "--entry", "x=two.bin"}, kFailed, "two.bin is the output two.bin"},
        // Every name of a folder Windows cannot create, in one run.
        {{"create", "-o", "o.pfs", "win"}, kFailed,
         "'win\\\\CON.txt' \\(for win/CON.txt\\) holds the reserved device name CON[^\\n]*\\n"
         "kobaru-pack: entry name 'win\\\\a\\?b' \\(for win/a\\?b\\) holds '\\?'"},
        {{"create", "-o", "hollow.pfs", "hollow"}, kOk,
         "^hollow.pfs: pf2, 1 entry, [0-9]+ bytes\\n"
         "kobaru-pack: warning: folder hollow/empty holds no files and is left out \\(an archive stores files "
         "only\\)\\n$"},
        // Raw names: every byte from 0x80 escaped, UTF-8 look-alikes too.
        {{"list", "--raw-names", "--quiet", "kana.pfs"}, kOk, "\tkana.pfs\t\\\\xca\\\\xdd\\\\xb6\\\\xb8\\.txt\n$"},
        // Archive paths as given, in every message.
        {{"list", "cutrow.pfs"}, kFailed, "^kobaru-pack: entry 'one.txt' \\([0-9]+, 11\\) lies outside cutrow.pfs\n$"},
        {{"verify", "cutrow.pfs"}, kFailed, "^kobaru-pack: entry 'one.txt' \\([0-9]+, 11\\) lies outside cutrow.pfs\n$"},
        {{"extract", "-C", "xc", "cutrow.pfs"}, kFailed, "^kobaru-pack: entry 'one.txt' \\([0-9]+, 11\\) lies outside cutrow.pfs\n$"},
        {{"--version"}, kOk, "^kobaru-pack [0-9.]+\n$"},
        // Every target checked before a byte is written.
        {{"extract", "-C", "xd", "deep.pfs"}, kFailed, "^kobaru-pack: entry 'd\\\\x.txt' lies below the file 'd'; "
                                                       "nothing extracted\n$"},
        {{"extract", "-C", "xf", "deep.pfs"}, kFailed, "^kobaru-pack: xf/d/x.txt is a folder; not replaced"},
        {{"extract", "-C", "xk", "deep.pfs"}, kOk, "^xk/d/x.txt\nxk/e/y.txt\n$"},
        {{"extract", "-C", "xk", "deep.pfs"}, kFailed, "xk/d/x.txt exists \\(and 1 more\\); nothing extracted"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        EXPECT_EQ(c.code, Pack(c.args));
        EXPECT_TRUE(std::regex_search(out.str() + err.str(), std::regex(c.pattern))) << out.str() << err.str();
        // Every complaint is a line of the tool's own: no abort, no usage dump,
        // no temporary file's name.
        std::istringstream lines(c.args.empty() ? "" : err.str());
        while (std::getline(lines, line)) EXPECT_EQ(0u, line.rfind("kobaru-pack: ", 0)) << line;
        EXPECT_EQ(std::string::npos, err.str().find(".partial"));
    }
    EXPECT_FALSE(std::filesystem::exists("o.pfs"));
    EXPECT_FALSE(std::filesystem::exists("o.exe"));
    EXPECT_FALSE(std::filesystem::exists("s1.exe"));
    EXPECT_FALSE(std::filesystem::exists("xd/e"));
    EXPECT_FALSE(std::filesystem::exists("xf/e"));
    EXPECT_EQ("first file\n", Slurp("one.txt"));
    // The stripped image ends where its certificate table began, its
    // security directory cleared, and the archive follows.
    const std::string stripped = Slurp("s2.exe");
    EXPECT_EQ(0u, tamarin_writer::WordAt(stripped, 0x58 + 96 + 32));
    EXPECT_EQ(0u, tamarin_writer::WordAt(stripped, 0x58 + 96 + 36));
    EXPECT_EQ(496u, tamarin_writer::WordAt(stripped, 28));
    EXPECT_EQ("pf2", stripped.substr(496, 3));
    EXPECT_EQ(kOk, Pack({"verify", "s2.exe", "--against", "one.txt"})) << err.str();
}

// A write that fails midway, as on a full disk (here a file size limit),
// names the output and the system's reason and leaves nothing behind.
TEST_F(PackTool, AFailedWriteLeavesNothing) {
    PutFile("big.txt", std::string(1 << 16, 'x'));
    rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    rlimit limited = old;
    limited.rlim_cur = 4096;
    std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
    const int code = Pack({"create", "-o", "o.pfs", "big.txt"});
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(kFailed, code);
    EXPECT_EQ("kobaru-pack: cannot write o.pfs: File too large\n", err.str());
    EXPECT_FALSE(std::filesystem::exists("o.pfs"));
    EXPECT_FALSE(std::filesystem::exists(".o.pfs.partial"));
}

// A folder whose Shift-JIS names hold the trail byte 0x5C ("表" is 95 5C,
// "ソ" 83 5C) through create, list, verify --against, extract and the reader,
// names kept as bytes (--raw-names) and printed escaped.
TEST_F(PackTool, FolderRoundTripWithShiftJisNames) {
    const std::string hyo = "\x95\x5c";
    struct File {
        std::string path;  // below the folder, on disk
        std::string name;  // stored, below "data\"
        std::string bytes;
        std::string shown;  // as list prints the name
    };
    const std::string shownSjis = "\\x83\\x5c\\x83\\x74\\x83\\x67.scr";
    const std::vector<File> files = {
        {"b.txt", "b.txt", "bee", "b.txt"},
        {hyo + "/sub/a.bin", hyo + "\\sub\\a.bin", std::string("\0\x5c\xff", 3), "\\x95\\x5c\\sub\\a.bin"},
        {hyo + "/" + sjisName, hyo + "\\" + sjisName, "screen saver", "\\x95\\x5c\\" + shownSjis},
    };  // in the order of their stored names' bytes
    // Two copies written in opposite orders: the archive must not depend on
    // the order in which the folder lists its files.
    for (const std::string folder : {"data", "again"}) {
        for (size_t i = 0; i < files.size(); ++i) {
            const File& f = files[folder == "data" ? i : files.size() - 1 - i];
            std::filesystem::create_directories(std::filesystem::path(folder + "/" + f.path).parent_path());
            PutFile(folder + "/" + f.path, f.bytes);
        }
    }
    ASSERT_EQ(kOk, Pack({"create", "--raw-names", "-o", "rt.pfs", "data"})) << err.str();
    ASSERT_EQ(kOk, Pack({"create", "--raw-names", "-o", "again.pfs", "--entry", "data=again"})) << err.str();
    EXPECT_EQ(Slurp("rt.pfs"), Slurp("again.pfs"));

    ASSERT_EQ(kOk, Pack({"list", "--raw-names", "rt.pfs"})) << err.str();
    std::istringstream lines(out.str());
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ("offset\tsize\tcontainer\tentry", line);
    for (const File& f : files) {
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_EQ("\trt.pfs\tdata\\" + f.shown, line.substr(line.find('\t', line.find('\t') + 1)));
    }
    EXPECT_EQ(kOk, Pack({"verify", "--raw-names", "rt.pfs", "--against", "data"})) << err.str();
    ASSERT_EQ(kOk, Pack({"extract", "--raw-names", "-C", "out", "rt.pfs"})) << err.str();
    EXPECT_EQ(kFailed, Pack({"extract", "--raw-names", "-C", "out", "rt.pfs"}));
    EXPECT_EQ(kOk, Pack({"extract", "--raw-names", "--force", "-C", "out", "rt.pfs"})) << err.str();

    tamarin::ResetArchiveStateForTesting();
    tamarin::g_rootArchivePath = dir.Path("rt.pfs");
    for (const File& f : files) {
        EXPECT_EQ(f.bytes, Slurp("out/data/" + f.path));
        tamarin::CPackFile entry;
        ASSERT_FALSE(entry.Open(("data\\" + f.name).c_str())) << f.name;
        std::string bytes(f.bytes.size(), '\0');
        EXPECT_EQ(bytes.size(), entry.Read(&bytes[0], static_cast<uint32_t>(bytes.size())));
        EXPECT_EQ(f.bytes, bytes);
    }

    // A changed data byte passes the structure check but not the comparison;
    // a cut archive fails every reading command.
    std::string damaged = Slurp("rt.pfs");
    damaged[damaged.size() - 2] ^= 1;
    PutFile("flip.pfs", damaged);
    EXPECT_EQ(kOk, Pack({"verify", "flip.pfs"})) << err.str();
    EXPECT_EQ(kFailed, Pack({"verify", "--raw-names", "flip.pfs", "--against", "data"}));
    EXPECT_NE(std::string::npos, err.str().find("differs from data/\\x95\\x5c/" + shownSjis + " at byte 10"))
        << err.str();
    PutFile("cut.pfs", damaged.substr(0, damaged.size() - 1));
    for (const char* command : {"list", "verify", "extract"}) {
        EXPECT_EQ(kFailed, Pack({command, "cut.pfs"})) << command;
        EXPECT_NE(std::string::npos, err.str().find("lies outside")) << command << ": " << err.str();
    }
}

// Every command that copies bytes does so in chunks: the heap's peak stays
// far below the size of a large input (a sparse file, so nothing is
// written for it), whichever command moves it.
TEST_F(PackTool, MemoryStaysBoundedWhateverTheInputSize) {
    const uintmax_t inputSize = uintmax_t(64) << 20;
    const size_t bound = size_t(8) << 20;
    PutFile("large.bin", "");
    std::filesystem::resize_file("large.bin", inputSize);
    const std::vector<std::vector<std::string> > commands = {
        {"create", "-o", "large.pfs", "large.bin"},
        {"append", "-o", "large.exe", "setup.exe", "large.bin"},
        {"extract", "-C", "x", "large.pfs"},
        {"verify", "large.exe", "--against", "large.bin"},
        {"verify", "large.pfs", "--against", "--entry", "large.bin=x/large.bin"},
    };
    for (const auto& args : commands) {
        SCOPED_TRACE(args[0]);
        const size_t before = tamarin_writer::g_live;
        tamarin_writer::g_peak = before;
        ASSERT_EQ(kOk, Pack(args)) << err.str();
        EXPECT_LT(tamarin_writer::g_peak - before, bound);
    }
    EXPECT_EQ(inputSize, std::filesystem::file_size("x/large.bin"));
    // The same index behind the 512-byte image as in the archive of its own.
    EXPECT_EQ(std::filesystem::file_size("large.pfs") + 512, std::filesystem::file_size("large.exe"));
}

// Outputs are written through temporary files named after them; a file that
// already has such a name, the user's or an entry's, is left alone.
TEST_F(PackTool, TemporaryFilesNeverReplaceAFile) {
    PutFile(".two.pfs.partial", "mine");
    ASSERT_EQ(kOk, Pack({"create", "-o", "two.pfs", "one.txt"})) << err.str();
    EXPECT_EQ("mine", Slurp(".two.pfs.partial"));
    for (bool temporaryFirst : {true, false}) {
        tamarin_writer::Archive archive;
        archive.entries = {tamarin_writer::Entry(".a.partial", "entry named like a's temporary file"),
                           tamarin_writer::Entry("a", "a")};
        if (!temporaryFirst) std::swap(archive.entries[0], archive.entries[1]);
        tamarin_writer::Encoded encoded;
        std::string error;
        ASSERT_FALSE(tamarin_writer::EncodeArchive(archive, 0, &encoded, &error)) << error;
        PutFile("clash.pfs", encoded.bytes);
        std::filesystem::remove_all("t");
        ASSERT_EQ(kOk, Pack({"extract", "-C", "t", "clash.pfs"})) << err.str();
        EXPECT_EQ("entry named like a's temporary file", Slurp("t/.a.partial"));
        EXPECT_EQ("a", Slurp("t/a"));
    }
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
