// The Windows system directory, shared by the installer, the uninstaller and
// the cleaner.
#ifndef KOBARU_SYSTEM_DIRECTORY_H_
#define KOBARU_SYSTEM_DIRECTORY_H_

#include <windows.h>

#include <string>

// Writes the system directory as GetSystemDirectoryA gives it, without a
// trailing backslash and with its terminating zero, into buffer and returns
// its length. Returns 0 when the call fails or the directory does not fit
// the 260-byte buffer: callers must then touch nothing, since a path built
// on an empty directory would name a file at the root of the current drive.
// Needs nothing of the C++ library, so the cleaner links none of it.
inline UINT ReadSystemDirectory(char (&buffer)[MAX_PATH]) {
    const UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        buffer[0] = '\0';
        return 0;
    }
    return length;
}

// The same directory as a string; empty in the cases above.
inline std::string GetSystemDirectoryPath() {
    char buffer[MAX_PATH];
    return std::string(buffer, ReadSystemDirectory(buffer));
}

#endif  // KOBARU_SYSTEM_DIRECTORY_H_
