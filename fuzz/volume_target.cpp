// A root archive and one volume of it, mounted together. Input: volume
// number (2 bytes, little-endian, taken modulo 1000), root length (2 bytes),
// the root's bytes, then the volume's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "support.h"
#include "tamarin/pack_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    fuzz::EnterScratch();
    tamarin::ResetArchiveStateForTesting();
    const unsigned number = (data[0] | (data[1] << 8)) % 1000;
    size_t rootSize = data[2] | (data[3] << 8);
    if (rootSize > size - 4) rootSize = size - 4;
    const std::string root = "r.pfs";
    char suffix[8];
    std::snprintf(suffix, sizeof(suffix), ".%03u", number);
    const std::string volume = root + suffix;
    fuzz::PutFile(root, data + 4, rootSize);
    fuzz::PutFile(volume, data + 4 + rootSize, size - 4 - rootSize);
    tamarin::g_rootArchivePath = root;

    bool failed;
    {
        // Each file is held to the bound on its own.
        fuzz::CostWatch watch("mount with a volume", size - 4, 2);
        tamarin::CPackFile file;
        failed = file.Mount(root.c_str());
    }
    // A volume that mounts (the same bytes under another name tell) has its
    // entries replace the root's of the same name.
    const std::string alone = "v.pfs";
    fuzz::PutFile(alone, data + 4 + rootSize, size - 4 - rootSize);
    tamarin::CPackFile probe;
    if (!failed && !probe.MountArchive(alone.c_str(), true)) {
        const tamarin::HeaderMap& merged = tamarin::g_archiveRegistry[root];
        for (const auto& entry : tamarin::g_archiveRegistry[alone]) {
            const auto it = merged.find(entry.first);
            if (it == merged.end() || tamarin::ContainerPathOf(root, it->second) != volume ||
                it->second.offset != entry.second.offset || it->second.size != entry.second.size) {
                fuzz::Fail("a volume entry was not merged into its archive", entry.first);
            }
        }
    }
    fuzz::ExerciseEntries(root);
    fuzz::RemoveFile(volume);
    tamarin::ResetArchiveStateForTesting();
    return 0;
}
