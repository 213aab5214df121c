// Kobaru_ScreenSaver_Cleaner_RA: run elevated by the uninstaller, it deletes
// the installed screen saver from the system directory, together with the
// temporaries that an interrupted installation may have left there. No
// window, no message, no arguments; the exit code is always 0.
//
// Written with character buffers alone: without the C++ library's strings
// the program is a few kilobytes instead of a few hundred.
#include <windows.h>

#include <cstring>

#include "dll_search.h"
#include "system_directory.h"

namespace {

// The screen saver, then the installer's temporaries of both files: the
// names with their last character replaced by "~", as extraction writes
// them before it moves them into place. The uninstaller itself is deleted
// by its own batch once it has ended.
const char* const kFileNames[] = {
    "\\Kobaru_Senryu_2014.scr",
    "\\Kobaru_Senryu_2014.sc~",
    "\\Kobaru_ScreenSaver_2014_Cleaner.ex~",
};
// The longest of them, its terminating zero counted.
const size_t kLongestName = sizeof "\\Kobaru_ScreenSaver_2014_Cleaner.ex~";

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    RestrictDllSearch();
    // Room for the longest directory that fits MAX_PATH and the longest name.
    char path[MAX_PATH + kLongestName];
    char directory[MAX_PATH];
    const UINT length = ReadSystemDirectory(directory);
    if (length != 0) {
        std::memcpy(path, directory, length);
        for (const char* name : kFileNames) {
            std::memcpy(path + length, name, std::strlen(name) + 1);
            // Outcome deliberately unexamined: a missing or locked file is
            // left as it is and nobody reads the exit code; the uninstaller
            // looks for what stays.
            DeleteFileA(path);
        }
    }
    return 0;
}
