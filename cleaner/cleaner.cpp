// Kobaru_ScreenSaver_Cleaner_RA: run elevated by the uninstaller, it deletes
// the installed screen saver from the system directory. No window, no
// message, no arguments; the exit code is always 0.
//
// Written with character buffers alone: without the C++ library's strings
// the program is a few kilobytes instead of a few hundred.
#include <windows.h>

#include <cstring>

#include "dll_search.h"
#include "system_directory.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    RestrictDllSearch();
    static const char kFileName[] = "\\Kobaru_Senryu_2014.scr";
    // Room for the longest directory that fits MAX_PATH and the file name
    // (whose size counts the terminating zero).
    char path[MAX_PATH + sizeof(kFileName)];
    char directory[MAX_PATH];
    const UINT length = ReadSystemDirectory(directory);
    if (length != 0) {
        std::memcpy(path, directory, length);
        std::memcpy(path + length, kFileName, sizeof(kFileName));
        // Outcome deliberately unexamined: a missing or locked file is left
        // as it is and nobody reads the exit code.
        DeleteFileA(path);
    }
    return 0;
}
