// The uninstaller's own steps, apart from its entry function so that tests
// can run them one by one.
#ifndef KOBARU_UNINSTALLER_H_
#define KOBARU_UNINSTALLER_H_

#include <string>

// True unless the platform is Windows NT; a failed version query counts as
// unsupported.
bool IsUnsupportedOs();

// True when HKEY_CURRENT_USER "Control Panel\Desktop" "SCRNSAVE.EXE" names
// our screen saver in the system directory (long or short form, any case);
// setting is then the value as read. Asked while the screen saver exists.
bool FindOurScreenSaverSetting(std::string& setting);

// Sets that value to the empty string when it still holds setting (as
// FindOurScreenSaverSetting read it), creating the key where it is missing.
// True on failure; shows nothing.
bool ResetScreenSaverSetting(const std::string& setting);

// The current user's Start-menu Programs folder, without a trailing
// backslash. Empty when the shell cannot name it.
std::string GetProgramsFolderPath();

#endif  // KOBARU_UNINSTALLER_H_
