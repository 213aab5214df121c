// Hashes for the maps keyed by bytes from archives.
#ifndef TAMARIN_KEYED_HASH_H_
#define TAMARIN_KEYED_HASH_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tamarin {

// SipHash-1-3 of n bytes under a key drawn once per process. Names and ids
// in an archive are chosen by whoever made it: with an unkeyed hash they
// can be made to share one bucket, and every insertion then walks all the
// others (quadratic time for an index of any size). Unlike Boost's hash,
// the result differs from process to process, and so does the iteration
// order of the maps, which carries no meaning.
size_t KeyedHash(const void* bytes, size_t n);

struct CNameHash {
    size_t operator()(const std::string& name) const { return KeyedHash(name.data(), name.size()); }
};

struct CIdHash {
    size_t operator()(uint32_t id) const { return KeyedHash(&id, sizeof(id)); }
};

}  // namespace tamarin

#endif  // TAMARIN_KEYED_HASH_H_
