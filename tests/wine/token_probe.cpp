// token_probe: prints the kind of token this program runs with, as
// GetTokenInformation gives it: "type=N elevated=M", N the
// TOKEN_ELEVATION_TYPE (1 default, 2 full, 3 limited) and M TokenIsElevated.
// Built once for each manifest level, so the harness can check that Wine
// gives each level the token that Windows gives a standard user's
// administrator account; the uninstaller's two paths depend on it.
#include <windows.h>

#include <cstdio>

int main() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        std::printf("no token: error %lu\n", GetLastError());
        return 1;
    }
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    TOKEN_ELEVATION elevation = {0};
    DWORD size = 0;
    const bool typeRead = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size);
    const bool elevationRead =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    if (!typeRead || !elevationRead) {
        std::printf("no token information: error %lu\n", GetLastError());
        return 1;
    }
    std::printf("type=%d elevated=%lu\n", static_cast<int>(type), elevation.TokenIsElevated);
    return 0;
}
