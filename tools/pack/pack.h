// kobaru-pack: writes pack archives for packaging, appends them to
// executables, and lists, extracts and verifies them through the reader.
#ifndef KOBARU_TOOLS_PACK_PACK_H_
#define KOBARU_TOOLS_PACK_PACK_H_

#include <ostream>
#include <string>
#include <vector>

namespace kobaru_pack {

// Exit codes.
const int kOk = 0;
const int kFailed = 1;  // bad input, unreadable or damaged archive
const int kUsage = 2;   // bad command line

// Runs one command; args excludes the program name. Reports go to out,
// errors to err. Uses the reader's process-wide state, so a process runs
// one command (tests reset the state between calls).
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kobaru_pack

#endif  // KOBARU_TOOLS_PACK_PACK_H_
