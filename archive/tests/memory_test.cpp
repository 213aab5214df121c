#include "tamarin/memory.h"

#include <vector>

#include <boost/make_shared.hpp>

#include "tamarin/serializer.h"
#include "test_support.h"

namespace {

using tamarin::CBinaryStream;
using tamarin::CMemory;
using tamarin::CSerializer;
using tamarin_test::Block;
using tamarin_test::Bytes;

std::vector<uint32_t> ChunkSizes(const CBinaryStream& stream) {
    std::vector<uint32_t> sizes;
    for (const auto& chunk : stream.Chunks()) sizes.push_back(chunk->size);
    return sizes;
}

std::string Pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    return s;
}

// --- CMemory ---

TEST(MemoryTest, NewBlockIsZeroFilledWithOffsetZero) {
    CMemory block(100);
    EXPECT_EQ(block.size, 100u);
    EXPECT_EQ(block.offset, 0u);
    for (uint32_t i = 0; i < block.size; ++i) ASSERT_EQ(block.Bytes()[i], 0) << i;
    CMemory empty(0);
    EXPECT_EQ(empty.size, 0u);
}

// --- Write side: chunk sizes ---

TEST(BinaryStreamWriteTest, SmallWriteOpens1024ChunkAndOverflowGoesToDoubledChunk) {
    CBinaryStream stream;
    const std::string a = Pattern(10, 1), b = Pattern(2000, 2);
    stream.Write(a.data(), 10);
    EXPECT_EQ(ChunkSizes(stream), std::vector<uint32_t>({1024}));
    stream.Write(b.data(), 2000);
    EXPECT_EQ(ChunkSizes(stream), std::vector<uint32_t>({1024, 2048}));
    EXPECT_EQ(stream.Used(), 986u);
    EXPECT_EQ(stream.Free(), 2048u - 986u);
    EXPECT_EQ(stream.Position(), 2010u);
    EXPECT_EQ(stream.WrittenBytes(), a + b);
}

TEST(BinaryStreamWriteTest, LongWriteGetsChunkOfItsOwnLengthThenDoubles) {
    CBinaryStream stream;
    const std::string big = Pattern(5000, 3), next = Pattern(10000, 4);
    stream.Write(big.data(), 5000);
    EXPECT_EQ(ChunkSizes(stream), std::vector<uint32_t>({5000}));
    EXPECT_EQ(stream.Free(), 0u);
    stream.Write(next.data(), 10000);
    EXPECT_EQ(ChunkSizes(stream), std::vector<uint32_t>({5000, 10000}));
    EXPECT_EQ(stream.WrittenBytes(), big + next);

    CBinaryStream small;
    small.Write(big.data(), 5000);
    small.Write(big.data(), 10);
    EXPECT_EQ(ChunkSizes(small), std::vector<uint32_t>({5000, 10000}));

    // After a full 1024 chunk the doubled 2048 is too small for 5000.
    CBinaryStream full;
    full.Write(next.data(), 1024);
    full.Write(big.data(), 5000);
    EXPECT_EQ(ChunkSizes(full), std::vector<uint32_t>({1024, 5000}));
    EXPECT_EQ(full.WrittenBytes(), next.substr(0, 1024) + big);
}

TEST(BinaryStreamWriteTest, ChunksDoubleAcrossManySmallWritesAndBytesNeverMove) {
    CBinaryStream stream;
    const std::string data = Pattern(1024 + 2048 + 4096 + 1, 5);
    for (size_t i = 0; i < data.size(); i += 100) {
        const size_t n = std::min<size_t>(100, data.size() - i);
        stream.Write(data.data() + i, static_cast<uint32_t>(n));
    }
    EXPECT_EQ(ChunkSizes(stream), std::vector<uint32_t>({1024, 2048, 4096, 8192}));
    EXPECT_EQ(stream.WrittenBytes(), data);
}

TEST(BinaryStreamWriteTest, EmptyWriteOnFullOrNewStreamStillOpensChunk) {
    CBinaryStream stream;
    stream.Write("", 0);
    EXPECT_EQ(ChunkSizes(stream), std::vector<uint32_t>({1024}));
    const std::string a = Pattern(1024, 8);
    stream.Write(a.data(), 1014);  // these two writes fill the first chunk
    stream.Write(a.data(), 10);
    stream.Write("", 0);
    EXPECT_EQ(ChunkSizes(stream), std::vector<uint32_t>({1024, 2048}));
    EXPECT_EQ(stream.WrittenBytes(), a.substr(0, 1014) + a.substr(0, 10));
}

TEST(BinaryStreamWriteTest, SetMemoryDropsWrittenChunksAndResets) {
    CBinaryStream stream;
    stream.Write("abcdef", 6);
    boost::shared_ptr<CMemory> block = Block("xyz");
    stream.SetMemory(block);
    EXPECT_TRUE(stream.Chunks().empty());
    EXPECT_EQ(stream.Position(), 0u);
    EXPECT_EQ(stream.Used(), 0u);
    EXPECT_EQ(stream.Free(), 0u);
    EXPECT_EQ(stream.WrittenBytes(), "");
    EXPECT_EQ(stream.Remaining(), 3u);
    // Attaching the block already attached keeps it.
    stream.SetMemory(stream.Memory());
    EXPECT_EQ(stream.Memory(), block);
    stream.SetMemory(boost::shared_ptr<CMemory>());
    EXPECT_FALSE(stream.Memory());
}

