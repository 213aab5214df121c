// The pack tool's commands. Archives are written with the writer; every
// reading command goes through tamarin::CPackFile, so what the tool accepts
// is what the installer will read.
#include "pack.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <list>
#include <random>
#include <set>
#include <system_error>

#include "tamarin/pack_file.h"
#include "tamarin/path.h"
#include "tamarin_writer/writer.h"

namespace kobaru_pack {

namespace fs = std::filesystem;

namespace {

const char kUsageText[] =
    "usage:\n"
    "  kobaru-pack create  [--version pfN] -o ARCHIVE ENTRY...\n"
    "  kobaru-pack append  [--version pfN] [--trailer] -o OUTPUT EXECUTABLE ENTRY...\n"
    "  kobaru-pack list    ARCHIVE\n"
    "  kobaru-pack extract [-C DIR] ARCHIVE [NAME...]\n"
    "  kobaru-pack verify  ARCHIVE [--expect NAME]...\n"
    "ENTRY is FILE (stored under the name FILE exactly as given) or\n"
    "--entry NAME=FILE. pfN is pf0, pf1, pf2 (default) or pf3. append records\n"
    "the archive start in the header word at offset 28, or with --trailer in\n"
    "the last 4 bytes. ARCHIVE may be a packaged executable.\n";

// One command-line operand: a plain argument (for create and append a file
// stored under its own name) or an --entry NAME=FILE pair.
struct Operand {
    std::string name;
    std::string file;
    bool pair = false;
};

struct Options {
    std::string command;
    tamarin_writer::Version version = tamarin_writer::kPf2;
    bool trailer = false;
    std::string output;
    std::string directory = ".";
    std::vector<Operand> operands;  // in command-line order
    std::vector<std::string> expected;
    bool expectGiven = false;

    // The plain arguments, for commands that take no entries.
    std::vector<std::string> Plain() const {
        std::vector<std::string> plain;
        for (const Operand& o : operands) {
            if (!o.pair) plain.push_back(o.name);
        }
        return plain;
    }
};

// True on failure, after a message on err.
bool Parse(const std::vector<std::string>& args, Options* options, std::ostream& err) {
    if (args.empty()) {
        err << kUsageText;
        return true;
    }
    options->command = args[0];
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.empty()) {
            err << "kobaru-pack: empty argument\n";
            return true;
        }
        if (optionsEnded || a[0] != '-' || a == "-") {
            options->operands.push_back(Operand{a, a, false});
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "--trailer") {
            options->trailer = true;
            continue;
        }
        const bool takesValue = a == "--version" || a == "-o" || a == "--output" || a == "--entry" ||
                                a == "-e" || a == "-C" || a == "--expect";
        if (!takesValue) {
            err << "kobaru-pack: unknown option " << a << "\n";
            return true;
        }
        if (i + 1 >= args.size()) {
            err << "kobaru-pack: " << a << " needs a value\n";
            return true;
        }
        const std::string& value = args[++i];
        if (a == "--version") {
            if (tamarin_writer::ParseVersion(value, &options->version)) {
                err << "kobaru-pack: bad version '" << value << "' (pf0, pf1, pf2 or pf3)\n";
                return true;
            }
        } else if (a == "-o" || a == "--output") {
            options->output = value;
        } else if (a == "-C") {
            options->directory = value;
        } else if (a == "--expect") {
            options->expected.push_back(value);
            options->expectGiven = true;
        } else {
            const size_t eq = value.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == value.size()) {
                err << "kobaru-pack: --entry wants NAME=FILE, got '" << value << "'\n";
                return true;
            }
            options->operands.push_back(Operand{value.substr(0, eq), value.substr(eq + 1), true});
        }
    }
    return false;
}

bool BuildArchive(const std::vector<Operand>& entries, tamarin_writer::Version version,
                  tamarin_writer::Archive* archive, std::ostream& err) {
    if (entries.empty()) {
        err << "kobaru-pack: no entries given\n";
        return true;
    }
    archive->version = version;
    std::set<std::string> names;
    for (const Operand& item : entries) {
        // Checked before any file is read, so the name is the first complaint.
        if (version == tamarin_writer::kPf0 && item.name.size() > 259) {
            err << "kobaru-pack: entry name '" << item.name << "' is " << item.name.size()
                << " bytes; a pf0 record holds at most 259\n";
            return true;
        }
        if (!names.insert(item.name).second) {
            err << "kobaru-pack: entry name '" << item.name << "' given twice\n";
            return true;
        }
        tamarin_writer::Entry entry;
        entry.name = item.name;
        std::string error;
        if (tamarin_writer::ReadWholeFile(item.file, &entry.data, &error)) {
            err << "kobaru-pack: " << error << "\n";
            return true;
        }
        archive->entries.push_back(std::move(entry));
    }
    return false;
}

