// Stand-in for <shellapi.h>: ShellExecuteExA and its parameter block.
#ifndef FAKEWIN_SHELLAPI_H_
#define FAKEWIN_SHELLAPI_H_

#include <windows.h>

#define SEE_MASK_NOCLOSEPROCESS 0x00000040u

// Same field order as Windows, so a 32-bit build would have its 60 bytes.
typedef struct {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCSTR lpVerb;
    LPCSTR lpFile;
    LPCSTR lpParameters;
    LPCSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    void* lpIDList;
    LPCSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    HANDLE hIcon;
    HANDLE hProcess;
} SHELLEXECUTEINFOA, *LPSHELLEXECUTEINFOA;

BOOL WINAPI ShellExecuteExA(LPSHELLEXECUTEINFOA info);

#endif  // FAKEWIN_SHELLAPI_H_
