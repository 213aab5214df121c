// hold PATH MILLISECONDS: opens PATH sharing only reading, prints "held" and
// keeps it open that long, so that meanwhile no other process can write,
// replace or delete the file (the "in use" cases of the end-to-end tests).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::puts("held");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::atoi(argv[2])));
    CloseHandle(file);
    return 0;
}
