// Decoding context of archive indexes and the two index decoders.
#ifndef TAMARIN_SERIALIZER_H_
#define TAMARIN_SERIALIZER_H_

#include <cstdint>

#include <boost/shared_ptr.hpp>
#include <boost/unordered_map.hpp>

#include "tamarin/memory.h"
#include "tamarin/pack_file.h"

namespace tamarin {

// Every block attached to a context begins with an offset table (id ->
// position) that is read and kept; nested length-prefixed blocks are read by
// one reused child context.
class CSerializer {
public:
    CSerializer();
    ~CSerializer();

    CBinaryStream& Stream() { return *stream; }

    boost::shared_ptr<CBinaryStream> stream;
    bool readsOffsetTables;
    CSerializer* child;
    boost::unordered_map<uint32_t, uint32_t> offsetTable;

private:
    CSerializer(const CSerializer&) = delete;
    CSerializer& operator=(const CSerializer&) = delete;
};

// Attaches block for reading (forgetting everything before) and reads its
// offset table.
void Attach(CSerializer& context, const boost::shared_ptr<CMemory>& block);
// Reads the table count and that many (id, position) pairs; first id wins.
// Stops at the first pair that finds the block exhausted.
void ReadOffsetTable(CSerializer& context);
// Reads one length-prefixed block and attaches it to the child context.
// False on success (always). Missing bytes read as zeros; a length beyond
// what may be allocated gives the child an empty block.
bool EnterBlock(CSerializer& context);
// Reads offset, then size; each keeps its value when missing.
void ReadPair(CSerializer& context, std::pair<uint32_t, uint32_t>& pair);
// pf1 index: count, then per entry name and (offset, size); first name wins.
void ReadEntryMap(CSerializer& context, EntryMap& map);
// pf2/pf3 index: count, then per entry name and a nested header block; first
// name wins.
void ReadHeaderMap(CSerializer& context, HeaderMap& map);

}  // namespace tamarin

#endif  // TAMARIN_SERIALIZER_H_
