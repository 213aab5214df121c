// hold PATH MILLISECONDS [RELEASE]: opens PATH sharing only reading, prints
// "held" and keeps it open that long, or until the file RELEASE appears, so
// that meanwhile no other process can write, replace or delete the file (the
// "in use" cases of the end-to-end tests). RELEASE lets a test keep the file
// held for exactly as long as the program under test runs, however slow the
// machine is.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) return 2;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::puts("held");
    std::fflush(stdout);
    const DWORD milliseconds = static_cast<DWORD>(std::atoi(argv[2]));
    const DWORD started = GetTickCount();
    while (GetTickCount() - started < milliseconds &&
           (argc == 3 || GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES)) {
        Sleep(argc == 3 ? milliseconds : 50);
    }
    CloseHandle(file);
    return 0;
}