int Create(const Options& options, std::ostream& out, std::ostream& err) {
    if (options.output.empty()) {
        err << "kobaru-pack: create needs -o ARCHIVE\n";
        return kUsage;
    }
    tamarin_writer::Archive archive;
    if (BuildArchive(options.operands, options.version, &archive, err)) return kFailed;
    tamarin_writer::Encoded encoded;
    std::string error;
    if (tamarin_writer::EncodeArchive(archive, 0, &encoded, &error) ||
        tamarin_writer::WriteFileAtomically(options.output, encoded.bytes, &error)) {
        err << "kobaru-pack: " << error << "\n";
        return kFailed;
    }
    out << options.output << ": " << tamarin_writer::VersionName(options.version) << ", "
        << archive.entries.size() << " entries, " << encoded.bytes.size() << " bytes\n";
    return kOk;
}

int Append(const Options& options, std::ostream& out, std::ostream& err) {
    if (options.output.empty() || options.operands.empty() || options.operands[0].pair) {
        err << "kobaru-pack: append needs -o OUTPUT and an EXECUTABLE before the entries\n";
        return kUsage;
    }
    const std::string& executable = options.operands[0].file;
    std::string image, error;
    if (tamarin_writer::ReadWholeFile(executable, &image, &error)) {
        err << "kobaru-pack: " << error << "\n";
        return kFailed;
    }
    const std::vector<Operand> entries(options.operands.begin() + 1, options.operands.end());
    tamarin_writer::Archive archive;
    if (BuildArchive(entries, options.version, &archive, err)) return kFailed;
    tamarin_writer::Encoded encoded;
    const tamarin_writer::Placement placement =
        options.trailer ? tamarin_writer::kTrailerWord : tamarin_writer::kHeaderWord;
    if (tamarin_writer::AppendArchive(image, archive, placement, &encoded, &error)) {
        err << "kobaru-pack: " << executable << ": " << error << "\n";
        return kFailed;
    }
    if (tamarin_writer::WriteFileAtomically(options.output, encoded.bytes, &error)) {
        err << "kobaru-pack: " << error << "\n";
        return kFailed;
    }
    out << options.output << ": " << tamarin_writer::VersionName(options.version) << " archive at "
        << encoded.start << " (" << (options.trailer ? "trailer word" : "header word") << "), "
        << archive.entries.size() << " entries, " << encoded.bytes.size() << " bytes\n";
    return kOk;
}

// Mounts path and returns its index sorted by name. True on failure.
bool LoadIndex(const std::string& path, std::vector<std::pair<std::string, tamarin::CPackFile::CHeader> >* index,
               std::ostream& err) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        err << "kobaru-pack: cannot open " << path << "\n";
        return true;
    }
    tamarin::CPackFile reader;
    std::list<std::string> names;
    if (reader.ListEntries(path.c_str(), names)) {
        err << "kobaru-pack: " << path << ": not an archive, or its index is cut short\n";
        return true;
    }
    const tamarin::HeaderMap& headers = tamarin::g_archiveRegistry[path];
    for (const std::string& name : names) index->emplace_back(name, headers.at(name));
    std::sort(index->begin(), index->end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return false;
}

int List(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> plain = options.Plain();
    if (plain.size() != 1) {
        err << "kobaru-pack: list needs one ARCHIVE\n";
        return kUsage;
    }
    std::vector<std::pair<std::string, tamarin::CPackFile::CHeader> > index;
    if (LoadIndex(plain[0], &index, err)) return kFailed;
    for (const auto& item : index) {
        out << item.second.offset << "\t" << item.second.size << "\t" << item.second.containerPath << "\t"
            << item.first << "\n";
    }
    return kOk;
}

