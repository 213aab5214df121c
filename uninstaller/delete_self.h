// Removal of the running program's own executable.
#ifndef KOBARU_DELETE_SELF_H_
#define KOBARU_DELETE_SELF_H_

#include <string>

// Writes a batch file into the temporary directory that deletes this
// program's executable once the process has ended (retrying for about a
// minute and a half), then deletes itself, and starts it hidden at idle
// priority under the system directory's cmd.exe with /d (no AutoRun);
// every program in it is named by its full path in the system directory.
// The caller must end the process right after. Reports nothing; when the
// batch file cannot be written whole, the system directory is unknown, a
// path does not fit MAX_PATH or has no exact form in the OEM code page, or
// the batch path holds more than one "%", nothing is started, no batch file
// is left and the executable stays.
// Given ownFolder (a folder of this run's own, with a trailing backslash,
// emptied of everything else), the batch is made there as a new file
// instead and removes the whole folder as its last line; on the ways out
// above the folder is removed here.
void DeleteSelf(const std::string& ownFolder = std::string());

#endif  // KOBARU_DELETE_SELF_H_
