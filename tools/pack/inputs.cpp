// Entry names and the files behind them: what makes a name safe, and the
// walk from the command line's files and folders to (name, file) pairs.
#include "inputs.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <map>
#include <set>
#include <system_error>

#include "tamarin/path.h"
#include "tamarin_writer/writer.h"

namespace kobaru_pack {

namespace fs = std::filesystem;

namespace {

// The name a path given on the command line is stored under: its components
// joined with "\", without the "." and empty components that do not change
// which file it is. An absolute path keeps its leading "\" to be refused.
std::string NameOfPath(const std::string& path) {
    std::string name = path.size() > 0 && path[0] == '/' ? "\\" : "";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") {
            if (!name.empty() && name != "\\") name += '\\';
            name += part;
        }
        start = end + 1;
    }
    return name;
}

// ASCII letters lowered, Shift-JIS characters kept whole.
std::string FoldCase(std::string name) {
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (tamarin::IsLeadByte(c)) {
            ++i;
        } else if (c >= 'A' && c <= 'Z') {
            name[i] = static_cast<char>(c - 'A' + 'a');
        }
    }
    return name;
}

// Adds the files below folder (sorted by name) under prefix. output, when
// set, is the output archive's status: it is never packed into itself.
// A file whose name cannot be stored is reported and the walk goes on, so
// that one run names them all; *badNames counts them.
bool AddFolder(const std::string& folder, const std::string& prefix, const struct stat* output, const Names& names,
               std::vector<Input>* inputs, size_t* badNames, std::ostream& err) {
    std::vector<Input> found;
    std::vector<std::string> folders;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        // One stat per file: its kind, its size and whether it is the output.
        const fs::path& path = it->path();
        const std::string file = path.string();
        struct stat status;
        if (::stat(file.c_str(), &status) != 0) {
            err << "kobaru-pack: cannot open " << names.ShowHost(file) << ": " << std::strerror(errno) << "\n";
            return true;
        }
        if (S_ISDIR(status.st_mode)) {
            struct stat link;
            if (::lstat(file.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
                err << "kobaru-pack: " << names.ShowHost(file) << " is a link to a folder, which is not followed\n";
                return true;
            }
            folders.push_back(file);
            continue;
        }
        if (!S_ISREG(status.st_mode)) {
            err << "kobaru-pack: " << names.ShowHost(file) << " is not a regular file (a device, pipe or socket)\n";
            return true;
        }
        if (output != nullptr && status.st_dev == output->st_dev && status.st_ino == output->st_ino) {
            err << "kobaru-pack: warning: " << names.ShowHost(file) << " is the archive itself; left out\n";
            continue;
        }
        Input input;
        input.file = path.string();
        input.name = prefix;
        bool named = true;
        for (const fs::path& part : path.lexically_relative(folder)) {
            std::string component, why;
            if (names.ToArchive(part.string(), &component, &why)) {
                err << "kobaru-pack: the name of " << names.ShowHost(file) << " " << why << "\n";
                named = false;
                break;
            }
            // A backslash that begins a character would split the name.
            if (Components(component).size() != 1) {
                err << "kobaru-pack: " << names.ShowHost(input.file)
                    << ": a file name holding '\\' cannot be stored; name it with --entry NAME=FILE\n";
                named = false;
                break;
            }
            input.name += (input.name.empty() ? "" : "\\") + component;
        }
        if (!named) {
            ++*badNames;
            continue;
        }
        input.size = static_cast<uintmax_t>(status.st_size);
        found.push_back(std::move(input));
    }
    if (ec) {
        err << "kobaru-pack: cannot read folder " << names.ShowHost(folder) << ": " << ec.message() << "\n";
        return true;
    }
    if (found.empty() && *badNames == 0) {
        err << "kobaru-pack: warning: folder " << names.ShowHost(folder) << " holds no files\n";
    } else {
        // An archive holds files only: a folder with no file below it is not
        // stored, and the topmost such folder is named.
        std::set<std::string> holding;
        for (const Input& input : found) {
            for (fs::path up = fs::path(input.file).parent_path(); up.string().size() > folder.size();
                 up = up.parent_path()) {
                if (!holding.insert(up.string()).second) break;
            }
        }
        for (const std::string& f : folders) {
            const std::string parent = fs::path(f).parent_path().string();
            if (holding.count(f) == 0 && (parent.size() <= folder.size() || holding.count(parent) != 0)) {
                err << "kobaru-pack: warning: folder " << names.ShowHost(f)
                    << " holds no files and is left out (an archive stores files only)\n";
            }
        }
    }
    std::sort(found.begin(), found.end(), [](const Input& a, const Input& b) { return a.name < b.name; });
    inputs->insert(inputs->end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
    return false;
}

}  // namespace

