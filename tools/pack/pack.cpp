// The pack tool's commands. Archives are written with the writer; every
// reading command goes through tamarin::CPackFile, so what the tool accepts
// is what the installer will read.
#include "pack.h"

#include "inputs.h"
#include "names.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <system_error>

#include "tamarin/memory.h"
#include "tamarin/pack_file.h"
#include "tamarin_writer/writer.h"

#ifndef KOBARU_VERSION
#define KOBARU_VERSION "unknown"
#endif

namespace kobaru_pack {

namespace fs = std::filesystem;

namespace {

const char kUsageText[] =
    "usage:\n"
    "  kobaru-pack create  [--raw-names] [--version pfN] -o ARCHIVE ENTRY...\n"
    "  kobaru-pack append  [--raw-names] [--version pfN] [--trailer] -o OUTPUT EXECUTABLE ENTRY...\n"
    "  kobaru-pack list    [--raw-names] [--quiet] ARCHIVE\n"
    "  kobaru-pack extract [--raw-names] [--force] [-C DIR] ARCHIVE [NAME...]\n"
    "  kobaru-pack verify  [--raw-names] ARCHIVE [--expect NAME]... [--against ENTRY...]\n"
    "  kobaru-pack help | -h | --help | --version\n"
    "\n"
    "ENTRY is a FILE, a FOLDER or --entry NAME=PATH. A FILE is stored under its\n"
    "path as given; a FOLDER as every file below it, named by the folder's path\n"
    "and the file's path inside it, in sorted order. --entry stores the file or\n"
    "folder PATH under NAME instead. Names use \"\\\" between folders (\"/\" is\n"
    "turned into \"\\\"; so in NAMEs of extract and --expect).\n"
    "Names in an archive are code page 932 (Shift-JIS), the encoding of the\n"
    "Windows programs that read them. create and append convert names from the\n"
    "locale's encoding (UTF-8 under the C locale) and refuse a name that has no\n"
    "code page 932 form; list, verify and extract convert them back, and fail on\n"
    "a name that is not code page 932 text. --raw-names keeps names as bytes in\n"
    "both directions, for archives made elsewhere or names already Shift-JIS.\n"
    "Names that are empty, absolute, hold a drive letter, \":\" or \"..\", or\n"
    "collide with another name are refused; so are, by create and append, names\n"
    "Windows cannot create: control characters, < > \" | ? *, device names (CON,\n"
    "PRN, AUX, NUL, COM1-9, LPT1-9, with any extension) and folder or file names\n"
    "ending in \".\" or \" \". Names that differ only in case are warned about\n"
    "(the reader tells them apart, Windows folders do not). Printed names show\n"
    "unprintable bytes as \\xNN; names longer than 259 bytes are shortened.\n"
    "\n"
    "pfN is pf0, pf1, pf2 (default) or pf3. append records the archive start in\n"
    "the header word at offset 28, or with --trailer in the last 4 bytes (a\n"
    "trailer does not survive Authenticode signing). ARCHIVE may be a packaged\n"
    "executable.\n"
    "list prints a header line (unless --quiet), then one tab-separated line per\n"
    "entry: offset (position of its first byte in the container), size in\n"
    "bytes, container (the file that holds it), entry name. It fails on any\n"
    "archive that verify rejects.\n"
    "extract writes the entries (all, or the NAMEs) below DIR (default .),\n"
    "making their folders; an existing file is kept unless --force.\n"
    "verify checks structure only: the index, that every name is safe and opens,\n"
    "and that every entry lies inside its file. The format has no checksum, so a\n"
    "changed entry byte passes unless --against gives the ENTRYs the archive was\n"
    "made from: every entry is then compared byte for byte, and a missing, extra\n"
    "or different entry fails. --expect NAME, repeated, gives the exact set of\n"
    "names the archive must hold.\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

const char kSeeHelp[] = " (see kobaru-pack help)\n";

struct Options {
    std::string command;
    tamarin_writer::Version version = tamarin_writer::kPf2;
    bool trailer = false;
    bool quiet = false;
    bool force = false;
    bool against = false;
    bool rawNames = false;
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

// Each option with the commands it belongs to.
struct OptionRule {
    const char* name;
    bool takesValue;
    const char* commands;
};

const OptionRule kOptions[] = {
    {"--version", true, "create append"},  {"-o", true, "create append"},
    {"--output", true, "create append"},   {"--entry", true, "create append verify"},
    {"-e", true, "create append verify"},  {"--trailer", false, "append"},
    {"--quiet", false, "list"},            {"-q", false, "list"},
    {"-C", true, "extract"},               {"--force", false, "extract"},
    {"-f", false, "extract"},              {"--expect", true, "verify"},
    {"--against", false, "verify"},        {"--raw-names", false, "create append list extract verify"},
};

bool Belongs(const OptionRule& rule, const std::string& command) {
    const std::string list = std::string(" ") + rule.commands + " ";
    return list.find(" " + command + " ") != std::string::npos;
}

// True on failure, after a one-line message on err.
bool Parse(const std::vector<std::string>& args, Options* options, std::ostream& err) {
    const Names shown(false, HostEncoding());  // for arguments quoted in messages
    options->command = args[0];
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.empty()) {
            err << "kobaru-pack: empty argument" << kSeeHelp;
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
        const OptionRule* rule = nullptr;
        for (const OptionRule& s : kOptions) {
            if (a == s.name) rule = &s;
        }
        if (rule == nullptr) {
            err << "kobaru-pack: unknown option " << shown.ShowHost(a) << kSeeHelp;
            return true;
        }
        if (!Belongs(*rule, options->command)) {
            err << "kobaru-pack: " << a << " does not belong to " << options->command << kSeeHelp;
            return true;
        }
        if (!rule->takesValue) {
            if (a == "--trailer") options->trailer = true;
            if (a == "--quiet" || a == "-q") options->quiet = true;
            if (a == "--force" || a == "-f") options->force = true;
            if (a == "--against") options->against = true;
            if (a == "--raw-names") options->rawNames = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            err << "kobaru-pack: " << a << " needs a value" << kSeeHelp;
            return true;
        }
        const std::string& value = args[++i];
        if (a == "--version") {
            if (tamarin_writer::ParseVersion(value, &options->version)) {
                err << "kobaru-pack: bad version '" << shown.ShowHost(value) << "' (pf0, pf1, pf2 or pf3)\n";
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
            // An empty NAME is let through to be refused with the other bad names.
            const size_t eq = value.find('=');
            if (eq == std::string::npos || eq + 1 == value.size()) {
                err << "kobaru-pack: --entry wants NAME=PATH, got '" << shown.ShowHost(value) << "'\n";
                return true;
            }
            options->operands.push_back(Operand{value.substr(0, eq), value.substr(eq + 1), true});
        }
    }
    return false;
}

// "1 entry", "2 entries".
std::string Entries(size_t count) { return std::to_string(count) + (count == 1 ? " entry" : " entries"); }

// Reads every input into an archive. True on failure, after a message.
bool BuildArchive(const std::vector<Input>& inputs, tamarin_writer::Version version, const Names& names,
                  tamarin_writer::Archive* archive, std::ostream& err) {
    archive->version = version;
    // Checked before any file is read, so the name is the first complaint.
    for (const Input& input : inputs) {
        if (version == tamarin_writer::kPf0 && input.name.size() > 259) {
            err << "kobaru-pack: entry name '" << names.Show(input.name) << "' is " << input.name.size()
                << " bytes; a pf0 record holds at most 259\n";
            return true;
        }
    }
    for (const Input& input : inputs) {
        tamarin_writer::Entry entry;
        entry.name = input.name;
        std::string error;
        if (tamarin_writer::ReadWholeFile(input.file, &entry.data, &error)) {
            err << "kobaru-pack: " << names.ShowHost(error) << "\n";
            return true;
        }
        archive->entries.push_back(std::move(entry));
    }
    return false;
}

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
    tamarin_writer::Archive archive;
    if (GatherInputs(options.operands, options.output, 0, names, true, &inputs, err) ||
        BuildArchive(inputs, options.version, names, &archive, err)) {
        return kFailed;
    }
    tamarin_writer::Encoded encoded;
    std::string error;
    if (tamarin_writer::EncodeArchive(archive, 0, &encoded, &error) ||
        tamarin_writer::WriteFileAtomically(options.output, encoded.bytes, &error)) {
        err << "kobaru-pack: " << names.ShowHost(error) << "\n";
        return kFailed;
    }
    out << names.ShowHost(options.output) << ": " << tamarin_writer::VersionName(options.version) << ", "
        << Entries(archive.entries.size()) << ", " << encoded.bytes.size() << " bytes\n";
    return kOk;
}

int Append(const Options& options, const Names& names, std::ostream& out, std::ostream& err) {
    if (options.output.empty() || options.operands.empty() || options.operands[0].pair) {
        err << "kobaru-pack: append needs -o OUTPUT and an EXECUTABLE before the entries" << kSeeHelp;
        return kUsage;
    }
    if (options.operands.size() == 1) {
        err << "kobaru-pack: no entries given" << kSeeHelp;
        return kUsage;
    }
    if (options.trailer) {
        err << "kobaru-pack: warning: a trailer word does not survive Authenticode signing, which "
               "appends to the file; sign only with the header word\n";
    }
    const std::string& executable = options.operands[0].file;
    std::error_code ec;
    const uintmax_t imageSize = fs::file_size(executable, ec);
    const std::vector<Operand> entries(options.operands.begin() + 1, options.operands.end());
    std::vector<Input> inputs;
    if (GatherInputs(entries, options.output, ec ? 0 : imageSize, names, true, &inputs, err)) return kFailed;
    std::string image, error;
    if (tamarin_writer::ReadWholeFile(executable, &image, &error)) {
        err << "kobaru-pack: " << names.ShowHost(error) << "\n";
        return kFailed;
    }
    tamarin_writer::Archive archive;
    if (BuildArchive(inputs, options.version, names, &archive, err)) return kFailed;
    tamarin_writer::Encoded encoded;
    const tamarin_writer::Placement placement =
        options.trailer ? tamarin_writer::kTrailerWord : tamarin_writer::kHeaderWord;
    if (tamarin_writer::AppendArchive(image, archive, placement, &encoded, &error)) {
        err << "kobaru-pack: " << names.ShowHost(executable) << ": " << names.ShowHost(error) << "\n";
        return kFailed;
    }
    if (tamarin_writer::WriteFileAtomically(options.output, encoded.bytes, &error)) {
        err << "kobaru-pack: " << names.ShowHost(error) << "\n";
        return kFailed;
    }
    out << names.ShowHost(options.output) << ": " << tamarin_writer::VersionName(options.version) << " archive at "
        << encoded.start << " (" << (options.trailer ? "trailer word" : "header word") << "), "
        << Entries(archive.entries.size()) << ", " << encoded.bytes.size() << " bytes\n";
    return kOk;
}

// ---- Reading archives --------------------------------------------------------

typedef std::vector<std::pair<std::string, tamarin::CPackFile::CHeader> > Index;

// Closes a C stream when it goes.
struct StreamCloser {
    void operator()(FILE* stream) const { std::fclose(stream); }
};
typedef std::unique_ptr<FILE, StreamCloser> Stream;

// Reads length bytes at position; false when they are not all there.
bool ReadAt(FILE* stream, uint64_t position, unsigned char* bytes, size_t length) {
    return position <= static_cast<uint64_t>(INT32_MAX) &&
           std::fseek(stream, static_cast<long>(position), SEEK_SET) == 0 &&
           std::fread(bytes, 1, length, stream) == length;
}

// Checks what the reader does not: that the path is a readable file and that
// the index it will decode lies whole inside it. The reader reads a cut index
// as zero bytes, which would pass for entries. True on failure, after a message.
bool CheckContainer(const std::string& path, const Names& names, std::ostream& err) {
    uintmax_t size = 0;
    std::string error;
    if (tamarin_writer::SizeOfRegularFile(path, &size, &error)) {
        err << "kobaru-pack: " << names.ShowHost(error) << "\n";
        return true;
    }
    Stream stream(std::fopen(path.c_str(), "rb"));
    if (!stream) {
        err << "kobaru-pack: cannot open " << names.ShowHost(path) << ": " << std::strerror(errno) << "\n";
        return true;
    }
    // Where the reader looks for the magic: behind an executable, the header
    // word at offset 28, else the trailer word.
    unsigned char head[32] = {};
    const bool executable = ReadAt(stream.get(), 0, head, 2) && head[0] == 'M' && head[1] == 'Z';
    uint64_t start = 0;
    if (executable) {
        unsigned char word[4] = {};
        if (ReadAt(stream.get(), 28, word, 4)) start = tamarin::DecodeWord(word);
        if (start == 0 && size >= 4 && ReadAt(stream.get(), size - 4, word, 4)) start = tamarin::DecodeWord(word);
    }
    unsigned char magic[7] = {};
    const bool whole = ReadAt(stream.get(), start, magic, 7);
    if (!whole || magic[0] != 'p' || magic[1] != 'f' || magic[2] < '0' || magic[2] > '3') {
        err << "kobaru-pack: " << names.ShowHost(path)
            << (executable ? ": executable carries no archive\n" : ": not an archive\n");
        return true;
    }
    const uint64_t count = tamarin::DecodeWord(magic + 3);
    const uint64_t indexLength = magic[2] == '0' ? count * 268 : count;
    if (indexLength > size - start - 7) {
        err << "kobaru-pack: " << names.ShowHost(path) << ": the index runs past the end of the file (cut short?)\n";
        return true;
    }
    return false;
}

// Mounts path and returns its index sorted by name, each header naming its
// container in full. True on failure.
bool LoadIndex(const std::string& path, const Names& shown, Index* index, std::ostream& err) {
    tamarin::CPackFile reader;
    std::list<std::string> names;
    if (reader.ListEntries(path.c_str(), names)) {
        err << "kobaru-pack: " << shown.ShowHost(path) << ": not an archive, or its index is cut short\n";
        return true;
    }
    const tamarin::HeaderMap& headers = tamarin::g_archiveRegistry[path];
    for (const std::string& name : names) {
        const tamarin::CPackFile::CHeader& header = headers.at(name);
        index->emplace_back(name, tamarin::CPackFile::CHeader(tamarin::ContainerPathOf(path, header),
                                                              header.offset, header.size));
    }
    std::sort(index->begin(), index->end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return false;
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

// Opens an entry of the root archive as the installer would, after checking
// its name and that it lies inside its container. True on failure with a
// reason.
bool OpenEntry(const std::string& name, const tamarin::CPackFile::CHeader& header, const Names& names,
               tamarin::CPackFile* file, std::string* error) {
    if (const char* problem = NameProblem(name)) {
        *error = problem;
        return true;
    }
    // Checked before any buffer is made: a damaged size must not decide an
    // allocation of up to 4 GiB.
    std::error_code ec;
    const uintmax_t containerSize = fs::file_size(header.containerPath, ec);
    if (ec || header.offset > containerSize || header.size > containerSize - header.offset) {
        *error = "(" + std::to_string(header.offset) + ", " + std::to_string(header.size) + ") lies outside " +
                 names.ShowHost(header.containerPath);
        return true;
    }
    if (file->Open(name.c_str())) {
        *error = "cannot be opened";
        return true;
    }
    if (file->GetContainerPath() != header.containerPath) {
        *error = "opens from " + names.ShowHost(file->GetContainerPath()) + " instead of " +
                 names.ShowHost(header.containerPath);
        return true;
    }
    if (file->GetSize() != static_cast<int32_t>(header.size)) {
        *error = "opens with " + std::to_string(file->GetSize()) + " bytes instead of " +
                 std::to_string(header.size);
        return true;
    }
    return false;
}

// Reads a whole entry of the root archive. True on failure with a reason.
bool ReadEntry(const std::string& name, const tamarin::CPackFile::CHeader& header, const Names& names,
               std::string* bytes, std::string* error) {
    tamarin::CPackFile file;
    if (OpenEntry(name, header, names, &file, error)) return true;
    std::string buffer(header.size, '\0');
    const uint32_t got = buffer.empty() ? 0 : file.Read(&buffer[0], header.size);
    if (got != header.size) {
        *error = "reads " + std::to_string(got) + " of " + std::to_string(header.size) + " bytes";
        return true;
    }
    *bytes = std::move(buffer);
    return false;
}

// Compares an entry with a file chunk by chunk. True on any difference or
// failure, with a reason.
// path is what the user gave, opened as the absolute file.
bool CompareEntry(const std::string& name, const tamarin::CPackFile::CHeader& header, const Names& names,
                  const std::string& given, const std::string& file, std::string* error) {
    tamarin::CPackFile entry;
    if (OpenEntry(name, header, names, &entry, error)) return true;
    const std::string path = names.ShowHost(given);
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    if (ec) {
        *error = "cannot be compared: cannot open " + path + ": " + ec.message();
        return true;
    }
    if (size != header.size) {
        *error = "is " + std::to_string(header.size) + " bytes, " + path + " is " + std::to_string(size);
        return true;
    }
    Stream stream(std::fopen(file.c_str(), "rb"));
    if (!stream) {
        *error = "cannot be compared: cannot open " + path + ": " + std::strerror(errno);
        return true;
    }
    std::vector<char> packed(1 << 16), disk(1 << 16);
    for (uint64_t done = 0; done < size;) {
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(packed.size(), size - done));
        const uint32_t got = entry.Read(packed.data(), want);
        if (std::fread(disk.data(), 1, want, stream.get()) != want) {
            *error = "cannot be compared: cannot read " + path + ": " + std::strerror(errno);
            return true;
        }
        if (got != want) {
            *error = "reads " + std::to_string(done + got) + " of " + std::to_string(size) + " bytes";
            return true;
        }
        const auto mismatch = std::mismatch(packed.begin(), packed.begin() + want, disk.begin());
        if (mismatch.first != packed.begin() + want) {
            *error = "differs from " + path + " at byte " + std::to_string(done + (mismatch.first - packed.begin()));
            return true;
        }
        done += want;
    }
    return false;
}

// Checks the container, then decodes its index with the archive path made
// absolute and set as the root archive, so entries open from any working
// directory.
bool MountAsRoot(const std::string& path, const Names& names, std::string* root, Index* index, std::ostream& err) {
    if (CheckContainer(path, names, err)) return true;
    std::error_code ec;
    *root = fs::absolute(path, ec).string();
    if (ec) {
        err << "kobaru-pack: cannot resolve " << names.ShowHost(path) << ": " << ec.message() << "\n";
        return true;
    }
    if (LoadIndex(*root, names, index, err)) return true;
    tamarin::g_rootArchivePath = *root;
    return false;
}

// Opens every entry as the installer would and checks that it could be
// extracted, and that its name is code page 932 text (unless names are
// raw); one line per problem. The number of problems found.
int CheckEntries(const Index& index, const Names& shown, std::ostream& err) {
    EmptyWorkingDirectory empty;
    if (!empty.ok()) {
        err << "kobaru-pack: cannot make an empty temporary folder\n";
        return 1;
    }
    std::set<std::string> names;
    for (const auto& item : index) names.insert(item.first);
    int problems = 0;
    for (const auto& item : index) {
        tamarin::CPackFile file;
        std::string error;
        const std::string folder =
            FileAbove(item.first, [&](const std::string& n) { return names.count(n) != 0; });
        if (!folder.empty()) error = "lies below the entry '" + shown.Show(folder) + "', so it cannot be extracted";
        if (!error.empty() || OpenEntry(item.first, item.second, shown, &file, &error) ||
            shown.NotText(item.first, &error)) {
            err << "kobaru-pack: entry '" << shown.Show(item.first) << "' " << error << "\n";
            ++problems;
        }
    }
    return problems;
}

int List(const Options& options, const Names& names, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> plain = options.Plain();
    if (plain.size() != 1) {
        err << "kobaru-pack: list needs one ARCHIVE" << kSeeHelp;
        return kUsage;
    }
    std::string root;
    Index index;
    if (MountAsRoot(plain[0], names, &root, &index, err) || CheckEntries(index, names, err) != 0) return kFailed;
    if (!options.quiet) out << "offset\tsize\tcontainer\tentry\n";
    for (const auto& item : index) {
        // Containers are shown as the path given (volumes too), not made absolute.
        std::string container = item.second.containerPath;
        if (container.compare(0, root.size(), root) == 0) container = plain[0] + container.substr(root.size());
        out << item.second.offset << "\t" << item.second.size << "\t" << names.ShowHost(container) << "\t"
            << names.Show(item.first) << "\n";
    }
    return kOk;
}

// Where an entry goes below dir: the name split at backslashes where a
// character begins, each part in the host's encoding. Only called for names
// NameProblem accepts. True when a part has no host form, with a reason.
bool EntryPath(const fs::path& dir, const std::string& name, const Names& names, fs::path* path, std::string* why) {
    *path = dir;
    for (const std::string& part : Components(name)) {
        std::string host;
        if (names.ToHost(part, &host, why)) return true;
        *path /= host;
    }
    return false;
}

int Extract(const Options& options, const Names& names, std::ostream& out, std::ostream& err) {
    const std::vector<std::string> plain = options.Plain();
    if (plain.empty()) {
        err << "kobaru-pack: extract needs an ARCHIVE" << kSeeHelp;
        return kUsage;
    }
    // Relative as given: messages name the path the user wrote, and nothing
    // is written while the working directory is elsewhere.
    const fs::path dir = options.directory;
    std::error_code ec;
    const fs::file_status dirStatus = fs::status(dir, ec);
    if (fs::exists(dirStatus) && !fs::is_directory(dirStatus)) {
        err << "kobaru-pack: " << names.ShowHost(options.directory) << " is not a folder\n";
        return kFailed;
    }
    std::string root;
    Index index;
    if (MountAsRoot(plain[0], names, &root, &index, err)) return kFailed;

    std::vector<std::string> wanted;
    for (size_t i = 1; i < plain.size(); ++i) {
        std::string name, why;
        if (names.ToArchive(WithBackslashes(plain[i]), &name, &why)) {
            err << "kobaru-pack: entry name '" << names.ShowHost(plain[i]) << "' " << why << "\n";
            return kFailed;
        }
        wanted.push_back(name);
    }
    if (wanted.empty()) {
        for (const auto& item : index) wanted.push_back(item.first);
    }
    // Every entry is read and every target checked before anything is
    // written, so a damaged archive or a kept file leaves no partial
    // extraction behind.
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
                err << "kobaru-pack: no entry '" << names.Show(name) << "' in " << names.ShowHost(plain[0]) << "\n";
                return kFailed;
            }
            if (const char* problem = NameProblem(name)) {
                err << "kobaru-pack: entry name '" << names.Show(name) << "' " << problem << "; not extracted\n";
                return kFailed;
            }
            std::string bytes, error;
            fs::path path;
            if (EntryPath(dir, name, names, &path, &error) || ReadEntry(name, found->second, names, &bytes, &error)) {
                err << "kobaru-pack: entry '" << names.Show(name) << "' " << error << "\n";
                return kFailed;
            }
            files.emplace_back(path, std::move(bytes));
        }
    }
    // An entry below another entry's name, or below a file already on disk,
    // would stop the extraction halfway.
    std::set<std::string> stored;
    for (const auto& item : index) stored.insert(item.first);
    for (const std::string& name : wanted) {
        const std::string folder = FileAbove(name, [&](const std::string& n) {
            fs::path path;
            std::string why;
            if (stored.count(n) != 0 || EntryPath(dir, n, names, &path, &why)) return true;
            const fs::file_status onDisk = fs::status(path, ec);
            return fs::exists(onDisk) && !fs::is_directory(onDisk);
        });
        if (!folder.empty()) {
            err << "kobaru-pack: entry '" << names.Show(name) << "' lies below the file '" << names.Show(folder)
                << "'; nothing extracted\n";
            return kFailed;
        }
    }
    size_t kept = 0;
    std::string firstKept;
    for (const auto& file : files) {
        const fs::file_status status = fs::symlink_status(file.first, ec);
        if (fs::is_directory(status)) {
            err << "kobaru-pack: " << names.ShowHost(file.first.string()) << " is a folder; not replaced by an entry\n";
            return kFailed;
        }
        if (fs::exists(status) && !options.force && kept++ == 0) firstKept = file.first.string();
    }
    if (kept != 0) {
        err << "kobaru-pack: " << names.ShowHost(firstKept) << " exists";
        if (kept > 1) err << " (and " << kept - 1 << " more)";
        err << "; nothing extracted (--force replaces existing files)\n";
        return kFailed;
    }
    for (const auto& file : files) {
        std::string error;
        fs::create_directories(file.first.parent_path(), ec);
        if (ec) {
            err << "kobaru-pack: cannot make folder " << names.ShowHost(file.first.parent_path().string()) << ": "
                << ec.message() << "\n";
            return kFailed;
        }
        if (tamarin_writer::WriteFileAtomically(file.first.string(), file.second, &error)) {
            err << "kobaru-pack: " << names.ShowHost(error) << "\n";
            return kFailed;
        }
        out << names.ShowHost(file.first.string()) << "\n";
    }
    return kOk;
}

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
    std::vector<Input> inputs;
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
    if (options.against && GatherInputs(sources, plain[0], 0, shown, false, &inputs, err)) return kFailed;
    std::string root;
    Index index;
    if (MountAsRoot(path, shown, &root, &index, err)) return kFailed;

    int problems = CheckEntries(index, shown, err);
    std::set<std::string> names;
    for (const auto& item : index) names.insert(item.first);
    if (options.expectGiven) {
        for (const std::string& name : expected) {
            if (names.count(name) == 0) {
                err << "kobaru-pack: missing entry '" << shown.Show(name) << "'\n";
                ++problems;
            }
        }
        for (const std::string& name : names) {
            if (expected.count(name) == 0) {
                err << "kobaru-pack: unexpected entry '" << shown.Show(name) << "'\n";
                ++problems;
            }
        }
    }
    if (options.against && problems == 0) {
        // Absolute paths: the comparison runs in an empty working directory.
        std::error_code ec;
        std::map<std::string, std::pair<std::string, std::string> > files;
        for (const Input& input : inputs) files[input.name] = {input.file, fs::absolute(input.file, ec).string()};
        EmptyWorkingDirectory empty;
        for (const auto& item : index) {
            const auto file = files.find(item.first);
            std::string error;
            if (file == files.end()) {
                err << "kobaru-pack: entry '" << shown.Show(item.first) << "' has no file among the ones given\n";
                ++problems;
            } else if (!empty.ok() || CompareEntry(item.first, item.second, shown, file->second.first,
                                                   file->second.second, &error)) {
                err << "kobaru-pack: entry '" << shown.Show(item.first) << "' "
                    << (empty.ok() ? error : "cannot be read") << "\n";
                ++problems;
            }
        }
        for (const Input& input : inputs) {
            if (names.count(input.name) == 0) {
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

int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << kUsageText;
        return kUsage;
    }
    const std::string& command = args[0];
    if (command == "help" || command == "-h" || command == "--help") {
        out << kUsageText;
        return kOk;
    }
    if (command == "--version") {
        out << "kobaru-pack " << KOBARU_VERSION << "\n";
        return kOk;
    }
    Options options;
    if (command != "create" && command != "append" && command != "list" && command != "extract" &&
        command != "verify") {
        err << "kobaru-pack: unknown command '" << Names(false, HostEncoding()).ShowHost(command) << "'" << kSeeHelp;
        return kUsage;
    }
    if (Parse(args, &options, err)) return kUsage;
    const Names names(options.rawNames, HostEncoding());
    if (command == "create") return Create(options, names, out, err);
    if (command == "append") return Append(options, names, out, err);
    if (command == "list") return List(options, names, out, err);
    if (command == "extract") return Extract(options, names, out, err);
    return Verify(options, names, out, err);
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    // The last guard: whatever a library below throws ends in one line and
    // exit code 1, never in an abort.
    try {
        return RunCommand(args, out, err);
    } catch (const std::bad_alloc&) {
        err << "kobaru-pack: out of memory\n";
    } catch (const std::exception& e) {
        err << "kobaru-pack: " << e.what() << "\n";
    }
    return kFailed;
}

}  // namespace kobaru_pack
