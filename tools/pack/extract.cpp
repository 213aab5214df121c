// kobaru-pack extract: checks every target before anything is written, then
// writes the entries in the order their bytes lie in the archive, each
// container opened once, each folder made once, each file through a
// temporary file renamed over its target.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "command.h"
#include "reading.h"

namespace kobaru_pack {

namespace {

// Where an entry goes below dir: the name cut at its separators, each part
// in the host's encoding, joined with "/". *folderEnds gets the length of
// the path up to each folder part's end. True when a part has no host form,
// with a reason.
bool EntryPath(const std::string& dir, const std::string& name, const std::vector<size_t>& separators,
               const Names& names, std::string* path, std::vector<size_t>* folderEnds, std::string* why) {
    *path = dir;
    folderEnds->clear();
    size_t start = 0;
    std::string host;
    for (size_t k = 0; k <= separators.size(); ++k) {
        const size_t end = k < separators.size() ? separators[k] : name.size();
        if (names.ToHost(name.substr(start, end - start), &host, why)) return true;
        if (!path->empty() && path->back() != '/') *path += '/';
        *path += host;
        if (k < separators.size()) folderEnds->push_back(path->size());
        start = end + 1;
    }
    return false;
}

// Creates the temporary file beside a target: ".NAME.partial", or with a
// number after it when that name is taken (a file left by an interrupted run,
// or an entry of that very name): an existing file is never overwritten.
// The descriptor, or -1 with errno set.
int CreateTemporary(const std::string& target, std::string* temp) {
    const size_t slash = target.rfind('/');
    const size_t at = slash == std::string::npos ? 0 : slash + 1;
    const std::string base = target.substr(0, at) + "." + target.substr(at) + ".partial";
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temp = attempt == 0 ? base : base + "." + std::to_string(attempt);
        const int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// One file to write.
struct Target {
    size_t entry;          // position in the index
    std::string path;      // below the folder, as printed
    mode_t keepMode = 0;   // of the file it replaces, 0 when there is none
};

// Writes one entry through its temporary file. True on failure with a
// reason that names the target.
bool WriteEntry(const IndexEntry& entry, const Target& target, ContainerReader& reader, std::string* error) {
    if (reader.Open(entry.container, error)) return true;
    std::string temp;
    const int fd = CreateTemporary(target.path, &temp);
    if (fd < 0) {
        *error = "cannot create " + target.path + ": " + std::strerror(errno);
        return true;
    }
    // A large entry is copied by the kernel; a small one comes from the
    // reader's window, which serves many entries with one read.
    int reason = ENOSYS;
    if (entry.size >= kKernelCopyFrom) {
        uint64_t copied = 0;
        reason = CopyRange(reader.Descriptor(), entry.offset, fd, entry.size, &copied);
        if (reason == 0 && copied < entry.size) {
            *error = "reads " + std::to_string(copied) + " of " + std::to_string(entry.size) + " bytes";
            reason = EIO;
        } else if (reason != 0 && reason != ENOSYS) {
            *error = "cannot write " + target.path + ": " + std::strerror(reason);
        }
    }
    bool failed = reason != 0 && reason != ENOSYS;
    if (reason == ENOSYS) failed = reader.Read(
        entry.offset, entry.size,
        [&](const char* bytes, size_t length, std::string* why) {
            while (length > 0) {
                const ssize_t done = ::write(fd, bytes, length);
                if (done < 0 && errno == EINTR) continue;
                if (done <= 0) {
                    *why = "cannot write " + target.path + ": " + std::strerror(done < 0 ? errno : ENOSPC);
                    return true;
                }
                bytes += done;
                length -= static_cast<size_t>(done);
            }
            return false;
        },
        error);
    if (!failed && target.keepMode != 0) ::fchmod(fd, target.keepMode);
    if (::close(fd) != 0 && !failed) {
        *error = "cannot write " + target.path + ": " + std::strerror(errno);
        failed = true;
    }
    if (!failed && ::rename(temp.c_str(), target.path.c_str()) != 0) {
        *error = "cannot replace " + target.path + ": " + std::strerror(errno);
        failed = true;
    }
    if (failed) ::unlink(temp.c_str());
    return failed;
}

}  // namespace

int Extract(const Options& options, const Names& names, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> plain = options.Plain();
    if (plain.empty()) {
        err << "kobaru-pack: extract needs an ARCHIVE" << kSeeHelp;
        return kUsage;
    }
    // Relative as given: messages name the path the user wrote.
    const std::string& dir = options.directory;
    struct stat status;
    const bool dirExists = ::stat(dir.c_str(), &status) == 0;
    if (dirExists && !S_ISDIR(status.st_mode)) {
        err << "kobaru-pack: " << names.ShowHost(dir) << " is not a folder\n";
        return kFailed;
    }
    // Below a folder that is missing or empty nothing can stand in the way:
    // the targets are then not looked at one by one.
    std::error_code emptyError;
    const bool fresh = !dirExists || (std::filesystem::is_empty(dir, emptyError) && !emptyError);
    Index index;
    if (LoadArchive(plain[0], names, &index, err)) return kFailed;
    EntryLookup lookup(index);

    std::vector<size_t> wanted;
    if (plain.size() > 1) {
        std::vector<bool> chosen(index.size(), false);
        for (size_t i = 1; i < plain.size(); ++i) {
            std::string name, why;
            if (names.ToArchive(WithBackslashes(plain[i]), &name, &why)) {
                err << "kobaru-pack: entry name '" << names.ShowHost(plain[i]) << "' " << why << "\n";
                return kFailed;
            }
            const size_t found = lookup.Find(name);
            if (found == index.size()) {
                err << "kobaru-pack: no entry '" << names.Show(name) << "' in " << names.ShowHost(plain[0]) << "\n";
                return kFailed;
            }
            if (!chosen[found]) wanted.push_back(found);
            chosen[found] = true;
        }
    } else {
        for (size_t i = 0; i < index.size(); ++i) wanted.push_back(i);
    }

    // Every name, span and target is checked before anything is written, so
    // a damaged archive or a kept file leaves no partial extraction behind.
    // Folders on disk are looked at once each.
    std::unordered_map<std::string, bool> fileOnDisk;  // folder part -> a file (not a folder) stands there
    ContainerSizes sizes;
    std::vector<Target> targets;
    targets.reserve(wanted.size());
    size_t kept = 0;
    std::string firstKept;
    std::vector<size_t> separators, folderEnds;
    std::unordered_map<std::string, size_t> targetOf;  // host path -> entry extracted there
    targetOf.reserve(wanted.size());
    for (size_t i : wanted) {
        const IndexEntry& entry = index[i];
        if (!SafeSeparators(entry.name, &separators)) {
            const char* problem = NameProblem(entry.name);
            err << "kobaru-pack: entry name '" << names.Show(entry.name) << "' "
                << (problem != nullptr ? problem : "cannot be split into folder names") << "; not extracted\n";
            return kFailed;
        }
        Target target;
        target.entry = i;
        std::string error;
        if (EntryPath(dir, entry.name, separators, names, &target.path, &folderEnds, &error) ||
            !(error = SpanProblem(entry, sizes, names)).empty()) {
            err << "kobaru-pack: entry '" << names.Show(entry.name) << "' " << error << "\n";
            return kFailed;
        }
        // An entry below another entry's name, or below a file already on
        // disk, would stop the extraction halfway.
        std::string folder;
        for (size_t depth = 0; depth < separators.size(); ++depth) {
            if (lookup.IsFolderEntry(std::string_view(entry.name.data(), separators[depth]), depth)) {
                folder = entry.name.substr(0, separators[depth]);
                break;
            }
        }
        for (size_t k = 0; !fresh && folder.empty() && k < folderEnds.size(); ++k) {
            const std::string part = target.path.substr(0, folderEnds[k]);
            auto known = fileOnDisk.find(part);
            if (known == fileOnDisk.end()) {
                struct stat st;
                known = fileOnDisk.emplace(part, ::stat(part.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)).first;
            }
            if (known->second) folder = entry.name.substr(0, separators[k]);
        }
        if (!folder.empty()) {
            err << "kobaru-pack: entry '" << names.Show(entry.name) << "' lies below the file '" << names.Show(folder)
                << "'; nothing extracted\n";
            return kFailed;
        }
        // Names whose code page 932 forms differ can still share one host
        // form (a character with two codes): the later would silently
        // replace the earlier.
        const auto first = targetOf.emplace(target.path, i);
        if (!first.second) {
            err << "kobaru-pack: entries '" << names.Show(index[first.first->second].name) << "' and '"
                << names.Show(entry.name) << "' both extract to " << names.ShowHost(target.path)
                << "; nothing extracted\n";
            return kFailed;
        }
        struct stat st;
        if (!fresh && ::lstat(target.path.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) {
                err << "kobaru-pack: " << names.ShowHost(target.path) << " is a folder; not replaced by an entry\n";
                return kFailed;
            }
            if (!options.force && kept++ == 0) firstKept = target.path;
            if (S_ISREG(st.st_mode)) target.keepMode = st.st_mode & 07777;
        }
        targets.push_back(std::move(target));
    }
    if (kept != 0) {
        err << "kobaru-pack: " << names.ShowHost(firstKept) << " exists";
        if (kept > 1) err << " (and " << kept - 1 << " more)";
        err << "; nothing extracted (--force replaces existing files)\n";
        return kFailed;
    }

    // Written in the order the bytes lie: one sequential pass per container.
    std::sort(targets.begin(), targets.end(), [&](const Target& a, const Target& b) {
        const IndexEntry& x = index[a.entry];
        const IndexEntry& y = index[b.entry];
        if (x.containerId != y.containerId) return x.containerId < y.containerId;
        return x.offset != y.offset ? x.offset < y.offset : a.entry < b.entry;
    });
    // Folders made so far; files in offset order mostly share the last one.
    std::unordered_set<std::string> made;
    std::string lastParent;
    ContainerReader reader;
    for (const Target& target : targets) {
        const size_t entryAt = target.entry;
        const size_t slash = target.path.rfind('/');
        const std::string parent = slash == std::string::npos ? std::string() : target.path.substr(0, slash);
        if (!parent.empty() && parent != lastParent && made.insert(parent).second) {
            std::error_code ec;
            std::filesystem::create_directories(parent, ec);
            if (ec) {
                err << "kobaru-pack: cannot make folder " << names.ShowHost(parent) << ": " << ec.message() << "\n";
                return kFailed;
            }
        }
        lastParent = parent;
        std::string error;
        if (WriteEntry(index[entryAt], target, reader, &error)) {
            // A failed write or open names its file; a short read (the
            // archive changed since it was checked) names the entry.
            const bool namesItsFile = error.rfind("cannot ", 0) == 0 && error.rfind("cannot be read", 0) != 0;
            err << "kobaru-pack: " << (namesItsFile ? "" : "entry '" + names.Show(index[entryAt].name) + "' ")
                << names.ShowHost(error) << "\n";
            return kFailed;
        }
        out << names.ShowHost(target.path) << '\n';
    }
    return kOk;
}

}  // namespace kobaru_pack
