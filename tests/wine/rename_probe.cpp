// rename_probe PATH MILLISECONDS: prints "held" once it watches, then waits
// (at most that long) until an extraction into the system directory is
// under way, a file whose name ends in "~" being there, and at that moment
// tries, as a second process of the user would, to rename PATH out of the
// way and to open it for writing. Prints one line per try, "refused ERROR"
// or "allowed" (a renamed file is put back), and exits with 0 when both were
// refused, 1 otherwise, 2 when no extraction was seen in time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) return 3;
    char system[MAX_PATH];
    if (GetSystemDirectoryA(system, MAX_PATH) == 0) return 3;
    const std::string pattern = std::string(system) + "\\*~";
    const std::string moved = std::string(argv[1]) + ".moved";
    // Ahead of the installer whenever both want a processor.
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    std::puts("held");
    std::fflush(stdout);
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < static_cast<DWORD>(std::atoi(argv[2]))) {
        WIN32_FIND_DATAA found;
        const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) {
            Sleep(0);  // no timer wait: the window lasts only as long as a write
            continue;
        }
        FindClose(search);
        bool refused = true;
        if (MoveFileA(argv[1], moved.c_str())) {
            MoveFileA(moved.c_str(), argv[1]);
            std::puts("rename allowed");
            refused = false;
        } else {
            std::printf("rename refused %lu\n", GetLastError());
        }
        const HANDLE file =
            CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            std::puts("write allowed");
            refused = false;
        } else {
            std::printf("write refused %lu\n", GetLastError());
        }
        return refused ? 0 : 1;
    }
    std::puts("timeout");
    return 2;
}
