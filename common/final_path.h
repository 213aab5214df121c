// The path by which the file system names a file held open now.
#ifndef KOBARU_FINAL_PATH_H_
#define KOBARU_FINAL_PATH_H_

#include <windows.h>

#include <string>

#include "dll_search.h"

// The path of the file that file holds, resolved through every junction and
// link as the file system sees it now: a name that another process can no
// longer point elsewhere while the handle stays open, since a folder that
// holds an open file cannot be renamed. A drive path loses its "\\?\"
// prefix, a UNC path gets back its "\\server" form. Where
// GetFinalPathNameByHandleA is missing (before Vista), fallback. Empty when
// the call fails or the path does not fit MAX_PATH.
inline std::string GetFinalPath(HANDLE file, const std::string& fallback) {
    typedef DWORD(WINAPI * GetFinalPathFunction)(HANDLE, LPSTR, DWORD, DWORD);
    const GetFinalPathFunction getFinalPath =
        GetKernel32Function<GetFinalPathFunction>("GetFinalPathNameByHandleA");
    if (!getFinalPath) return fallback;
    // Room for the longest prefix ("\\?\UNC\") in front of a path that fits.
    char buffer[MAX_PATH + 8];
    // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS
    const DWORD length = getFinalPath(file, buffer, sizeof buffer, 0);
    if (length == 0 || length >= sizeof buffer) return std::string();
    std::string path(buffer, length);
    const bool drive = length >= 7 && path.compare(0, 4, "\\\\?\\") == 0 &&
                       ((buffer[4] >= 'A' && buffer[4] <= 'Z') ||
                        (buffer[4] >= 'a' && buffer[4] <= 'z')) &&
                       buffer[5] == ':' && buffer[6] == '\\';
    if (drive) {
        path.erase(0, 4);
    } else if (path.compare(0, 8, "\\\\?\\UNC\\") == 0) {
        path.erase(2, 6);
    }
    return path.size() < MAX_PATH ? path : std::string();
}

#endif  // KOBARU_FINAL_PATH_H_
