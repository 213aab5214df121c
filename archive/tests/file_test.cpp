#include "tamarin/file.h"

#include <memory>

#include "test_support.h"

namespace {

using tamarin::CFile;
using tamarin_test::WriteFile;

class FileTest : public tamarin_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        WriteFile("ten.bin", "0123456789");
        WriteFile("other.bin", "abc");
    }
};

TEST_F(FileTest, ClosedObjectAnswersEveryCallWithoutAStream) {
    CFile file;
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_TRUE(file.Open("missing.bin"));
    EXPECT_EQ(file.GetPath(), "");
    EXPECT_EQ(file.Tell(), -1);
    EXPECT_EQ(file.GetSize(), -1);
    EXPECT_EQ(file.Read(buffer, 4), 0u);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(file.Seek(0, 0), -1);
    EXPECT_EQ(file.Seek(0, 1), -1);
    EXPECT_EQ(file.Seek(0, 2), -1);
    EXPECT_EQ(file.Close(), -1);
    // A failed Open leaves the object usable.
    EXPECT_FALSE(file.Open("ten.bin"));
    EXPECT_EQ(file.GetPath(), "ten.bin");
}

TEST_F(FileTest, OpeningAnotherFileClosesTheFirst) {
    CFile file;
    ASSERT_FALSE(file.Open("ten.bin"));
    ASSERT_FALSE(file.Open("other.bin"));
    EXPECT_EQ(file.GetPath(), "other.bin");
    EXPECT_EQ(file.GetSize(), 3);
    // A failing second Open still closes the first file.
    EXPECT_TRUE(file.Open("missing.bin"));
    EXPECT_EQ(file.GetPath(), "");
    EXPECT_EQ(file.Tell(), -1);
    EXPECT_EQ(file.Close(), -1);
}

TEST_F(FileTest, SizeAndPositionFollowTheStream) {
    CFile file;
    ASSERT_FALSE(file.Open("ten.bin"));
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    // Measuring does not move the reader.
    EXPECT_EQ(file.GetSize(), 10);
    EXPECT_EQ(file.Tell(), 4);
    EXPECT_EQ(file.Read(buffer, 16), 6u);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    EXPECT_EQ(file.Read(buffer, 16), 0u);
    EXPECT_EQ(file.Seek(0, 2), 0);
    EXPECT_EQ(file.Tell(), file.GetSize());
    EXPECT_EQ(file.Seek(-3, 1), 0);
    EXPECT_EQ(file.Tell(), 7);
}

TEST_F(FileTest, SeekRejectsUnknownOriginAndMovesNothing) {
    CFile file;
    ASSERT_FALSE(file.Open("ten.bin"));
    ASSERT_EQ(file.Seek(2, 0), 0);
    EXPECT_EQ(file.Seek(1, 3), -1);
    EXPECT_EQ(file.Seek(1, -1), -1);
    EXPECT_EQ(file.Tell(), 2);
}

TEST_F(FileTest, CloseTwiceReportsThatNothingWasOpen) {
    CFile file;
    ASSERT_FALSE(file.Open("ten.bin"));
    EXPECT_EQ(file.Close(), 0);
    EXPECT_EQ(file.GetPath(), "");
    EXPECT_EQ(file.Close(), -1);
}

TEST_F(FileTest, CloneWithoutCopyIsClosed) {
    CFile file;
    ASSERT_FALSE(file.Open("ten.bin"));
    std::unique_ptr<CFile> clone(file.Clone(false));
    EXPECT_EQ(clone->GetPath(), "");
    EXPECT_EQ(clone->Tell(), -1);
    EXPECT_EQ(clone->Close(), -1);
    EXPECT_EQ(file.Tell(), 0);
}

TEST_F(FileTest, CloneWithCopyReadsOnFromTheSamePositionWithItsOwnStream) {
    CFile file;
    ASSERT_FALSE(file.Open("ten.bin"));
    ASSERT_EQ(file.Seek(3, 0), 0);
    std::unique_ptr<CFile> clone(file.Clone(true));
    EXPECT_EQ(clone->GetPath(), "ten.bin");
    EXPECT_EQ(clone->Tell(), 3);
    char buffer[4] = {};
    ASSERT_EQ(clone->Read(buffer, 2), 2u);
    EXPECT_EQ(std::string(buffer, 2), "34");
    // Separate streams: the source has not moved, and closing one leaves
    // the other readable; each closes its own stream successfully.
    EXPECT_EQ(file.Tell(), 3);
    EXPECT_EQ(file.Close(), 0);
    ASSERT_EQ(clone->Read(buffer, 2), 2u);
    EXPECT_EQ(std::string(buffer, 2), "56");
    EXPECT_EQ(clone->Close(), 0);
}

TEST_F(FileTest, CloneWithCopyOfClosedObjectIsClosed) {
    CFile file;
    std::unique_ptr<CFile> clone(file.Clone(true));
    EXPECT_EQ(clone->GetPath(), "");
    EXPECT_EQ(clone->Close(), -1);
}

}  // namespace
