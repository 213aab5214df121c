// Decoding context of archive indexes and the two index decoders.
#ifndef TAMARIN_SERIALIZER_H_
#define TAMARIN_SERIALIZER_H_

#include <cstdint>

#include <boost/shared_ptr.hpp>
#include <boost/unordered_map.hpp>

#include "tamarin/keyed_hash.h"
#include "tamarin/memory.h"
#include "tamarin/pack_file.h"

namespace tamarin {

// Every block attached to a context begins with an offset table (id ->
// position) that is read and kept; nested length-prefixed blocks are read by
// one reused child context.
//
// A context made by the caller is the root of one decode: attaching a block
// to it sets the allowance for bytes that reads may make up for data missing
// from the blocks (the block's size plus kLengthSlack for strings, as much
// again for nested blocks). Its children draw on the same allowance, so a
// damaged index of L bytes never makes up more than about 2 L bytes in
// total, however many strings and nested blocks it announces.
class CSerializer {
public:
    CSerializer();
    ~CSerializer();

    CBinaryStream& Stream() { return *stream; }

    // Accounts for n zero bytes made up for a string (ClaimMissingString) or
    // a nested block (ClaimMissingBlock) whose bytes are missing. False,
    // counting nothing, once the decode's allowance would be passed.
    bool ClaimMissingString(uint32_t n);
    bool ClaimMissingBlock(uint32_t n);

    boost::shared_ptr<CBinaryStream> stream;
    bool readsOffsetTables;
    CSerializer* child;
    boost::unordered_map<uint32_t, uint32_t, CIdHash> offsetTable;

private:
    friend void Attach(CSerializer& context, const boost::shared_ptr<CMemory>& block);
    friend bool EnterBlock(CSerializer& context);

    bool Claim(uint64_t& madeUp, uint32_t n);

    // The context this decode began with: itself, or its parent's root.
    CSerializer* m_root;
    // Kept in the root only; the allowance is the size of the root's block
    // plus kLengthSlack for each.
    uint64_t m_madeUpStrings;
    uint64_t m_madeUpBlocks;

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
// what may be allocated, or beyond the decode's allowance for made-up bytes,
// gives the child an empty block (which a header reads exactly as it reads a
// zero-filled one).
bool EnterBlock(CSerializer& context);
// Reads offset, then size; each keeps its value when missing.
void ReadPair(CSerializer& context, std::pair<uint32_t, uint32_t>& pair);
// pf1 index: count, then per entry name and (offset, size); first name wins.
void ReadEntryMap(CSerializer& context, EntryMap& map);
// pf2/pf3 index: count, then per entry name and a nested header block; first
// name wins.
void ReadHeaderMap(CSerializer& context, HeaderMap& map);
// The same, giving every header containerPath instead of the stored one.
void ReadHeaderMap(CSerializer& context, HeaderMap& map, const std::string* containerPath);

}  // namespace tamarin

#endif  // TAMARIN_SERIALIZER_H_
