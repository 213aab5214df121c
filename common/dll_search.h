// Where the programs load DLLs from at run time. A program started from the
// Downloads folder would otherwise look there first for every DLL that is
// not one of the system's known DLLs, and a web page can drop one there.
#ifndef KOBARU_DLL_SEARCH_H_
#define KOBARU_DLL_SEARCH_H_

#include <windows.h>

#include <cstring>

#include "system_directory.h"

// A kernel32 function that older systems lack, as the given pointer type;
// null where it is missing.
template <typename Function>
inline Function GetKernel32Function(const char* name) {
    const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (!kernel32) return nullptr;
    // Through void (*)(), which any function pointer may be cast to and from.
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, name)));
}

// Limits the DLLs that the process loads from now on to the system
// directory: neither the program's folder, nor the current folder, nor PATH.
// Called first in each WinMain. Where SetDefaultDllDirectories is missing
// (before Windows 8 without KB2533623), SetDllDirectoryA("") at least takes
// the current folder out of the search.
inline void RestrictDllSearch() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    typedef BOOL(WINAPI * SetDllDirectoryFunction)(LPCSTR);
    const SetDefaultDllDirectoriesFunction setDefault =
        GetKernel32Function<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories");
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    const SetDllDirectoryFunction setDirectory =
        GetKernel32Function<SetDllDirectoryFunction>("SetDllDirectoryA");
    if (setDirectory) setDirectory("");
}

// Loads the DLL name from the system directory by its full path; the DLLs
// it needs in turn come from there too, never from beside the program.
// Null when it is missing or the path cannot be formed.
inline HMODULE LoadSystemLibrary(const char* name) {
    char path[MAX_PATH];
    const UINT length = ReadSystemDirectory(path);
    const size_t nameSize = std::strlen(name) + 1;
    if (length == 0 || MAX_PATH - length - 1 < nameSize) return nullptr;
    path[length] = '\\';
    std::memcpy(path + length + 1, name, nameSize);
    // Without the search flags, the altered search order looks first beside
    // the loaded DLL, in the system directory.
    const DWORD flags = GetKernel32Function<void (*)()>("SetDefaultDllDirectories")
                            ? LOAD_LIBRARY_SEARCH_SYSTEM32
                            : LOAD_WITH_ALTERED_SEARCH_PATH;
    return LoadLibraryExA(path, nullptr, flags);
}

#endif  // KOBARU_DLL_SEARCH_H_