// An empty working directory while it lives: CPackFile::Open tries a plain
// file of the entry's name in the working directory before any archive, so
// reading through it must happen where no such file can be.
class EmptyWorkingDirectory {
public:
    EmptyWorkingDirectory() {
        std::error_code ec;
        m_previous = fs::current_path(ec);
        std::mt19937_64 random(static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
        const fs::path base = fs::temp_directory_path(ec);
        for (int attempt = 0; attempt < 100 && m_path.empty() && !ec; ++attempt) {
            const fs::path candidate = base / ("kobaru-pack-" + std::to_string(random() % 1000000000u));
            if (fs::create_directory(candidate, ec)) m_path = candidate;
        }
        if (!m_path.empty()) fs::current_path(m_path, ec);
        m_ok = !m_path.empty() && !ec;
    }
    ~EmptyWorkingDirectory() {
        std::error_code ignored;
        fs::current_path(m_previous, ignored);
        if (!m_path.empty()) fs::remove_all(m_path, ignored);
    }
    EmptyWorkingDirectory(const EmptyWorkingDirectory&) = delete;
    EmptyWorkingDirectory& operator=(const EmptyWorkingDirectory&) = delete;

    bool ok() const { return m_ok; }

private:
    fs::path m_previous;
    fs::path m_path;
    bool m_ok = false;
};

// Reads a whole entry of the root archive. True on failure with a reason.
bool ReadEntry(const std::string& name, const tamarin::CPackFile::CHeader& header, std::string* bytes,
               std::string* error) {
    if (name.find('\0') != std::string::npos) {
        *error = "holds a zero byte and cannot be asked for";
        return true;
    }
    // Checked before the buffer is made: a damaged size must not decide an
    // allocation of up to 4 GiB.
    std::error_code ec;
    const uintmax_t containerSize = fs::file_size(header.containerPath, ec);
    if (ec || header.offset > containerSize || header.size > containerSize - header.offset) {
        *error = "(" + std::to_string(header.offset) + ", " + std::to_string(header.size) +
                 ") lies outside " + header.containerPath;
        return true;
    }
    tamarin::CPackFile file;
    if (file.Open(name.c_str())) {
        *error = "cannot be opened";
        return true;
    }
    if (file.GetContainerPath() != header.containerPath) {
        *error = "opens from " + file.GetContainerPath() + " instead of " + header.containerPath;
        return true;
    }
    std::string buffer(header.size, '\0');
    const uint32_t got = buffer.empty() ? 0 : file.Read(&buffer[0], header.size);
    if (got != header.size) {
        *error = "reads " + std::to_string(got) + " of " + std::to_string(header.size) + " bytes";
        return true;
    }
    *bytes = std::move(buffer);
    return false;
}

// The archive's index is decoded with the archive path made absolute and set
// as the root archive, so entries open from any working directory.
bool MountAsRoot(const std::string& path, std::string* root,
                 std::vector<std::pair<std::string, tamarin::CPackFile::CHeader> >* index, std::ostream& err) {
    std::error_code ec;
    *root = fs::absolute(path, ec).string();
    if (ec) {
        err << "kobaru-pack: cannot resolve " << path << "\n";
        return true;
    }
    if (LoadIndex(*root, index, err)) return true;
    tamarin::g_rootArchivePath = *root;
    return false;
}

// Where an entry goes below dir; names split at backslashes where a
// character begins. False for names that would leave dir.
bool EntryPath(const fs::path& dir, const std::string& name, fs::path* target) {
    std::vector<std::string> parts;
    tamarin::SplitTokens(name.c_str(), parts, "\\");
    fs::path result = dir;
    for (const std::string& part : parts) {
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos ||
            part.find(':') != std::string::npos) {
            return false;
        }
        result /= part;
    }
    *target = result;
    return true;
}

