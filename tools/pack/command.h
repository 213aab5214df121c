// What the commands share: the parsed command line, and the entry points of
// the commands, one file each (create.cpp, append.cpp, list.cpp,
// extract.cpp, verify.cpp).
#ifndef KOBARU_TOOLS_PACK_COMMAND_H_
#define KOBARU_TOOLS_PACK_COMMAND_H_

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "inputs.h"
#include "names.h"
#include "pack.h"
#include "tamarin_writer/writer.h"

namespace kobaru_pack {

// Ends a usage error's line.
extern const char kSeeHelp[];

struct Options {
    std::string command;
    tamarin_writer::Version version = tamarin_writer::kPf2;
    bool trailer = false;
    bool stripSignature = false;
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

// "1 entry", "2 entries".
inline std::string Entries(size_t count) {
    return std::to_string(count) + (count == 1 ? " entry" : " entries");
}

// Each returns the exit code, after its report on out or its errors on err.
int Create(const Options& options, const Names& names, std::ostream& out, std::ostream& err);
int Append(const Options& options, const Names& names, std::ostream& out, std::ostream& err);
int List(const Options& options, const Names& names, std::ostream& out, std::ostream& err);
int Extract(const Options& options, const Names& names, std::ostream& out, std::ostream& err);
int Verify(const Options& options, const Names& names, std::ostream& out, std::ostream& err);

}  // namespace kobaru_pack

#endif  // KOBARU_TOOLS_PACK_COMMAND_H_