// --- Value encoding ---

TEST(ValueEncodingTest, StringsAndWordsAreLengthPrefixedLittleEndianAndReadBack) {
    CSerializer context;
    tamarin::WriteString(context, "abc");
    tamarin::WriteString(context, "");
    tamarin::WriteInt32(context, 0x01020304u);
    tamarin::WriteString(context, std::string("a\0b", 3));
    const std::string bytes = context.Stream().WrittenBytes();
    EXPECT_EQ(bytes, std::string("\x03\0\0\0abc" "\0\0\0\0" "\x04\x03\x02\x01" "\x03\0\0\0a\0b", 22));

    context.Stream().SetMemory(Block(bytes));
    std::string s = "old";
    uint32_t word = 0;
    tamarin::ReadString(context, s);
    EXPECT_EQ(s, "abc");
    tamarin::ReadString(context, s);
    EXPECT_EQ(s, "");
    tamarin::ReadInt32(context, word);
    EXPECT_EQ(word, 0x01020304u);
    tamarin::ReadString(context, s);
    EXPECT_EQ(s, std::string("a\0b", 3));
    EXPECT_EQ(context.Stream().Remaining(), 0u);
}

// --- Read side on short or damaged data ---

class StreamReadTest : public ::testing::Test {
protected:
    void Attach(const std::string& bytes) { context.Stream().SetMemory(Block(bytes)); }
    CSerializer context;
};

TEST_F(StreamReadTest, WordWithThreeBytesLeftKeepsTargetAndPosition) {
    Attach("\x01\x02\x03");
    uint32_t word = 77;
    tamarin::ReadInt32(context, word);
    EXPECT_EQ(word, 77u);
    EXPECT_EQ(context.Stream().Position(), 0u);
}

TEST_F(StreamReadTest, StringWithoutLengthWordIsEmptiedInPlace) {
    std::string s = "old";
    tamarin::ReadString(context, s);  // nothing attached
    EXPECT_EQ(s, "");
    Attach("\x05\0\0");
    s = "old";
    tamarin::ReadString(context, s);
    EXPECT_EQ(s, "");
    EXPECT_EQ(context.Stream().Position(), 0u);
}

TEST_F(StreamReadTest, StringWithMissingBytesReadsAsZerosAfterLengthWord) {
    Attach(Bytes().Word(10).Raw("abcd").str());
    std::string s;
    tamarin::ReadString(context, s);
    EXPECT_EQ(s, std::string(10, '\0'));
    EXPECT_EQ(context.Stream().Position(), 4u);
}

TEST_F(StreamReadTest, StringLengthIsBoundByRemainingBytesPlusSlack) {
    const uint32_t slack = tamarin::kLengthSlack;
    // Exactly at the bound: still read, as zeros.
    Attach(Bytes().Word(4 + slack).Raw("abcd").str());
    std::string s;
    tamarin::ReadString(context, s);
    EXPECT_EQ(s.size(), 4u + slack);
    EXPECT_EQ(s.find_first_not_of('\0'), std::string::npos);
    EXPECT_EQ(context.Stream().Position(), 4u);
    // One byte beyond: treated as missing, position after the length word.
    for (uint32_t n : {5 + slack, 0x80000000u, 0xFFFFFFFFu}) {
        Attach(Bytes().Word(n).Raw("abcd").str());
        s = "old";
        tamarin::ReadString(context, s);
        EXPECT_EQ(s, "") << n;
        EXPECT_EQ(context.Stream().Position(), 4u) << n;
    }
}

// Many strings whose bytes are missing, each within the bound on its own,
// must not add up to memory far beyond the block: they share one allowance.
TEST_F(StreamReadTest, MadeUpStringsShareOneAllowancePerDecode) {
    Bytes block;
    for (int i = 0; i < 1000; ++i) block.Word(60000);
    block.Str("real");
    Attach(block.str());
    size_t madeUp = 0;
    std::string s;
    for (int i = 0; i < 1000; ++i) {
        tamarin::ReadString(context, s);
        EXPECT_TRUE(s.empty() || s.size() == 60000u);
        madeUp += s.size();
    }
    EXPECT_GT(madeUp, 0u);
    EXPECT_LE(madeUp, block.size() + tamarin::kLengthSlack);
    // Bytes that are there still read once the allowance is spent.
    tamarin::ReadString(context, s);
    EXPECT_EQ(s, "real");
    // A new decode (a block attached by the caller) starts a new allowance.
    tamarin::Attach(context, Block(Bytes().Word(0).Word(10).str()));
    tamarin::ReadString(context, s);
    EXPECT_EQ(s, std::string(10, '\0'));
}

}  // namespace
