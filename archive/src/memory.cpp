// Shared byte blocks and the binary stream beneath archive indexes.
#include "tamarin/memory.h"

#include <cstring>

#include <boost/make_shared.hpp>

#include "tamarin/serializer.h"

namespace tamarin {

namespace {

const uint32_t kFirstChunkSize = 1024;

}  // namespace

// make_shared of an array value-initialises it, so the block starts zeroed
// and shares one allocation with its reference count.
CMemory::CMemory(uint32_t size)
    : data(boost::make_shared<unsigned char[]>(size)), offset(0), size(size) {}

CMemory::~CMemory() {}

CBinaryStream::CBinaryStream() : m_position(0), m_used(0), m_free(0) {}

CBinaryStream::~CBinaryStream() {}

void CBinaryStream::Write(const void* bytes, uint32_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    for (;;) {
        if (m_free == 0) {
            // The last chunk is full (or there is none): the next one doubles
            // it, but a longer write gets a chunk of its own length so that
            // written bytes never have to move.
            uint32_t capacity = 2 * m_used;
            m_used = 0;
            if (capacity < length) capacity = length;
            if (capacity < kFirstChunkSize) capacity = kFirstChunkSize;
            m_chunks.push_back(boost::make_shared<CMemory>(capacity));
            m_free = capacity;
        }
        const uint32_t n = length > m_free ? m_free : length;
        if (n != 0) std::memcpy(m_chunks.back()->Bytes() + m_used, p, n);
        m_position += n;
        m_used += n;
        m_free -= n;
        if (n == length) return;
        p += n;
        length -= n;
    }
}

void CBinaryStream::SetMemory(const boost::shared_ptr<CMemory>& memory) {
    // memory may be our own block; keep it alive across the reset.
    boost::shared_ptr<CMemory> block = memory;
    m_chunks.clear();
    m_memory.reset();
    m_position = 0;
    m_used = 0;
    m_free = 0;
    m_memory = block;
}

bool CBinaryStream::CanRead(uint32_t k) const {
    // Position never passes size, so the subtraction cannot wrap.
    return m_memory && k <= m_memory->size - m_position;
}

uint32_t CBinaryStream::Remaining() const {
    return m_memory ? m_memory->size - m_position : 0;
}

bool CBinaryStream::ReadBytes(void* out, uint32_t k) {
    if (!CanRead(k)) return false;
    if (k != 0) std::memcpy(out, m_memory->Bytes() + m_position, k);
    m_position += k;
    return true;
}

std::string CBinaryStream::WrittenBytes() const {
    std::string bytes;
    bytes.reserve(m_memory ? 0 : m_position);
    for (std::list<boost::shared_ptr<CMemory> >::const_iterator it = m_chunks.begin();
         it != m_chunks.end(); ++it) {
        // Every chunk but the last is full.
        const uint32_t n = (*it == m_chunks.back()) ? m_used : (*it)->size;
        bytes.append(reinterpret_cast<const char*>((*it)->Bytes()), n);
    }
    return bytes;
}

void ReadInt32(CSerializer& context, uint32_t& value) {
    unsigned char word[4];
    if (context.Stream().ReadBytes(word, 4)) value = DecodeWord(word);
}

void ReadString(CSerializer& context, std::string& value) {
    CBinaryStream& stream = context.Stream();
    uint32_t n = 0;
    if (!stream.CanRead(4)) {
        value.clear();
        return;
    }
    ReadInt32(context, n);
    // A damaged length must not decide an allocation on its own: beyond what
    // the block can still supply (plus slack) the string counts as missing.
    if (n == 0 || !LengthWithinBound(n, stream.Remaining())) {
        value.clear();
        return;
    }
    // Bytes that are not there read as zeros; the position then stays after
    // the length word. Each such string is within the bound on its own, but
    // a damaged index may announce many of them, in many nested blocks, so
    // together they draw on the decode's one allowance.
    if (!stream.CanRead(n) && !context.ClaimMissingString(n)) {
        value.clear();
        return;
    }
    value.assign(n, '\0');
    stream.ReadBytes(&value[0], n);
}

void WriteInt32(CSerializer& context, uint32_t value) {
    unsigned char word[4];
    EncodeWord(value, word);
    context.Stream().Write(word, 4);
}

void WriteString(CSerializer& context, const std::string& value) {
    const uint32_t n = static_cast<uint32_t>(value.size());
    WriteInt32(context, n);
    if (n != 0) context.Stream().Write(value.data(), n);
}

}  // namespace tamarin
