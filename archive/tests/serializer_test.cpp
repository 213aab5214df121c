#include "tamarin/serializer.h"

#include <boost/make_shared.hpp>

#include "test_support.h"

namespace {

using tamarin::CMemory;
using tamarin::CPackFile;
using tamarin::CSerializer;
using tamarin::EntryMap;
using tamarin::HeaderMap;
using tamarin_test::Block;
using tamarin_test::Bytes;

// A nested header block: empty offset table, then the record.
std::string HeaderBlock(const std::string& path, uint32_t offset, uint32_t size) {
    return Bytes().Word(0).Str(path).Word(offset).Word(size).str();
}

EntryMap DecodeEntries(const std::string& index) {
    CSerializer context;
    tamarin::Attach(context, Block(index));
    EntryMap map;
    map[std::string("stale")] = std::make_pair(1u, 1u);
    tamarin::ReadEntryMap(context, map);
    return map;
}

HeaderMap DecodeHeaders(const std::string& index) {
    CSerializer context;
    tamarin::Attach(context, Block(index));
    HeaderMap map;
    map[std::string("stale")] = CPackFile::CHeader("x", 1, 1);
    tamarin::ReadHeaderMap(context, map);
    return map;
}

void ExpectHeader(const HeaderMap& map, const std::string& name, const std::string& path,
                  uint32_t offset, uint32_t size) {
    HeaderMap::const_iterator it = map.find(name);
    ASSERT_NE(it, map.end()) << name;
    EXPECT_EQ(it->second.containerPath, path) << name;
    EXPECT_EQ(it->second.offset, offset) << name;
    EXPECT_EQ(it->second.size, size) << name;
}

// --- Offset tables and nested blocks ---

TEST(OffsetTableTest, AttachReadsTableAndFirstIdWins) {
    CSerializer context;
    context.offsetTable[99] = 99;
    tamarin::Attach(context, Block(Bytes().Word(3).Word(1).Word(10).Word(2).Word(20)
                                       .Word(1).Word(30).Word(0xABCD).str()));
    EXPECT_EQ(context.offsetTable.size(), 2u);
    EXPECT_EQ(context.offsetTable[1], 10u);
    EXPECT_EQ(context.offsetTable[2], 20u);
    // The block's own data start after the table.
    uint32_t word = 0;
    tamarin::ReadInt32(context, word);
    EXPECT_EQ(word, 0xABCDu);
}

TEST(OffsetTableTest, CountBeyondBlockStopsAfterOneEmptyPair) {
    // The second pair has only its id (its position keeps 0); the third
    // finds nothing and reads as (0, 0); the rest would repeat it.
    CSerializer context;
    tamarin::Attach(context, Block(Bytes().Word(0xFFFFFFFF).Word(5).Word(50).Word(6).str()));
    EXPECT_EQ(context.offsetTable.size(), 3u);
    EXPECT_EQ(context.offsetTable[5], 50u);
    EXPECT_EQ(context.offsetTable[6], 0u);
    EXPECT_EQ(context.offsetTable.count(0), 1u);
}

TEST(EnterBlockTest, ChildReadsNestedBlockAndIsReused) {
    CSerializer context;
    tamarin::Attach(context, Block(Bytes().Word(0)
                                       .Word(16).Word(1).Word(7).Word(8).Word(55)
                                       .Word(42)
                                       .Word(4).Word(0).str()));
    EXPECT_FALSE(tamarin::EnterBlock(context));
    ASSERT_NE(context.child, nullptr);
    CSerializer* child = context.child;
    EXPECT_EQ(child->offsetTable.size(), 1u);
    EXPECT_EQ(child->offsetTable[7], 8u);
    uint32_t word = 0;
    tamarin::ReadInt32(*child, word);
    EXPECT_EQ(word, 55u);
    // The parent continues after the block.
    tamarin::ReadInt32(context, word);
    EXPECT_EQ(word, 42u);
    EXPECT_FALSE(tamarin::EnterBlock(context));
    EXPECT_EQ(context.child, child);
    EXPECT_TRUE(child->offsetTable.empty());
    EXPECT_EQ(child->Stream().Memory()->size, 4u);
    EXPECT_EQ(child->Stream().Remaining(), 0u);
}

TEST(EnterBlockTest, MissingBytesGiveZeroBlockAndPositionStaysAfterLength) {
    CSerializer context;
    tamarin::Attach(context, Block(Bytes().Word(0).Word(100).Word(3).Word(4).str()));
    tamarin::EnterBlock(context);
    EXPECT_EQ(context.child->Stream().Memory()->size, 100u);
    EXPECT_EQ(context.child->Stream().Remaining(), 96u);  // after its zero table count
    EXPECT_EQ(context.Stream().Position(), 8u);
}

TEST(EnterBlockTest, LengthBeyondBoundGivesChildEmptyBlock) {
    for (uint32_t k : {8 + tamarin::kLengthSlack + 1, 0xFFFFFFFFu}) {
        CSerializer context;
        tamarin::Attach(context, Block(Bytes().Word(0).Word(k).Word(3).Word(4).str()));
        tamarin::EnterBlock(context);
        EXPECT_EQ(context.child->Stream().Memory()->size, 0u) << k;
        EXPECT_EQ(context.Stream().Position(), 8u) << k;
    }
}

// --- Decoders: normal reading ---

TEST(ReadEntryMapTest, DecodesEntriesAndIgnoresOffsetTableContent) {
    const std::string body = Bytes().Word(2).Str("a").Word(100).Word(5)
                                 .Str("dir\\b").Word(200).Word(6).str();
    const EntryMap plain = DecodeEntries(Bytes().Word(0).Raw(body).str());
    const EntryMap tabled = DecodeEntries(Bytes().Word(2).Word(1).Word(2).Word(3).Word(4).Raw(body).str());
    EXPECT_EQ(plain.size(), 2u);
    EXPECT_EQ(plain.at("a"), std::make_pair(100u, 5u));
    EXPECT_EQ(plain.at("dir\\b"), std::make_pair(200u, 6u));
    EXPECT_TRUE(plain == tabled);
}

TEST(ReadHeaderMapTest, DecodesNestedHeaderBlocks) {
    const std::string h1 = HeaderBlock("stored.pfs", 77, 10);
    const std::string h2 = Bytes().Word(1).Word(9).Word(9).Str("").Word(90).Word(3).str();
    const HeaderMap map = DecodeHeaders(Bytes().Word(0).Word(2).Str("one").Str(h1)
                                            .Str("two").Str(h2).str());
    EXPECT_EQ(map.size(), 2u);
    ExpectHeader(map, "one", "stored.pfs", 77, 10);
    ExpectHeader(map, "two", "", 90, 3);
}

TEST(ReadHeaderMapTest, DuplicateIsReadPastAndFirstWins) {
    const HeaderMap map = DecodeHeaders(Bytes().Word(0).Word(3)
                                            .Str("a").Str(HeaderBlock("", 1, 2))
                                            .Str("a").Str(HeaderBlock("longer path", 3, 4))
                                            .Str("b").Str(HeaderBlock("", 5, 6)).str());
    EXPECT_EQ(map.size(), 2u);
    ExpectHeader(map, "a", "", 1, 2);
    ExpectHeader(map, "b", "", 5, 6);
}

TEST(ReadHeaderMapTest, EmptyNestedBlockGivesEmptyHeader) {
    const HeaderMap map = DecodeHeaders(Bytes().Word(0).Word(2).Str("a").Word(0)
                                            .Str("b").Str(HeaderBlock("", 5, 6)).str());
    ExpectHeader(map, "a", "", 0, 0);
    ExpectHeader(map, "b", "", 5, 6);
}

TEST(HeaderRecordTest, SerializeWritesPathOffsetSizeAndReadsBack) {
    CSerializer writer;
    CPackFile::CHeader("p\\q", 0x01020304u, 9).Serialize(writer);
    const std::string bytes = writer.Stream().WrittenBytes();
    EXPECT_EQ(bytes, Bytes().Str("p\\q").Word(0x01020304u).Word(9).str());

    CSerializer reader;
    tamarin::Attach(reader, Block(Bytes().Word(0).Raw(bytes).str()));
    CPackFile::CHeader header("old", 1, 1);
    header.Deserialize(reader);
    EXPECT_EQ(header.containerPath, "p\\q");
    EXPECT_EQ(header.offset, 0x01020304u);
    EXPECT_EQ(header.size, 9u);
}

// --- Decoders: short and damaged blocks ---

TEST(DecoderDamageTest, BlockOfOnlyEmptyTableGivesEmptyMaps) {
    const std::string index("\0\0\0\0", 4);
    EXPECT_TRUE(DecodeEntries(index).empty());
    EXPECT_TRUE(DecodeHeaders(index).empty());
    EXPECT_TRUE(DecodeEntries("").empty());
    EXPECT_TRUE(DecodeHeaders("").empty());
}

TEST(DecoderDamageTest, HugeCountStopsWhenBlockIsExhausted) {
    // After the real entry one more iteration reads an empty name with zero
    // values; every later one would repeat it.
    const EntryMap entries = DecodeEntries(Bytes().Word(0).Word(0xFFFFFFFF).Str("a").Word(1).Word(2).str());
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries.at("a"), std::make_pair(1u, 2u));
    EXPECT_EQ(entries.at(""), std::make_pair(0u, 0u));

