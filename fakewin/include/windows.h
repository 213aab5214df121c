// Stand-in for <windows.h> in native test builds: just enough of the Win32
// types and ANSI functions that the programs call for their steps to compile
// and run under unit tests. Calls are recorded and results scripted through
// fakewin::State (fakewin/fakewin.h).
#ifndef FAKEWIN_WINDOWS_H_
#define FAKEWIN_WINDOWS_H_

#include <cstdint>

#define WINAPI
#define MAX_PATH 260
#define FALSE 0
#define TRUE 1

#define MB_OK 0x00000000u
#define MB_SYSTEMMODAL 0x00001000u
#define MB_SETFOREGROUND 0x00010000u
#define MB_TOPMOST 0x00040000u

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

#define ERROR_SUCCESS 0L
#define ERROR_ACCESS_DENIED 5L
#define REG_OPTION_NON_VOLATILE 0x00000000u
#define KEY_ALL_ACCESS 0x000F003Fu
#define REG_SZ 1u

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define STARTF_USESHOWWINDOW 0x00000001u
#define CREATE_SUSPENDED 0x00000004u
#define IDLE_PRIORITY_CLASS 0x00000040u
#define HIGH_PRIORITY_CLASS 0x00000080u
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_TIME_CRITICAL 15

#define CP_ACP 0u
#define CP_OEMCP 1u
#define MB_ERR_INVALID_CHARS 0x00000008u
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_WRITE_THROUGH 0x00000008u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef unsigned int UINT;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef LONG HRESULT;
typedef DWORD REGSAM;
typedef char CHAR;
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef BOOL* LPBOOL;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef void* PVOID;
typedef BYTE BOOLEAN;
typedef void* HANDLE;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef HINSTANCE HMODULE;

#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))

#define S_OK 0L
#define E_FAIL (static_cast<HRESULT>(0x80004005u))
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

// Same field order as Windows; 148 bytes there and here.
typedef struct {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Same field order as Windows, so a 32-bit build would have its 68 bytes.
typedef struct {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
BOOL WINAPI DeleteFileA(LPCSTR path);
HWND WINAPI GetForegroundWindow();
HWND WINAPI GetTopWindow(HWND window);
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);
DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer);
BOOL WINAPI RemoveDirectoryA(LPCSTR path);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                           LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation);
DWORD WINAPI ResumeThread(HANDLE thread);
BOOL WINAPI SetThreadPriority(HANDLE thread, int priority);
HANDLE WINAPI GetCurrentThread();
BOOL WINAPI SetPriorityClass(HANDLE process, DWORD priorityClass);
HANDLE WINAPI GetCurrentProcess();

LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                            DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                            PHKEY result, LPDWORD disposition);
LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                           const BYTE* data, DWORD size);
LONG WINAPI RegCloseKey(HKEY key);

// Conversions between the ANSI or OEM code page (fakewin::State) and UTF-16.
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR wide,
                               int wideLength);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength,
                               LPSTR text, int length, LPCSTR defaultChar, LPBOOL usedDefault);
BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags);
DWORD WINAPI GetFileAttributesA(LPCSTR path);
DWORD WINAPI GetLastError();

// DLL loading, the program's own file and its signature check (CreateFileA
// and the file flags are declared with the work folder's functions below).
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008u
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800u

typedef intptr_t(WINAPI* FARPROC)();

HMODULE WINAPI GetModuleHandleA(LPCSTR name);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
HMODULE WINAPI LoadLibraryExA(LPCSTR path, HANDLE file, DWORD flags);
BOOL WINAPI FreeLibrary(HMODULE module);

// ---- The uninstaller's work folder and its held files: token elevation,
// the Windows folder, directories made with a security descriptor, files
// opened with share modes, and the reading of the screen saver setting.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define DELETE 0x00010000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_FILE_EXISTS 80L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define TOKEN_QUERY 0x0008u
#define REG_EXPAND_SZ 2u

typedef void* PSECURITY_DESCRIPTOR;
typedef ULONG* PULONG;
typedef HANDLE* PHANDLE;
typedef void* HLOCAL;
typedef struct {
    DWORD TokenIsElevated;
} TOKEN_ELEVATION;
typedef enum { TokenElevation = 20 } TOKEN_INFORMATION_CLASS;

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID information,
                                DWORD length, LPDWORD returned);
UINT WINAPI GetSystemWindowsDirectoryA(LPSTR buffer, UINT size);
UINT WINAPI GetSystemWow64DirectoryA(LPSTR buffer, UINT size);
DWORD WINAPI GetCurrentProcessId();
DWORD WINAPI GetTickCount();
BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
HLOCAL WINAPI LocalFree(HLOCAL memory);
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD attributes, HANDLE templateFile);
BOOL WINAPI WriteFile(HANDLE file, const void* data, DWORD size, LPDWORD written, void* overlapped);
BOOL WINAPI ReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read, void* overlapped);
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD size);
DWORD WINAPI GetShortPathNameA(LPCSTR path, LPSTR buffer, DWORD size);
DWORD WINAPI GetLongPathNameA(LPCSTR path, LPSTR buffer, DWORD size);
// ---- end of the work folder's functions

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

#endif  // FAKEWIN_WINDOWS_H_