// Stored names use backslashes; the reader turns "/" into "\" before every
// lookup, so a "/" stored in a name could never be found.
std::string WithBackslashes(std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

std::vector<std::string> Components(const std::string& name) {
    std::vector<std::string> parts;
    tamarin::SplitTokens(name.c_str(), parts, "\\");
    return parts;
}

// Why an entry name is unsafe or can never be opened; nullptr when it is
// fine. Shift-JIS trail bytes are never taken for separators; ':', '/' and
// '.' cannot be trail bytes.
const char* NameProblem(const std::string& name) {
    if (name.empty()) return "is empty";
    if (name.find('\0') != std::string::npos) return "holds a zero byte";
    if (name.find('/') != std::string::npos) return "holds '/', so the reader can never find it";
    if (name[0] == '\\') return "is absolute";
    const unsigned char first = static_cast<unsigned char>(name[0]);
    if (name.size() >= 2 && name[1] == ':' && first < 0x80 && std::isalpha(first)) {
        return "holds a drive letter";
    }
    if (name.find(':') != std::string::npos) return "holds ':' (a drive or stream separator on Windows)";
    const std::vector<std::string> parts = Components(name);
    for (const std::string& part : parts) {
        if (part == "..") return "holds '..'";
    }
    for (const std::string& part : parts) {
        if (part.empty()) return "holds an empty folder name ('\\\\', or '\\' at the end)";
        if (part == ".") return "holds a '.' folder name";
    }
    return nullptr;
}

// What Windows cannot create, looked for a character at a time: a trail
// byte may be '|' or '\\', never one of the others.
std::string WindowsNameProblem(const std::string& name) {
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (tamarin::IsLeadByte(c)) {
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            return std::string("holds a control character (") + hex + "), which Windows file names cannot hold";
        } else if (c != 0 && std::strchr("<>:\"|?*", c) != nullptr) {
            return std::string("holds '") + static_cast<char>(c) + "', which Windows file names cannot hold";
        }
    }
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    for (const std::string& part : Components(name)) {
        // '.' and ' ' are never trail bytes.
        if (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
            return "has a folder or file name ending in '.' or ' ', which Windows drops";
        }
        // A device name stays one with any extension, and with spaces before it.
        std::string base = part.substr(0, part.find('.'));
        while (!base.empty() && base.back() == ' ') base.pop_back();
        for (char& b : base) {
            if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
        }
        bool device = (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
                       base[3] >= '1' && base[3] <= '9');
        for (const char* d : kDevices) device = device || base == d;
        if (device) return "holds the reserved device name " + base + ", which Windows cannot create as a file";
    }
    return std::string();
}

