// Any bytes as an index block, decoded by both decoders, twice each on one
// context: attaching a block must forget everything read before.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <boost/make_shared.hpp>

#include "support.h"
#include "tamarin/memory.h"
#include "tamarin/serializer.h"

namespace {

bool Same(const tamarin::EntryMap& a, const tamarin::EntryMap& b) {
    return a == b;
}

bool Same(const tamarin::HeaderMap& a, const tamarin::HeaderMap& b) {
    if (a.size() != b.size()) return false;
    for (const auto& entry : a) {
        const auto it = b.find(entry.first);
        if (it == b.end() || it->second.containerPath != entry.second.containerPath ||
            it->second.offset != entry.second.offset || it->second.size != entry.second.size) {
            return false;
        }
    }
    return true;
}

// Decodes block twice on one context with read; both readings must agree.
template <typename Map>
void DecodeTwice(const boost::shared_ptr<tamarin::CMemory>& block,
                 void (*read)(tamarin::CSerializer&, Map&), const char* what) {
    tamarin::CSerializer context;
    Map first, second;
    tamarin::Attach(context, block);
    read(context, first);
    tamarin::Attach(context, block);
    read(context, second);
    if (!Same(first, second)) fuzz::Fail(what, "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) return 0;
    boost::shared_ptr<tamarin::CMemory> block =
        boost::make_shared<tamarin::CMemory>(static_cast<uint32_t>(size));
    if (size != 0) std::memcpy(block->Bytes(), data, size);

    fuzz::CostWatch watch("index decoding", size);
    DecodeTwice<tamarin::EntryMap>(block, tamarin::ReadEntryMap, "the entry map decoded twice differs");
    DecodeTwice<tamarin::HeaderMap>(block, tamarin::ReadHeaderMap, "the header map decoded twice differs");
    return 0;
}
