// Stand-in for <windows.h> in native test builds: just enough of the Win32
// types and ANSI functions that the programs call for their steps to compile
// and run under unit tests. Calls are recorded and results scripted through
// fakewin::State (fakewin/fakewin.h).
#ifndef FAKEWIN_WINDOWS_H_
#define FAKEWIN_WINDOWS_H_

#include <cstdint>

#define WINAPI
#define MAX_PATH 260
#define MB_OK 0x00000000u
#define FALSE 0
#define TRUE 1

typedef int BOOL;
typedef unsigned int UINT;
typedef uint32_t DWORD;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* HANDLE;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
BOOL WINAPI DeleteFileA(LPCSTR path);
HWND WINAPI GetForegroundWindow();
HWND WINAPI GetTopWindow(HWND window);
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

#endif  // FAKEWIN_WINDOWS_H_