int Extract(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> plain = options.Plain();
    if (plain.empty()) {
        err << "kobaru-pack: extract needs an ARCHIVE\n";
        return kUsage;
    }
    std::error_code ec;
    const fs::path dir = fs::absolute(options.directory, ec);
    std::string root;
    std::vector<std::pair<std::string, tamarin::CPackFile::CHeader> > index;
    if (MountAsRoot(plain[0], &root, &index, err)) return kFailed;

    std::vector<std::string> wanted(plain.begin() + 1, plain.end());
    if (wanted.empty()) {
        for (const auto& item : index) wanted.push_back(item.first);
    }
    // Every entry is read before anything is written, so a damaged archive
    // leaves no partial extraction behind.
    std::vector<std::pair<fs::path, std::string> > files;
    {
        EmptyWorkingDirectory empty;
        if (!empty.ok()) {
            err << "kobaru-pack: cannot make an empty temporary folder\n";
            return kFailed;
        }
        for (const std::string& name : wanted) {
            const auto found = std::find_if(index.begin(), index.end(),
                                            [&](const auto& item) { return item.first == name; });
            if (found == index.end()) {
                err << "kobaru-pack: no entry '" << name << "' in " << plain[0] << "\n";
                return kFailed;
            }
            fs::path target;
            if (!EntryPath(dir, name, &target)) {
                err << "kobaru-pack: entry name '" << name << "' is not a safe file name\n";
                return kFailed;
            }
            std::string bytes, error;
            if (ReadEntry(name, found->second, &bytes, &error)) {
                err << "kobaru-pack: entry '" << name << "' " << error << "\n";
                return kFailed;
            }
            files.emplace_back(target, std::move(bytes));
        }
    }
    for (const auto& file : files) {
        std::string error;
        fs::create_directories(file.first.parent_path(), ec);
        if (tamarin_writer::WriteFileAtomically(file.first.string(), file.second, &error)) {
            err << "kobaru-pack: " << error << "\n";
            return kFailed;
        }
        out << file.first.string() << "\n";
    }
    return kOk;
}

int Verify(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> plain = options.Plain();
    if (plain.size() != 1) {
        err << "kobaru-pack: verify needs one ARCHIVE\n";
        return kUsage;
    }
    const std::string& path = plain[0];
    std::string bytes, error;
    if (tamarin_writer::ReadWholeFile(path, &bytes, &error)) {
        err << "kobaru-pack: " << error << "\n";
        return kFailed;
    }
    if (bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z' && !tamarin_writer::CarriesArchive(bytes)) {
        err << "kobaru-pack: " << path << ": executable carries no archive\n";
        return kFailed;
    }
    std::string root;
    std::vector<std::pair<std::string, tamarin::CPackFile::CHeader> > index;
    if (MountAsRoot(path, &root, &index, err)) return kFailed;

    int problems = 0;
    std::set<std::string> names;
    {
        EmptyWorkingDirectory empty;
        if (!empty.ok()) {
            err << "kobaru-pack: cannot make an empty temporary folder\n";
            return kFailed;
        }
        for (const auto& item : index) {
            names.insert(item.first);
            std::string content;
            if (ReadEntry(item.first, item.second, &content, &error)) {
                err << "kobaru-pack: entry '" << item.first << "' " << error << "\n";
                ++problems;
            }
        }
    }
    if (options.expectGiven) {
        const std::set<std::string> expected(options.expected.begin(), options.expected.end());
        for (const std::string& name : expected) {
            if (names.count(name) == 0) {
                err << "kobaru-pack: missing entry '" << name << "'\n";
                ++problems;
            }
        }
        for (const std::string& name : names) {
            if (expected.count(name) == 0) {
                err << "kobaru-pack: unexpected entry '" << name << "'\n";
                ++problems;
            }
        }
    }
    if (problems != 0) return kFailed;
    out << path << ": " << index.size() << " entries ok\n";
    return kOk;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options options;
    if (Parse(args, &options, err)) return kUsage;
    const bool takesEntries = options.command == "create" || options.command == "append";
    for (const Operand& o : options.operands) {
        if (o.pair && !takesEntries) {
            err << "kobaru-pack: --entry belongs to create and append\n";
            return kUsage;
        }
    }
    if (options.command == "create") return Create(options, out, err);
    if (options.command == "append") return Append(options, out, err);
    if (options.command == "list") return List(options, out, err);
    if (options.command == "extract") return Extract(options, out, err);
    if (options.command == "verify") return Verify(options, out, err);
    if (options.command == "help" || options.command == "--help") {
        out << kUsageText;
        return kOk;
    }
    err << "kobaru-pack: unknown command '" << options.command << "'\n" << kUsageText;
    return kUsage;
}

}  // namespace kobaru_pack
