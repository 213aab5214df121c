// Keyed hashing of archive names and ids.
#include "tamarin/keyed_hash.h"

#include <chrono>
#include <random>

namespace tamarin {

namespace {

inline uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

inline uint64_t Load64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

struct SipState {
    uint64_t v0, v1, v2, v3;
    void Round() {
        v0 += v1; v1 = Rotl(v1, 13); v1 ^= v0; v0 = Rotl(v0, 32);
        v2 += v3; v3 = Rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = Rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = Rotl(v1, 17); v1 ^= v2; v2 = Rotl(v2, 32);
    }
    void Absorb(uint64_t m) {
        v3 ^= m;
        Round();
        v0 ^= m;
    }
};

struct Key {
    uint64_t k0, k1;
};

// Drawn on first use. random_device may be missing or fail on some C
// runtimes; the clock and the stack address still vary from run to run.
Key MakeKey() {
    int local = 0;
    Key key = {static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
               static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
                   static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&local))};
    try {
        std::random_device device;
        for (int i = 0; i < 2; ++i) {
            key.k0 = (key.k0 << 32) ^ device();
            key.k1 = (key.k1 << 32) ^ device();
        }
    } catch (...) {
    }
    return key;
}

const Key& ProcessKey() {
    static const Key key = MakeKey();
    return key;
}

}  // namespace

size_t KeyedHash(const void* bytes, size_t n) {
    const Key& key = ProcessKey();
    SipState s = {key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                  key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    const size_t whole = n - n % 8;
    for (size_t i = 0; i < whole; i += 8) s.Absorb(Load64(p + i));
    uint64_t last = static_cast<uint64_t>(n) << 56;
    for (size_t i = whole; i < n; ++i) last |= static_cast<uint64_t>(p[i]) << (8 * (i - whole));
    s.Absorb(last);
    s.v2 ^= 0xff;
    s.Round();
    s.Round();
    s.Round();
    return static_cast<size_t>(s.v0 ^ s.v1 ^ s.v2 ^ s.v3);
}

}  // namespace tamarin
