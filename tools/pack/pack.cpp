// The pack tool's command line: usage, options and the dispatch to the
// commands, each in a file of its own. Archives are written with the
// writer's encoding; every reading command decodes the index with
// tamarin::CPackFile, so what the tool accepts is what the installer reads.
#include "pack.h"

#include <new>

#include "command.h"
#include "inputs.h"
#include "names.h"

#ifndef KOBARU_VERSION
#define KOBARU_VERSION "unknown"
#endif

namespace kobaru_pack {

const char kSeeHelp[] = " (see kobaru-pack help)\n";

namespace {

const char kUsageText[] =
    "usage:\n"
    "  kobaru-pack create  [--raw-names] [--version pfN] -o ARCHIVE ENTRY...\n"
    "  kobaru-pack append  [--raw-names] [--version pfN] [--trailer] [--strip-signature]\n"
    "                      -o OUTPUT EXECUTABLE ENTRY...\n"
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
    "pfN is pf0, pf1, pf2 (default) or pf3: after create or append, --version\n"
    "names the archive version; alone, it prints the tool's version. append records the archive start in\n"
    "the header word at offset 28, or with --trailer in the last 4 bytes (a\n"
    "trailer does not survive Authenticode signing). An EXECUTABLE that carries\n"
    "an Authenticode signature is refused, as the archive would break it;\n"
    "--strip-signature removes the signature (sign the OUTPUT afterwards). An\n"
    "output that is also one of the ENTRYs is refused. ARCHIVE may be a packaged\n"
    "executable. An archive holds at most 2 GiB; files are copied in chunks, so\n"
    "memory use does not grow with their size.\n"
    "list prints a header line (unless --quiet), then one tab-separated line per\n"
    "entry: offset (position of its first byte in the container), size in\n"
    "bytes, container (the file that holds it), entry name. It fails on any\n"
    "archive that verify rejects.\n"
    "extract writes the entries (all, or the NAMEs) below DIR (default .),\n"
    "making their folders; an existing file is kept unless --force.\n"
    "verify checks structure only: the index, that every name is safe and that\n"
    "every entry lies inside its file, which is opened. The format has no checksum, so a\n"
    "changed entry byte passes unless --against gives the ENTRYs the archive was\n"
    "made from: every entry is then compared byte for byte, and a missing, extra\n"
    "or different entry fails. --expect NAME, repeated, gives the exact set of\n"
    "names the archive must hold.\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

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
    {"--strip-signature", false, "append"},
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
            if (a == "--strip-signature") options->stripSignature = true;
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
