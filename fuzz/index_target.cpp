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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) return 0;
    boost::shared_ptr<tamarin::CMemory> block =
        boost::make_shared<tamarin::CMemory>(static_cast<uint32_t>(size));
    if (size != 0) std::memcpy(block->Bytes(), data, size);

    fuzz::CostWatch watch("index decoding", size);
    {
        tamarin::CSerializer context;
        tamarin::EntryMap first, second;
        tamarin::Attach(context, block);
        tamarin::ReadEntryMap(context, first);
        tamarin::Attach(context, block);
        tamarin::ReadEntryMap(context, second);
        if (first != second) fuzz::Fail("the entry map decoded twice differs", "");
    }
    {
        tamarin::CSerializer context;
        tamarin::HeaderMap first, second;
        tamarin::Attach(context, block);
        tamarin::ReadHeaderMap(context, first);
        tamarin::Attach(context, block);
        tamarin::ReadHeaderMap(context, second);
        if (!Same(first, second)) fuzz::Fail("the header map decoded twice differs", "");
    }
    return 0;
}
