// The cleaner's steps against the Windows stand-in.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakewin/fakewin.h"

namespace {

// The screen saver, then the installer's temporaries of both files.
std::vector<std::string> Targets(const std::string& directory) {
    return {directory + "\\Kobaru_Senryu_2014.scr", directory + "\\Kobaru_Senryu_2014.sc~",
            directory + "\\Kobaru_ScreenSaver_2014_Cleaner.ex~"};
}

class CleanerTest : public ::testing::Test {
protected:
    void SetUp() override { fakewin::Reset(); }
};

TEST_F(CleanerTest, DeletesTheScreenSaverFromTheSystemDirectory) {
    fakewin::Get().systemDirectory = "C:\\WINDOWS\\system32";
    EXPECT_EQ(0, WinMain(nullptr, nullptr, const_cast<LPSTR>(""), 1));
    EXPECT_EQ(Targets("C:\\WINDOWS\\system32"), fakewin::Get().deletedFiles);
    EXPECT_TRUE(fakewin::Get().messageBoxes.empty());
}

TEST_F(CleanerTest, ArgumentsChangeNothing) {
    EXPECT_EQ(0, WinMain(nullptr, nullptr, const_cast<LPSTR>("/x C:\\other.scr"), 0));
    EXPECT_EQ(Targets("C:\\Windows\\system32"), fakewin::Get().deletedFiles);
}

// Without a system directory the path would be "\Kobaru_Senryu_2014.scr", a
// file at the root of the current drive that is not ours.
TEST_F(CleanerTest, DeletesNothingWhenTheSystemDirectoryCannotBeRead) {
    fakewin::Get().systemDirectoryResult = 0u;
    EXPECT_EQ(0, WinMain(nullptr, nullptr, const_cast<LPSTR>(""), 1));
    EXPECT_TRUE(fakewin::Get().deletedFiles.empty());
    EXPECT_TRUE(fakewin::Get().messageBoxes.empty());
}

TEST_F(CleanerTest, DeletesNothingWhenTheSystemDirectoryDoesNotFit) {
    fakewin::Get().systemDirectoryResult = 300u;  // room it would need
    EXPECT_EQ(0, WinMain(nullptr, nullptr, const_cast<LPSTR>(""), 1));
    EXPECT_TRUE(fakewin::Get().deletedFiles.empty());

    // A directory of exactly 259 bytes still fits with its terminating zero;
    // one of 260 does not.
    fakewin::Reset();
    fakewin::Get().systemDirectory = "C:\\" + std::string(256, 'd');
    WinMain(nullptr, nullptr, const_cast<LPSTR>(""), 1);
    EXPECT_EQ(Targets(fakewin::Get().systemDirectory), fakewin::Get().deletedFiles);
    fakewin::Reset();
    fakewin::Get().systemDirectory = "C:\\" + std::string(257, 'd');
    WinMain(nullptr, nullptr, const_cast<LPSTR>(""), 1);
    EXPECT_TRUE(fakewin::Get().deletedFiles.empty());
}

// The DLL search is held to the system directory before anything else;
// where SetDefaultDllDirectories is missing or fails, SetDllDirectoryA("")
// takes out at least the current folder, and without either the run goes on.
TEST_F(CleanerTest, RestrictsTheDllSearchBeforeAnythingElse) {
    const std::string kernel32 = "GetModuleHandleA(\"kernel32.dll\")";
    const std::string setDefault = "GetProcAddress(0x7000, \"SetDefaultDllDirectories\")";
    const std::string setDirectory = "GetProcAddress(0x7000, \"SetDllDirectoryA\")";
    struct Case {
        bool hasDefault;
        BOOL defaultResult;
        bool hasSetDirectory;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {true, TRUE, true, {kernel32, setDefault, "SetDefaultDllDirectories(0x800)"}},
        {true, FALSE, true, {kernel32, setDefault, "SetDefaultDllDirectories(0x800)", kernel32,
                             setDirectory, "SetDllDirectoryA(\"\")"}},
        {false, TRUE, true, {kernel32, setDefault, kernel32, setDirectory,
                             "SetDllDirectoryA(\"\")"}},
        {false, TRUE, false, {kernel32, setDefault, kernel32, setDirectory}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.calls.size());
        fakewin::Reset();
        fakewin::Get().hasSetDefaultDllDirectories = c.hasDefault;
        fakewin::Get().setDefaultDllDirectoriesResult = c.defaultResult;
        fakewin::Get().hasSetDllDirectory = c.hasSetDirectory;
        EXPECT_EQ(0, WinMain(nullptr, nullptr, const_cast<LPSTR>(""), 1));
        std::vector<std::string> expected = c.calls;
        expected.push_back("GetSystemDirectoryA(260)");
        for (const std::string& target : Targets("C:\\Windows\\system32")) {
            expected.push_back("DeleteFileA(\"" + target + "\")");
        }
        EXPECT_EQ(expected, fakewin::Get().calls);
    }
}

}  // namespace
