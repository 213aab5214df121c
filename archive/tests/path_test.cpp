#include "tamarin/path.h"

#include <gtest/gtest.h>

namespace {

typedef std::vector<std::string> Components;

Components Split(const char* name) {
    Components components;
    tamarin::SplitTokens(name, components, "\\");
    return components;
}

TEST(SplitTokensTest, EmptyNameGivesOneEmptyComponent) {
    EXPECT_EQ(Split(""), Components({""}));
}

TEST(SplitTokensTest, BackslashesSplitAndKeepEmptyComponents) {
    EXPECT_EQ(Split("a"), Components({"a"}));
    EXPECT_EQ(Split("a\\b"), Components({"a", "b"}));
    EXPECT_EQ(Split("a\\"), Components({"a", ""}));
    EXPECT_EQ(Split("\\a"), Components({"", "a"}));
    EXPECT_EQ(Split("a\\\\b"), Components({"a", "", "b"}));
    EXPECT_EQ(Split("\\"), Components({"", ""}));
    EXPECT_EQ(Split("..\\ab\\."), Components({"..", "ab", "."}));
}

TEST(SplitTokensTest, TrailByte5CIsNotASeparator) {
    EXPECT_EQ(Split("\x95\x5C\x5Cx"), Components({"\x95\x5C", "x"}));
    EXPECT_EQ(Split("\xE0\x5C\xFC\x5C"), Components({"\xE0\x5C\xFC\x5C"}));
    // Lead bytes at both ends of the range.
    EXPECT_EQ(Split("\x81\x5C\\\x9F\x5C"), Components({"\x81\x5C", "\x9F\x5C"}));
}

TEST(SplitTokensTest, SingleByteCharactersDoNotProtectABackslash) {
    EXPECT_EQ(Split("\xB1\\x"), Components({"\xB1", "x"}));
    for (const char* name : {"\x80\\x", "\xA0\\x", "\xDF\\x", "\xFD\\x", "\xFF\\x"}) {
        EXPECT_EQ(Split(name), Components({std::string(name, 1), "x"}));
    }
}

TEST(SplitTokensTest, LoneLeadByteAtEndStaysAndNothingBeyondIsRead) {
    // The bytes after the terminating zero would add a component if read.
    const char name[] = {'a', '\x83', '\0', '\\', 'z', '\0'};
    EXPECT_EQ(Split(name), Components({"a\x83"}));
}

TEST(SplitTokensTest, AppendsToExistingListAndHonoursOtherSeparators) {
    Components components = {"keep"};
    tamarin::SplitTokens("a/b", components, "/");
    EXPECT_EQ(components, Components({"keep", "a", "b"}));
    components.clear();
    tamarin::SplitTokens("a::b:", components, "::");
    EXPECT_EQ(components, Components({"a", "b:"}));
}

TEST(JoinPathTailTest, JoinsComponentsAfterTheGivenOne) {
    const Components c = {"a", "b", "c"};
    EXPECT_EQ(tamarin::JoinPathTail(c, 0), "b\\c");
    EXPECT_EQ(tamarin::JoinPathTail(c, 1), "c");
    EXPECT_EQ(tamarin::JoinPathTail(c, 2), "");
    EXPECT_EQ(tamarin::JoinPathTail(Components({"a", "", "", "b"}), 0), "\\\\b");
}

}  // namespace
