// Entry names and the files that go into an archive: the checks that make a
// name safe to store and to extract, and the walk that turns the command
// line's files and folders into (name, file) pairs.
#ifndef KOBARU_TOOLS_PACK_INPUTS_H_
#define KOBARU_TOOLS_PACK_INPUTS_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "names.h"

namespace kobaru_pack {

// One command-line operand: a plain argument (a file or folder stored under
// its own path) or an --entry NAME=PATH pair.
struct Operand {
    std::string name;
    std::string file;
    bool pair = false;
};

// One file to store: its name in the archive, its path on disk and its size
// when it was looked at.
struct Input {
    std::string name;
    std::string file;
    uintmax_t size = 0;
};

// name with every "/" turned into "\", as the reader does before a lookup.
std::string WithBackslashes(std::string name);

// The name split at "\" where a character begins (never at a Shift-JIS
// trail byte).
std::vector<std::string> Components(const std::string& name);

// Why an entry name is unsafe to extract or can never be opened (empty,
// absolute, a drive letter, ':', '..', '/', an empty or '.' component);
// nullptr when it is fine.
const char* NameProblem(const std::string& name);

// The first folder part of name ("a", then "a\b" of "a\b\c") for which
// isName holds: an entry that would have to be a file and a folder at once.
// Empty when there is none.
template <typename IsName>
std::string FileAbove(const std::string& name, IsName isName) {
    std::string folder;
    const std::vector<std::string> parts = Components(name);
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        folder += (i == 0 ? "" : "\\") + parts[i];
        if (isName(folder)) return folder;
    }
    return std::string();
}

// Why Windows could not create a file of this (code page 932) name:
// control characters, <>:"|?*, a reserved device name (CON, NUL, COM1, ...,
// with or without an extension) or a folder or file name ending in '.' or
// ' '. Empty when it could.
std::string WindowsNameProblem(const std::string& name);

// Turns operands into the files to store, folders walked in sorted order,
// their names converted to the archive's encoding by names. Every name
// (with forWindows, also against WindowsNameProblem), kind and the total
// size (plus alreadyUsed bytes) are checked before any file is read; the
// archive at output is left out of folders. Names that differ only in case
// are warned about. True on failure, after a one-line message on err.
bool GatherInputs(const std::vector<Operand>& operands, const std::string& output, uintmax_t alreadyUsed,
                  const Names& names, bool forWindows, std::vector<Input>* inputs, std::ostream& err);

}  // namespace kobaru_pack

#endif  // KOBARU_TOOLS_PACK_INPUTS_H_
