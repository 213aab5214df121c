// The uninstaller's own steps, apart from its entry function so that tests
// can run them one by one.
#ifndef KOBARU_UNINSTALLER_H_
#define KOBARU_UNINSTALLER_H_

#include <string>

// True unless the platform is Windows NT; a failed version query counts as
// unsupported.
bool IsUnsupportedOs();

// Sets HKEY_CURRENT_USER "Control Panel\Desktop" "SCRNSAVE.EXE" to the empty
// string, creating the key where it is missing. True on failure; shows
// nothing.
bool ResetScreenSaverSetting();

// The current user's Start-menu Programs folder, without a trailing
// backslash. Empty when the shell cannot name it.
std::string GetProgramsFolderPath();

#endif  // KOBARU_UNINSTALLER_H_
