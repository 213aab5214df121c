// kobaru-pack verify: the index checked from the index alone, each
// container opened once; with --against, every entry compared with its file
// in one pass over the archive in the order its bytes lie.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <unordered_map>

#include "command.h"
#include "reading.h"

namespace kobaru_pack {

namespace {

// Compares one entry with the file it was made from, both read in chunks.
// True on any difference or failure, with a reason.
bool CompareEntry(const IndexEntry& entry, const Input& input, ContainerReader& reader, std::vector<char>& disk,
                  const Names& names, std::string* error) {
    const std::string shown = names.ShowHost(input.file);
    const int fd = ::open(input.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot be compared: cannot open " + shown + ": " + std::strerror(errno);
        return true;
    }
    const DescriptorCloser closer{fd};
    struct stat status;
    if (::fstat(fd, &status) != 0 || static_cast<uint64_t>(status.st_size) != entry.size) {
        *error = "is " + std::to_string(entry.size) + " bytes, " + shown + " is " + std::to_string(status.st_size);
        return true;
    }
    if (reader.Open(entry.container, error)) {
        *error = names.ShowHost(*error);
        return true;
    }
    uint64_t done = 0;
    const bool failed = reader.Read(
        entry.offset, entry.size,
        [&](const char* packed, size_t length, std::string* why) {
            for (size_t at = 0; at < length;) {
                const ssize_t got = ::read(fd, disk.data(), std::min(disk.size(), length - at));
                if (got <= 0) {
                    *why = got < 0 ? "cannot be compared: cannot read " + shown + ": " + std::strerror(errno)
                                   : "cannot be compared: " + shown + " changed size while it was read";
                    return true;
                }
                const auto mismatch = std::mismatch(disk.data(), disk.data() + got, packed + at);
                if (mismatch.first != disk.data() + got) {
                    *why = "differs from " + shown + " at byte " + std::to_string(done + (mismatch.first - disk.data()));
                    return true;
                }
                at += static_cast<size_t>(got);
                done += static_cast<uint64_t>(got);
            }
            return false;
        },
        error);
    return failed;
}

}  // namespace

int Verify(const Options& options, const Names& shown, std::ostream& out, std::ostream& err) {
    // The first plain operand is the archive; with --against the rest are
    // the ENTRYs it was made from.
    std::vector<std::string> plain;
    std::vector<Operand> sources;
    for (const Operand& o : options.operands) {
        if (!o.pair && plain.empty()) {
            plain.push_back(o.name);
        } else if (options.against) {
            sources.push_back(o);
        } else {
            err << "kobaru-pack: verify takes one ARCHIVE; ENTRYs follow --against" << kSeeHelp;
            return kUsage;
        }
    }
    if (plain.empty()) {
        err << "kobaru-pack: verify needs an ARCHIVE" << kSeeHelp;
        return kUsage;
    }
    if (options.against && sources.empty()) {
        err << "kobaru-pack: --against needs the ENTRYs the archive was made from" << kSeeHelp;
        return kUsage;
    }
    const std::string& path = plain[0];
    // Expected names are given as extract's NAMEs are: "/" for "\", in the
    // host's encoding.
    std::set<std::string> expected;
    for (const std::string& given : options.expected) {
        std::string name, why;
        if (shown.ToArchive(WithBackslashes(given), &name, &why)) {
            err << "kobaru-pack: --expect '" << shown.ShowHost(given) << "' " << why << "\n";
            return kFailed;
        }
        expected.insert(name);
    }
    std::vector<Input> inputs;
    if (options.against && GatherInputs(sources, path, 0, shown, false, &inputs, err)) return kFailed;
    Index index;
    if (LoadArchive(path, shown, &index, err)) return kFailed;

    size_t problems = CheckIndex(index, shown, err);
    // Every container is opened once: the structure check read the index
    // only, the installer reads the entries from these files.
    {
        ContainerReader reader;
        std::set<std::string> containers;
        for (const IndexEntry& entry : index) containers.insert(entry.container);
        for (const std::string& container : containers) {
            std::string error;
            if (reader.Open(container, &error)) {
                err << "kobaru-pack: " << shown.ShowHost(error) << "\n";
                ++problems;
            }
        }
    }
    const EntryLookup lookup(index);
    if (options.expectGiven) {
        for (const std::string& name : expected) {
            if (lookup.Find(name) == index.size()) {
                err << "kobaru-pack: missing entry '" << shown.Show(name) << "'\n";
                ++problems;
            }
        }
        for (const IndexEntry& entry : index) {
            if (expected.count(entry.name) == 0) {
                err << "kobaru-pack: unexpected entry '" << shown.Show(entry.name) << "'\n";
                ++problems;
            }
        }
    }
    if (options.against && problems == 0) {
        std::unordered_map<std::string, const Input*> files;
        files.reserve(inputs.size());
        for (const Input& input : inputs) files.emplace(input.name, &input);
        std::vector<size_t> all(index.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        ContainerReader reader;
        std::vector<char> disk(kChunk);
        for (size_t i : InOffsetOrder(index, all)) {
            const IndexEntry& entry = index[i];
            const auto file = files.find(entry.name);
            std::string error;
            if (file == files.end()) {
                err << "kobaru-pack: entry '" << shown.Show(entry.name) << "' has no file among the ones given\n";
                ++problems;
            } else if (CompareEntry(entry, *file->second, reader, disk, shown, &error)) {
                err << "kobaru-pack: entry '" << shown.Show(entry.name) << "' " << error << "\n";
                ++problems;
            }
        }
        for (const Input& input : inputs) {
            if (lookup.Find(input.name) == index.size()) {
                err << "kobaru-pack: missing entry '" << shown.Show(input.name) << "' (for "
                    << shown.ShowHost(input.file) << ")\n";
                ++problems;
            }
        }
    }
    if (problems != 0) return kFailed;
    out << shown.ShowHost(path) << ": " << Entries(index.size()) << ", structure ok"
        << (options.against ? ", every entry matches its file\n"
                            : " (entry bytes not checked: the format has no checksum; see --against)\n");
    return kOk;
}

}  // namespace kobaru_pack
