// Shared byte blocks, the binary stream beneath archive indexes, and the
// record interface.
#ifndef TAMARIN_MEMORY_H_
#define TAMARIN_MEMORY_H_

#include <cstdint>
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>

namespace tamarin {

class CSerializer;

// A fixed-size block of zero-filled bytes under shared ownership. Made with
// boost::make_shared and passed around as boost::shared_ptr<CMemory> only.
class CMemory {
public:
    // Allocates size zero bytes (0 gives an empty block). Throws
    // std::bad_alloc like any allocation; callers bound size first.
    explicit CMemory(uint32_t size);
    virtual ~CMemory();

    // The usable bytes: data.get() + offset, size of them.
    unsigned char* Bytes() const { return data.get() + offset; }

    boost::shared_ptr<unsigned char[]> data;
    uint32_t offset;
    uint32_t size;
};

// A byte stream with a write side (a list of chunks growing by doubling from
// 1024 bytes; written bytes never move) and a read side (one attached block
// with a position). One direction at a time.
class CBinaryStream {
public:
    CBinaryStream();
    virtual ~CBinaryStream();

    // Appends length bytes to the write side.
    void Write(const void* bytes, uint32_t length);
    // Drops everything written or attached, resets the counters and attaches
    // memory (possibly empty) for reading from position 0.
    void SetMemory(const boost::shared_ptr<CMemory>& memory);

    // Read side. True when k more bytes can be read; never wraps.
    bool CanRead(uint32_t k) const;
    // Bytes that remain to be read (0 with nothing attached).
    uint32_t Remaining() const;
    // Copies k bytes to out and advances; false (nothing moved) when fewer
    // than k remain.
    bool ReadBytes(void* out, uint32_t k);

    // Write side: all bytes written so far, in order.
    std::string WrittenBytes() const;

    const std::list<boost::shared_ptr<CMemory> >& Chunks() const { return m_chunks; }
    const boost::shared_ptr<CMemory>& Memory() const { return m_memory; }
    uint32_t Position() const { return m_position; }
    uint32_t Used() const { return m_used; }
    uint32_t Free() const { return m_free; }

private:
    std::list<boost::shared_ptr<CMemory> > m_chunks;
    boost::shared_ptr<CMemory> m_memory;
    uint32_t m_position;
    uint32_t m_used;
    uint32_t m_free;
};

// A record that writes itself to and reads itself from a context's stream.
class ISerializable {
public:
    virtual ~ISerializable() {}
    virtual void Serialize(CSerializer& context) = 0;
    virtual void Deserialize(CSerializer& context) = 0;
};

// Allowance beyond the bytes a source can still supply that a length word
// read from an archive may claim before it is treated as unsatisfiable: a
// damaged length never makes the reader allocate more than this on top.
const uint32_t kLengthSlack = 64 * 1024;

// True when a length word of n bytes, read from a source that can still
// supply remaining bytes, may be allocated.
inline bool LengthWithinBound(uint32_t n, uint32_t remaining) {
    return n <= remaining || n - remaining <= kLengthSlack;
}

// Value encoding: 32-bit little-endian words; strings and blocks as a 32-bit
// byte count followed by the bytes.
// Reads a word; on short data the target keeps its value and nothing moves.
void ReadInt32(CSerializer& context, uint32_t& value);
// Reads a string. No 4 bytes left: emptied, nothing moves. Length 0: emptied.
// Bytes missing: n zero bytes, position after the length word. A length no
// buffer may be had for (see LengthWithinBound and
// CSerializer::ClaimMissingString): emptied, position after the length word.
void ReadString(CSerializer& context, std::string& value);
void WriteInt32(CSerializer& context, uint32_t value);
void WriteString(CSerializer& context, const std::string& value);

// Little-endian word helpers, the one place words are assembled from bytes.
inline uint32_t DecodeWord(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void EncodeWord(uint32_t value, unsigned char* p) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

}  // namespace tamarin

#endif  // TAMARIN_MEMORY_H_
