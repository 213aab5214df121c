// Any bytes as the root archive: mount it alone, list it, and open, read,
// seek, tell and clone every entry.
#include <cstddef>
#include <cstdint>

#include "support.h"
#include "tamarin/pack_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::EnterScratch();
    tamarin::ResetArchiveStateForTesting();
    const std::string path = "in.pfs";
    fuzz::PutFile(path, data, size);
    // Entries are then found in the root archive, which is mounted already.
    tamarin::g_rootArchivePath = path;
    fuzz::MountWatched(path, size);
    fuzz::ExerciseEntries(path);
    tamarin::ResetArchiveStateForTesting();
    return 0;
}
