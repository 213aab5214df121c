// Decoding context of archive indexes and the two index decoders.
#include "tamarin/serializer.h"

#include <boost/make_shared.hpp>

namespace tamarin {

CSerializer::CSerializer()
    : stream(boost::make_shared<CBinaryStream>()), readsOffsetTables(true), child(nullptr) {}

CSerializer::~CSerializer() {
    delete child;
}

void Attach(CSerializer& context, const boost::shared_ptr<CMemory>& block) {
    context.Stream().SetMemory(block);
    if (context.readsOffsetTables) ReadOffsetTable(context);
}

namespace {

// Reads a count word, then runs readOne that many times. The count comes
// from the archive and is not trusted to be small. An iteration that reads
// nothing leaves the stream as it was, so every later one would insert the
// same empty key again: stopping there gives the same result as running the
// whole count.
template <typename ReadOne>
void ReadCounted(CSerializer& context, ReadOne readOne) {
    uint32_t count = 0;
    ReadInt32(context, count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t before = context.Stream().Position();
        readOne();
        if (context.Stream().Position() == before) break;
    }
}

}  // namespace

void ReadOffsetTable(CSerializer& context) {
    context.offsetTable.clear();
    ReadCounted(context, [&context] {
        std::pair<uint32_t, uint32_t> pair(0, 0);
        ReadPair(context, pair);
        context.offsetTable.insert(pair);
    });
}

bool EnterBlock(CSerializer& context) {
    CBinaryStream& stream = context.Stream();
    uint32_t length = 0;
    ReadInt32(context, length);
    // A length beyond what the index can still supply (plus slack) is
    // damage, not a block: the child reads an empty one instead of the
    // reader allocating whatever the word says.
    boost::shared_ptr<CMemory> block = boost::make_shared<CMemory>(
        LengthWithinBound(length, stream.Remaining()) ? length : 0);
    stream.ReadBytes(block->Bytes(), block->size);
    if (context.child != nullptr) {
        context.child->Stream().SetMemory(boost::shared_ptr<CMemory>());
        context.child->offsetTable.clear();
    } else {
        context.child = new CSerializer;
    }
    Attach(*context.child, block);
    return false;
}

void ReadPair(CSerializer& context, std::pair<uint32_t, uint32_t>& pair) {
    ReadInt32(context, pair.first);
    ReadInt32(context, pair.second);
}

void ReadEntryMap(CSerializer& context, EntryMap& map) {
    map.clear();
    ReadCounted(context, [&context, &map] {
        std::string name;
        ReadString(context, name);
        std::pair<uint32_t, uint32_t> value(0, 0);
        ReadPair(context, value);
        // insert keeps the first entry of a name.
        map.insert(EntryMap::value_type(name, value));
    });
}

void ReadHeaderMap(CSerializer& context, HeaderMap& map) {
    map.clear();
    ReadCounted(context, [&context, &map] {
        std::string name;
        ReadString(context, name);
        CPackFile::CHeader header;
        if (!EnterBlock(context)) header.Deserialize(*context.child);
        // Read even when the name is a duplicate, so the entries after it
        // start at the right place.
        map.insert(HeaderMap::value_type(name, header));
    });
}

}  // namespace tamarin
