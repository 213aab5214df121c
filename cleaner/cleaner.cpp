// Kobaru_ScreenSaver_Cleaner_RA: run elevated by the uninstaller, it deletes
// the installed screen saver from the system directory. No window, no
// message, no arguments; the exit code is always 0.
#include <windows.h>

#include <string>

#include "system_directory.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::string systemDirectory = GetSystemDirectoryPath();
    if (!systemDirectory.empty()) {
        // Outcome deliberately unexamined: a missing or locked file is left
        // as it is and nobody reads the exit code.
        DeleteFileA((systemDirectory + "\\Kobaru_Senryu_2014.scr").c_str());
    }
    return 0;
}