    const HeaderMap headers = DecodeHeaders(Bytes().Word(0).Word(0xFFFFFFFF)
                                                .Str("a").Str(HeaderBlock("", 1, 2)).str());
    EXPECT_EQ(headers.size(), 2u);
    ExpectHeader(headers, "a", "", 1, 2);
    ExpectHeader(headers, "", "", 0, 0);
}

TEST(DecoderDamageTest, CutEntryKeepsWhatWasRead) {
    // The size word is missing: it keeps its initial 0.
    const EntryMap entries = DecodeEntries(Bytes().Word(0).Word(1).Str("a").Word(7).str());
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.at("a"), std::make_pair(7u, 0u));
    // Nested block cut inside its size word.
    const HeaderMap headers = DecodeHeaders(
        Bytes().Word(0).Word(1).Str("a").Word(16).Word(0).Word(0).Word(7).Raw("\x01\x02").str());
    EXPECT_EQ(headers.size(), 1u);
    ExpectHeader(headers, "a", "", 0, 0);
}

TEST(DecoderDamageTest, OversizedNestedLengthIsSkippedOverLengthWordOnly) {
    // The length word is treated as an empty block; the next entry is read
    // from right after it.
    const HeaderMap map = DecodeHeaders(Bytes().Word(0).Word(2).Str("a").Word(0xFFFFFFF0)
                                            .Str("b").Str(HeaderBlock("", 5, 6)).str());
    EXPECT_EQ(map.size(), 2u);
    ExpectHeader(map, "a", "", 0, 0);
    ExpectHeader(map, "b", "", 5, 6);
}

TEST(DecoderDamageTest, OversizedNameLengthIsEmptiedAndNextWordsFollow) {
    const EntryMap map = DecodeEntries(Bytes().Word(0).Word(1).Word(0xFFFFFFFF).Word(3).Word(4).str());
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(map.at(""), std::make_pair(3u, 4u));
}

}  // namespace
