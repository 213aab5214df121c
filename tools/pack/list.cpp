// kobaru-pack list: the index as the reader decodes it, printed from the
// index alone.
#include "command.h"
#include "reading.h"

namespace kobaru_pack {

int List(const Options& options, const Names& names, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> plain = options.Plain();
    if (plain.size() != 1) {
        err << "kobaru-pack: list needs one ARCHIVE" << kSeeHelp;
        return kUsage;
    }
    Index index;
    if (LoadArchive(plain[0], names, &index, err) || CheckIndex(index, names, err) != 0) return kFailed;
    if (!options.quiet) out << "offset\tsize\tcontainer\tentry\n";
    // One line at a time, the container's printed form made once.
    std::string container, shownContainer, line;
    for (const IndexEntry& entry : index) {
        if (entry.container != container) {
            container = entry.container;
            shownContainer = names.ShowHost(container);
        }
        line = std::to_string(entry.offset);
        line += '\t';
        line += std::to_string(entry.size);
        line += '\t';
        line += shownContainer;
        line += '\t';
        names.AppendShown(entry.name, &line);
        line += '\n';
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
    }
    return kOk;
}

}  // namespace kobaru_pack
