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
    for (const IndexEntry& entry : index) {
        out << entry.offset << '\t' << entry.size << '\t' << names.ShowHost(entry.container) << '\t'
            << names.Show(entry.name) << '\n';
    }
    return kOk;
}

}  // namespace kobaru_pack
