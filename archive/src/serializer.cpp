// Decoding context of archive indexes and the two index decoders.
#include "tamarin/serializer.h"

#include <algorithm>

#include <boost/make_shared.hpp>

namespace tamarin {

CSerializer::CSerializer()
    : stream(boost::make_shared<CBinaryStream>()),
      readsOffsetTables(true),
      child(nullptr),
      m_root(this),
      m_madeUpStrings(0),
      m_madeUpBlocks(0) {}

CSerializer::~CSerializer() {
    delete child;
}

bool CSerializer::ClaimMissingString(uint32_t n) {
    return m_root->Claim(m_root->m_madeUpStrings, n);
}

bool CSerializer::ClaimMissingBlock(uint32_t n) {
    return m_root->Claim(m_root->m_madeUpBlocks, n);
}

bool CSerializer::Claim(uint64_t& madeUp, uint32_t n) {
    const boost::shared_ptr<CMemory>& block = Stream().Memory();
    const uint64_t allowance = static_cast<uint64_t>(block ? block->size : 0) + kLengthSlack;
    if (madeUp + n > allowance) return false;
    madeUp += n;
    return true;
}

void Attach(CSerializer& context, const boost::shared_ptr<CMemory>& block) {
    context.Stream().SetMemory(block);
    // A new decode begins when the caller attaches a block to its own
    // context; the blocks a child is given belong to the decode under way.
    if (context.m_root == &context) {
        context.m_madeUpStrings = 0;
        context.m_madeUpBlocks = 0;
    }
    if (context.readsOffsetTables) ReadOffsetTable(context);
}

namespace {

// Every iteration of a counted loop that reads anything takes at least 8
// bytes (two words, or a length word and a block length word).
const uint32_t kMinimumItemBytes = 8;
// A header entry takes a name word and a block length word, and only 65,793
// names are shorter than 3 bytes: in a large index a distinct entry takes at
// least 11 bytes (an undamaged one 24 or more).
const uint32_t kMinimumHeaderBytes = 11;

// Gives map buckets for count items before they are read, so that a large
// index is not rehashed again and again. The count is not trusted: never
// more than the bytes left could hold at itemBytes each, which costs at
// most a bucket pointer per itemBytes of index (twice that where the table
// rounds up).
template <typename Map>
void Reserve(CSerializer& context, Map& map, uint32_t count, uint32_t itemBytes) {
    const uint32_t n = std::min(count, context.Stream().Remaining() / itemBytes + 1);
    if (n > map.bucket_count()) map.reserve(n);
}

// Reads a count word, reserves room in map, then runs readOne that many
// times. The count comes from the archive and is not trusted to be small.
// An iteration that reads nothing leaves the stream as it was, so every
// later one would insert the same empty key again: stopping there gives the
// same result as running the whole count.
template <typename Map, typename ReadOne>
void ReadCounted(CSerializer& context, Map& map, ReadOne readOne, uint32_t itemBytes = kMinimumItemBytes) {
    uint32_t count = 0;
    ReadInt32(context, count);
    Reserve(context, map, count, itemBytes);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t before = context.Stream().Position();
        readOne();
        if (context.Stream().Position() == before) break;
    }
}

}  // namespace

void ReadOffsetTable(CSerializer& context) {
    context.offsetTable.clear();
    ReadCounted(context, context.offsetTable, [&context] {
        std::pair<uint32_t, uint32_t> pair(0, 0);
        ReadPair(context, pair);
        context.offsetTable.insert(pair);
    });
}

bool EnterBlock(CSerializer& context) {
    CBinaryStream& stream = context.Stream();
    uint32_t length = 0;
    ReadInt32(context, length);
    // Bytes that are there are copied. Missing ones read as a zero-filled
    // block, but a damaged index may announce one such block per entry, each
    // up to the rest of the index plus slack: they draw on the decode's
    // allowance, and beyond it (or beyond the slack) the child reads an
    // empty block, which yields the same header as a zero-filled one.
    uint32_t size = 0;
    if (stream.CanRead(length) ||
        (LengthWithinBound(length, stream.Remaining()) && context.ClaimMissingBlock(length))) {
        size = length;
    }
    // Made before the child is touched, so a failed allocation leaves the
    // context as it was.
    boost::shared_ptr<CMemory> block = boost::make_shared<CMemory>(size);
    if (context.child == nullptr) {
        context.child = new CSerializer;
        context.child->m_root = context.m_root;
    } else {
        context.child->Stream().SetMemory(boost::shared_ptr<CMemory>());
        context.child->offsetTable.clear();
    }
    stream.ReadBytes(block->Bytes(), size);
    Attach(*context.child, block);
    return false;
}

void ReadPair(CSerializer& context, std::pair<uint32_t, uint32_t>& pair) {
    ReadInt32(context, pair.first);
    ReadInt32(context, pair.second);
}

void ReadEntryMap(CSerializer& context, EntryMap& map) {
    map.clear();
    ReadCounted(context, map, [&context, &map] {
        std::string name;
        ReadString(context, name);
        std::pair<uint32_t, uint32_t> value(0, 0);
        ReadPair(context, value);
        // insert keeps the first entry of a name.
        map.insert(EntryMap::value_type(name, value));
    });
}

void ReadHeaderMap(CSerializer& context, HeaderMap& map) {
    ReadHeaderMap(context, map, nullptr);
}

void ReadHeaderMap(CSerializer& context, HeaderMap& map, const std::string* containerPath) {
    map.clear();
    ReadCounted(context, map, [&context, &map, containerPath] {
        std::string name;
        ReadString(context, name);
        CPackFile::CHeader header;
        if (!EnterBlock(context)) header.Deserialize(*context.child);
        // A fresh string: one made up for missing bytes would keep its
        // capacity if it were assigned to.
        if (containerPath != nullptr) std::string(*containerPath).swap(header.containerPath);
        // Read even when the name is a duplicate, so the entries after it
        // start at the right place.
        map.emplace(std::move(name), std::move(header));
    }, kMinimumHeaderBytes);
}

}  // namespace tamarin
