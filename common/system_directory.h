// The Windows system directory, shared by the installer and the cleaner.
#ifndef KOBARU_SYSTEM_DIRECTORY_H_
#define KOBARU_SYSTEM_DIRECTORY_H_

#include <windows.h>

#include <string>

// The system directory as GetSystemDirectoryA gives it, without a trailing
// backslash. Empty when the call fails or the directory does not fit the
// 260-byte buffer: callers must then touch nothing, since a path built on an
// empty directory would name a file at the root of the current drive.
inline std::string GetSystemDirectoryPath() {
    char buffer[MAX_PATH];
    const UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    return std::string(buffer, length);
}

#endif  // KOBARU_SYSTEM_DIRECTORY_H_
