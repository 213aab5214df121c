// kobaru-pack create: a free-standing archive of files and folders.
#include "command.h"
#include "writing.h"

namespace kobaru_pack {

int Create(const Options& options, const Names& names, std::ostream& out, std::ostream& err) {
    if (options.output.empty()) {
        err << "kobaru-pack: create needs -o ARCHIVE" << kSeeHelp;
        return kUsage;
    }
    if (options.operands.empty()) {
        err << "kobaru-pack: no entries given" << kSeeHelp;
        return kUsage;
    }
    std::vector<Input> inputs;
    uint64_t total = 0;
    if (GatherInputs(options.operands, options.output, 0, names, true, &inputs, err) ||
        WriteArchive(options.output, nullptr, false, inputs, options.version, names, &total, err)) {
        return kFailed;
    }
    out << names.ShowHost(options.output) << ": " << tamarin_writer::VersionName(options.version) << ", "
        << Entries(inputs.size()) << ", " << total << " bytes\n";
    return kOk;
}

}  // namespace kobaru_pack
