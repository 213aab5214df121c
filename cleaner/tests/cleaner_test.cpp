// The cleaner's steps against the Windows stand-in.
#include <gtest/gtest.h>

#include "fakewin/fakewin.h"

namespace {

class CleanerTest : public ::testing::Test {
protected:
    void SetUp() override { fakewin::Reset(); }
};

TEST_F(CleanerTest, DeletesTheScreenSaverFromTheSystemDirectory) {
    fakewin::Get().systemDirectory = "C:\\WINDOWS\\system32";
    EXPECT_EQ(0, WinMain(nullptr, nullptr, const_cast<LPSTR>(""), 1));
    ASSERT_EQ(1u, fakewin::Get().deletedFiles.size());
    EXPECT_EQ("C:\\WINDOWS\\system32\\Kobaru_Senryu_2014.scr", fakewin::Get().deletedFiles[0]);
    EXPECT_TRUE(fakewin::Get().messageBoxes.empty());
}

TEST_F(CleanerTest, ArgumentsChangeNothing) {
    EXPECT_EQ(0, WinMain(nullptr, nullptr, const_cast<LPSTR>("/x C:\\other.scr"), 0));
    ASSERT_EQ(1u, fakewin::Get().deletedFiles.size());
    EXPECT_EQ("C:\\Windows\\system32\\Kobaru_Senryu_2014.scr", fakewin::Get().deletedFiles[0]);
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
    EXPECT_EQ(1u, fakewin::Get().deletedFiles.size());
    fakewin::Reset();
    fakewin::Get().systemDirectory = "C:\\" + std::string(257, 'd');
    WinMain(nullptr, nullptr, const_cast<LPSTR>(""), 1);
    EXPECT_TRUE(fakewin::Get().deletedFiles.empty());
}

}  // namespace
