// Index blocks no packager writes: the costliest shapes a damaged or hostile
// archive can give the reader per byte of index, for the tests and the
// benchmark that hold mounting to a cost linear in the index.
#ifndef TAMARIN_WRITER_SHAPES_H_
#define TAMARIN_WRITER_SHAPES_H_

#include <cstdint>
#include <string>

#include <boost/unordered_map.hpp>

#include "tamarin/memory.h"
#include "tamarin_writer/writer.h"

namespace tamarin_writer {

enum Shape {
    // pf2/pf3: each header block is 8 bytes (empty table, container path
    // length 64 KiB) whose path bytes are all missing.
    kMadeUpPaths,
    // pf2/pf3: each header length runs past the end of the index by 64 KiB.
    kNestedPastEnd,
    // Every name a made-up string of a new length (zeros; pf1 adds a pair).
    kMadeUpNames,
    // pf1-pf3: as many distinct entries as the bytes allow (3-byte names,
    // empty header blocks in pf2/pf3).
    kDenseEntries,
    // The index block's offset table: distinct ids, then nothing else.
    kLongOffsetTable,
    // The same with ids that all fall in one bucket of a table with
    // identity hashing, sized as the reader sizes it for the count.
    kCollidingIds,
    // pf0: records with distinct names, up to the size.
    kPf0Records,
};

namespace shapes_detail {

inline void Word(std::string& out, uint32_t value) {
    unsigned char w[4];
    tamarin::EncodeWord(value, w);
    out.append(reinterpret_cast<const char*>(w), 4);
}

inline std::string Name3(uint32_t i) {
    return std::string{static_cast<char>('A' + i % 26), static_cast<char>(i / 26 % 256),
                       static_cast<char>(i / 26 / 256 % 256 + 1)};
}

}  // namespace shapes_detail

// The index block (pf1-pf3; pf0: the records after the count) of at most
// size bytes in the given shape. Header shapes are for pf2/pf3 only. The
// entry count word is 0xFFFFFFFF: counts are not trusted either.
inline std::string ShapedIndex(Shape shape, Version version, uint32_t size) {
    using shapes_detail::Word;
    std::string out;
    if (shape == kPf0Records) {
        for (uint32_t i = 0; out.size() + 268 <= size; ++i) {
            std::string record = "r" + std::to_string(i);
            record.resize(260, '\0');
            out += record;
            Word(out, i);
            Word(out, 1);
        }
        return out;
    }
    if (shape == kLongOffsetTable || shape == kCollidingIds) {
        const uint32_t count = (size - 8) / 8;
        uint32_t step = 1;
        if (shape == kCollidingIds) {
            boost::unordered_map<uint32_t, uint32_t> table;
            table.reserve(count);
            step = static_cast<uint32_t>(table.bucket_count());
        }
        Word(out, count);
        for (uint32_t i = 0; out.size() + 12 <= size; ++i) {
            Word(out, i * step);
            Word(out, i);
        }
        Word(out, 0);
        return out;
    }
    // Fixed-size entries, so that the bytes left after each length word are
    // known while writing it.
    const bool headers = version != kPf1;
    const uint32_t entry = shape == kMadeUpPaths ? 19 : shape == kNestedPastEnd ? 11
                         : shape == kMadeUpNames ? 4 : headers ? 11 : 15;
    const uint32_t total = 8 + (size - 8) / entry * entry;
    Word(out, 0);            // offset table
    Word(out, 0xFFFFFFFFu);  // entry count
    for (uint32_t i = 0; out.size() < total; ++i) {
        const uint32_t leftAfterWord = total - static_cast<uint32_t>(out.size()) - 4;
        if (shape == kMadeUpNames) {
            // i + 1 missing bytes more than there are: new lengths, new names.
            Word(out, leftAfterWord + i % tamarin::kLengthSlack + 1);
            continue;
        }
        out.append(std::string("\3\0\0\0", 4) + shapes_detail::Name3(i));
        if (shape == kMadeUpPaths) {
            Word(out, 8);
            Word(out, 0);
            Word(out, tamarin::kLengthSlack);
        } else if (shape == kNestedPastEnd) {
            Word(out, leftAfterWord - 7 + tamarin::kLengthSlack);
        } else {  // kDenseEntries
            Word(out, 0);
            if (!headers) Word(out, i);
        }
    }
    return out;
}

}  // namespace tamarin_writer

#endif  // TAMARIN_WRITER_SHAPES_H_
