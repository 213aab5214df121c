// Any bytes as an archive behind an executable image. The first input byte
// chooses the layout: bit 0 records the start in the trailer instead of the
// header word, bit 1 takes the start word from the archive's first four
// bytes instead of the image size (a start anywhere), the rest sets the
// image size (32 to 284 bytes).
#include <cstddef>
#include <cstdint>
#include <string>

#include "support.h"
#include "tamarin/memory.h"
#include "tamarin/pack_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    fuzz::EnterScratch();
    tamarin::ResetArchiveStateForTesting();
    const uint8_t layout = data[0];
    const uint8_t* archive = data + 1;
    const size_t archiveSize = size - 1;

    const size_t imageSize = 32 + 4 * static_cast<size_t>(layout >> 2);
    uint32_t start = static_cast<uint32_t>(imageSize);
    if ((layout & 2) != 0 && archiveSize >= 4) start = tamarin::DecodeWord(archive);
    unsigned char word[4];
    tamarin::EncodeWord(start, word);

    std::string file(imageSize, '\0');
    file[0] = 'M';
    file[1] = 'Z';
    const bool trailer = (layout & 1) != 0;
    if (!trailer) file.replace(28, 4, reinterpret_cast<const char*>(word), 4);
    file.append(reinterpret_cast<const char*>(archive), archiveSize);
    if (trailer) file.append(reinterpret_cast<const char*>(word), 4);

    const std::string path = "in.exe";
    fuzz::PutFile(path, reinterpret_cast<const uint8_t*>(file.data()), file.size());
    tamarin::g_rootArchivePath = path;
    fuzz::MountWatched(path, file.size());
    fuzz::ExerciseEntries(path);
    tamarin::ResetArchiveStateForTesting();
    return 0;
}
