// A program the harness's own tests run under Wine: it shows known message
// boxes, writes a file into the temporary and system directories and ends
// with exit code 7, so every path of the harness is checked against a known
// run.
#include <windows.h>

#include <cstdio>
#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Shift-JIS "インストーラが壊れています。", then bytes that the trace escapes.
    MessageBoxA(GetTopWindow(GetForegroundWindow()),
                "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x89\x82\xAA\x89\xF3\x82\xEA\x82\xC4"
                "\x82\xA2\x82\xDC\x82\xB7\x81\x42",
                "\x83\x47\x83\x89\x81\x5B", MB_OK);
    MessageBoxA(reinterpret_cast<HWND>(0), "a\\b\"c\nd\te\r\x7F", nullptr, 0x51000);

    char temp[MAX_PATH];
    if (GetTempPathA(MAX_PATH, temp) != 0) {
        if (FILE* f = std::fopen((std::string(temp) + "kobaru-probe.txt").c_str(), "wb")) {
            std::fputs("temp", f);
            std::fclose(f);
        }
    }
    char system[MAX_PATH];
    if (GetSystemDirectoryA(system, MAX_PATH) != 0) {
        if (FILE* f = std::fopen((std::string(system) + "\\kobaru-probe.txt").c_str(), "wb")) {
            std::fputs("system", f);
            std::fclose(f);
        }
    }
    return 7;
}