// Turns ENTRY operands into the files to store, checking every name, the
// kinds and the total size before any file is read. True on failure, after
// a message.
bool GatherInputs(const std::vector<Operand>& operands, const std::string& output, uintmax_t alreadyUsed,
                  const Names& names, bool forWindows, std::vector<Input>* inputs, std::ostream& err) {
    std::error_code ec;
    struct stat outputStatus;
    const bool outputExists = !output.empty() && ::stat(output.c_str(), &outputStatus) == 0;
    size_t badNames = 0;
    for (const Operand& o : operands) {
        const std::string given = o.pair ? WithBackslashes(o.name) : NameOfPath(o.file);
        std::string prefix, why;
        if (names.ToArchive(given, &prefix, &why)) {
            err << "kobaru-pack: entry name '" << names.ShowHost(given) << "' (for " << names.ShowHost(o.file) << ") "
                << why << "\n";
            return true;
        }
        // A bad name is the first complaint. A folder's own name may be empty
        // ("."): its files then stand at the top.
        if (!prefix.empty() && NameProblem(prefix) != nullptr) {
            err << "kobaru-pack: entry name '" << names.Show(prefix) << "' (for " << names.ShowHost(o.file) << ") "
                << NameProblem(prefix) << (o.pair ? "" : "; name it with --entry NAME=PATH") << "\n";
            return true;
        }
        const fs::file_status status = fs::status(o.file, ec);
        if (ec) {
            err << "kobaru-pack: cannot open " << names.ShowHost(o.file) << ": " << ec.message() << "\n";
            return true;
        }
        if (fs::is_directory(status)) {
            if (AddFolder(o.file, prefix, outputExists ? &outputStatus : nullptr, names, inputs, &badNames, err)) return true;
            continue;
        }
        if (!fs::is_regular_file(status)) {
            err << "kobaru-pack: " << names.ShowHost(o.file)
                << " is not a regular file or folder (a device, pipe or socket)\n";
            return true;
        }
        // Written through a temporary file, the output would replace its own
        // input with an archive of it.
        struct stat inputStatus;
        if (outputExists && ::stat(o.file.c_str(), &inputStatus) == 0 && inputStatus.st_dev == outputStatus.st_dev &&
            inputStatus.st_ino == outputStatus.st_ino) {
            err << "kobaru-pack: " << names.ShowHost(o.file) << " is the output " << names.ShowHost(output)
                << " itself; an archive cannot hold itself\n";
            return true;
        }
        Input input;
        input.name = prefix;
        input.file = o.file;
        input.size = fs::file_size(o.file, ec);
        if (ec) {
            err << "kobaru-pack: cannot open " << names.ShowHost(o.file) << ": " << ec.message() << "\n";
            return true;
        }
        inputs->push_back(std::move(input));
    }

    std::map<std::string, const Input*> byName;
    std::map<std::string, const Input*> byFoldedName;
    uintmax_t total = alreadyUsed;
    for (const Input& input : *inputs) {
        const char* const general = NameProblem(input.name);
        std::string problem = general != nullptr ? general : "";
        if (problem.empty() && forWindows) problem = WindowsNameProblem(input.name);
        // Every bad name is reported, so one run shows all there are to fix.
        if (!problem.empty()) {
            err << "kobaru-pack: entry name '" << names.Show(input.name) << "' (for " << names.ShowHost(input.file)
                << ") " << problem << "\n";
            ++badNames;
            continue;
        }
        const auto added = byName.emplace(input.name, &input);
        if (!added.second) {
            err << "kobaru-pack: entry name '" << names.Show(input.name) << "' given twice ("
                << names.ShowHost(added.first->second->file) << " and " << names.ShowHost(input.file) << ")\n";
            return true;
        }
        const auto folded = byFoldedName.emplace(FoldCase(input.name), &input);
        if (!folded.second) {
            err << "kobaru-pack: warning: entry names '" << names.Show(folded.first->second->name) << "' and '"
                << names.Show(input.name) << "' differ only in case; extracted on Windows, one replaces the other\n";
        }
        total += input.size;
    }
    if (badNames != 0) return true;
    // A name below another entry's name would need that file as a folder.
    for (const Input& input : *inputs) {
        const std::string folder =
            FileAbove(input.name, [&](const std::string& n) { return byName.count(n) != 0; });
        if (!folder.empty()) {
            err << "kobaru-pack: entry name '" << names.Show(input.name) << "' (for " << names.ShowHost(input.file)
                << ") lies below the entry '" << names.Show(folder) << "' (for " << names.ShowHost(byName[folder]->file)
                << ")\n";
            return true;
        }
    }
    if (total > tamarin_writer::kMaxContainer) {
        err << "kobaru-pack: the inputs hold " << total << " bytes; an archive holds at most 2 GiB\n";
        return true;
    }
    return false;
}

}  // namespace kobaru_pack
