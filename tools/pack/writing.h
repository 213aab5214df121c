// Writing an archive for create and append: the index first, then every
// input copied in chunks, so memory does not grow with the inputs.
#ifndef KOBARU_TOOLS_PACK_WRITING_H_
#define KOBARU_TOOLS_PACK_WRITING_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "inputs.h"
#include "names.h"
#include "tamarin_writer/writer.h"

namespace kobaru_pack {

// The executable an archive is appended to.
struct Image {
    std::string path;
    // Bytes of the file copied (its size, less a removed certificate table).
    uint64_t keep = 0;
    // Bytes replaced while copying: position, new bytes.
    std::vector<std::pair<uint64_t, std::string> > patches;
};

// Writes to output, through a temporary file renamed over it: the image
// (when given), the archive of inputs in their order, and with trailer the
// archive start in the last 4 bytes. *total is the output's size. True on
// failure, after a one-line message; output is then untouched.
bool WriteArchive(const std::string& output, const Image* image, bool trailer, const std::vector<Input>& inputs,
                  tamarin_writer::Version version, const Names& names, uint64_t* total, std::ostream& err);

}  // namespace kobaru_pack

#endif  // KOBARU_TOOLS_PACK_WRITING_H_
