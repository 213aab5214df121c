// Inst_Kobaru_ScreenSaver_RA: writes the screen saver and the uninstaller,
// carried in the archive appended to this executable, into the system
// directory. Speaks only through message boxes on failure; the exit code is
// always 0.
#include <windows.h>

#include <string>

#include "dll_search.h"
#include "own_file.h"
#include "system_directory.h"
#include "tamarin/extract.h"
#include "tamarin/pack_file.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    RestrictDllSearch();

    // Entries are read from this very file; a path cut short by the buffer
    // would name some other file.
    char ownPath[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, ownPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        ShowProductMessage(kBrokenInstallerText);
        return 0;
    }
    // Held until the last entry has been read; a damaged or tampered file
    // installs nothing. Entries are read from the file that was checked, by
    // its resolved path, not through the launch path again.
    OwnFile ownFile;
    if (ownFile.OpenVerified(ownPath)) return 0;
    tamarin::g_rootArchivePath = ownFile.VerifiedPath();

    // Without the system directory the files would land at the root of the
    // current drive.
    const std::string systemDirectory = GetSystemDirectoryPath();
    if (systemDirectory.empty()) {
        ShowProductMessage(kCannotWriteText);
        return 0;
    }

    // The uninstaller only after the screen saver is written in full.
    if (ExtractEntry(systemDirectory + "\\Kobaru_Senryu_2014.scr", "Kobaru_Senryu_2014.scr")) {
        return 0;
    }
    ExtractEntry(systemDirectory + "\\Kobaru_ScreenSaver_2014_Cleaner.exe",
                 "Kobaru_ScreenSaver_2014_Cleaner.exe");
    return 0;
}
