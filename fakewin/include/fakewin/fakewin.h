// Scripting and inspection of the Windows stand-in used by native tests.
#ifndef FAKEWIN_FAKEWIN_H_
#define FAKEWIN_FAKEWIN_H_

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <windows.h>
#include <wintrust.h>

namespace fakewin {

struct MessageBoxCall {
    HWND owner;
    std::string text;
    std::string title;
    UINT style;
};

struct RegistryWrite {
    HKEY key;
    std::string value;
    DWORD type;
    std::string data;  // exactly the bytes given, size included
};

struct ShellExecuteCall {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    std::optional<std::string> verb, file, parameters, directory;
    int nShow;
};

struct CreateProcessCall {
    std::optional<std::string> applicationName, commandLine, currentDirectory;
    bool processAttributes, threadAttributes, environment;  // true when given
    BOOL inheritHandles;
    DWORD creationFlags;
    STARTUPINFOA startup;  // as handed in
};

// DLL loading, the program's own file and its signature check.
struct CreateFileCall {
    std::string path;
    DWORD access, share, disposition;
    HANDLE handle;  // what the call returned
};

// One WinVerifyTrust call, its parameter blocks as handed in.
struct TrustCall {
    HWND window;
    bool genericVerifyV2;  // the action is WINTRUST_ACTION_GENERIC_VERIFY_V2
    DWORD uiChoice, revocationChecks, unionChoice, stateAction, provFlags;
    HANDLE file;
    std::string path;  // the wide path, as ASCII
    HANDLE stateData;  // hWVTStateData as handed in
};

// What the stand-in returns, and what it saw. Reset() restores the defaults
// below; every test starts with it.
struct State {
    // Every call, as "Function(arg, ...)", in order.
    std::vector<std::string> calls;
    std::vector<MessageBoxCall> messageBoxes;
    // Paths handed to DeleteFileA.
    std::vector<std::string> deletedFiles;

    // GetSystemDirectoryA writes this, or, when systemDirectoryResult is
    // set, writes nothing and returns that value (0: failure; larger than
    // the buffer: the room it would need).
    std::string systemDirectory = "C:\\Windows\\system32";
    std::optional<UINT> systemDirectoryResult;
    // GetModuleFileNameA writes this, cut to the buffer as Windows does.
    std::string modulePath = "C:\\program.exe";
    HWND foregroundWindow = reinterpret_cast<HWND>(0x1000);
    HWND topWindow = reinterpret_cast<HWND>(0x2000);
    // When true, DeleteFileA and RemoveDirectoryA also act on the host path.
    bool deleteHostFiles = false;

    // GetVersionExA reports this platform, or fails without touching the
    // structure. It also fails, as Windows does, for a size field other
    // than that of OSVERSIONINFOA or OSVERSIONINFOEXA.
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    bool versionQueryFails = false;

    // GetTempPathA, scripted like GetSystemDirectoryA; it keeps the
    // trailing separator.
    std::string tempPath = "C:\\Temp\\";
    std::optional<DWORD> tempPathResult;

    // Status codes of RegCreateKeyExA and RegSetValueExA; every write seen,
    // and how many keys are open (created and not yet closed).
    LONG createKeyStatus = ERROR_SUCCESS;
    LONG setValueStatus = ERROR_SUCCESS;
    std::vector<RegistryWrite> registryWrites;
    int openKeys = 0;

    // ShellExecuteExA fails, or succeeds handing back this process handle
    // (null: no handle) when asked for one. The hook runs during the call,
    // while the started program would run.
    bool shellExecuteFails = false;
    HANDLE startedProcess = reinterpret_cast<HANDLE>(0x3000);
    std::function<void(const SHELLEXECUTEINFOA&)> onShellExecute;
    std::vector<ShellExecuteCall> shellExecutes;

    // Results of SHGetMalloc and SHGetSpecialFolderLocation, the path that
    // SHGetPathFromIDListA gives (it fails for one that does not fit
    // MAX_PATH), and the identifier lists and allocator references that
    // are still held.
    HRESULT mallocResult = S_OK;
    HRESULT specialFolderResult = S_OK;
    std::string programsFolder = "C:\\Users\\user\\Start Menu\\Programs";
    bool pathFromIdListFails = false;
    int liveIdLists = 0;
    int allocatorReferences = 0;

    // Paths handed to RemoveDirectoryA.
    std::vector<std::string> removedDirectories;

    // CreateProcessA fails, or succeeds with these handles (suspended
    // threads are counted down by ResumeThread).
    bool createProcessFails = false;
    HANDLE createdProcess = reinterpret_cast<HANDLE>(0x4000);
    HANDLE createdThread = reinterpret_cast<HANDLE>(0x4004);
    std::vector<CreateProcessCall> createdProcesses;
    // Runs during a successful CreateProcessA, while the started program
    // would run, with its application name (null when none was given).
    // Windows opens that image reading and sharing reading and deletion: a
    // conflicting share mode fails the start with ERROR_SHARING_VIOLATION.
    std::function<void(const char* application)> onCreateProcess;
    std::vector<HANDLE> closedHandles;

    // Code pages of MultiByteToWideChar and WideCharToMultiByte (932, 437,
    // 850, 1252 or 65001). Invalid bytes fail; characters without a form in
    // the target become Windows' default character '?'.
    UINT ansiCodePage = 932;
    UINT oemCodePage = 932;

    // MoveFileExA renames the host file unless moveFileError is set, in which
    // case it fails with that error and moves nothing.
    std::optional<DWORD> moveFileError;
    // GetFileAttributesA looks at the host path unless this error is set,
    // in which case it fails with it.
    std::optional<DWORD> fileAttributesError;
    DWORD lastError = 0;

    // DLL loading, the program's own file and its signature check.
    // GetProcAddress finds these two kernel32 functions only when true;
    // SetDefaultDllDirectories returns setDefaultDllDirectoriesResult.
    bool hasSetDefaultDllDirectories = true;
    bool hasSetDllDirectory = true;
    BOOL setDefaultDllDirectoriesResult = TRUE;
    // LoadLibraryExA loads the system directory's wintrust.dll by its full
    // path alone, unless it is missing; loadedLibraries counts what is not
    // freed yet.
    bool wintrustMissing = false;
    int loadedLibraries = 0;
    // CreateFileA fails with createFileError when set, else opens the host
    // file as the work folder's state below describes. The first file it
    // opens gets fileHandle, each later one the next multiple of 4. Every
    // call is kept in createdFiles.
    std::optional<DWORD> createFileError;
    HANDLE fileHandle = reinterpret_cast<HANDLE>(0x6000);
    std::vector<CreateFileCall> createdFiles;
    // WinVerifyTrust's result for WTD_STATEACTION_VERIFY (by default that
    // of an unsigned file, TRUST_E_NOSIGNATURE), and every call seen.
    LONG trustResult = static_cast<LONG>(0x800B0100u);
    std::vector<TrustCall> trustCalls;
    // ---- The uninstaller's work folder and its held files.
    // OpenProcessToken or GetTokenInformation fails, or the token reports
    // this elevation.
    bool tokenQueryFails = false;
    bool elevated = false;
    int openTokens = 0;
    // GetSystemWindowsDirectoryA, scripted like GetSystemDirectoryA; the WoW64
    // system directory, none on a 32-bit Windows.
    std::string windowsDirectory = "C:\\Windows";
    std::optional<UINT> windowsDirectoryResult;
    std::optional<std::string> wow64Directory;
    DWORD processId = 0x1234;
    DWORD tickCount = 0xABCD;
    // Every CreateDirectoryA: the path and the string form of the security
    // descriptor given ("" for none). It makes the host folder (backslashes
    // taken as separators) unless createDirectoryError is set.
    std::vector<std::pair<std::string, std::string>> createdDirectories;
    std::optional<DWORD> createDirectoryError;
    int liveDescriptors = 0;
    // Files open through CreateFileA, by handle: a host file (backslashes
    // taken as separators) with the access and share mode asked for. Opens,
    // deletes and program starts that conflict with a share mode fail with
    // ERROR_SHARING_VIOLATION, as on Windows. The hook runs after each open.
    struct OpenFile {
        std::string path;
        DWORD access, share;
        int fd;
    };
    std::map<HANDLE, OpenFile> openFiles;
    std::function<void(const std::string& path, DWORD access, DWORD share)> onCreateFile;
    // HKEY_CURRENT_USER "Control Panel\Desktop" "SCRNSAVE.EXE" as
    // RegQueryValueExA reads it (none: the value is absent), and the short
    // (8.3) forms of long paths that GetShortPathNameA and GetLongPathNameA
    // know; any other path is its own form when the host file exists.
    std::optional<std::string> screenSaver =
        std::string("C:\\Windows\\system32\\Kobaru_Senryu_2014.scr");
    DWORD screenSaverType = REG_SZ;
    std::map<std::string, std::string> shortPaths;
    // ---- end of the work folder's state

    // GetFinalPathNameByHandleA, found through GetProcAddress only when
    // hasGetFinalPathName. For a file opened by a path named in
    // finalPathResults it writes nothing and returns that value (0: failure;
    // larger than the buffer: the room it would need); for one named in
    // finalPaths it gives that path. Else it gives the host path that the
    // handle's file has now, every symbolic link resolved: below the test's
    // current folder a path whose first part is a drive ("C:") becomes
    // "\\?\C:\..." with backslashes, any other stays the host path.
    bool hasGetFinalPathName = true;
    std::map<std::string, std::string> finalPaths;
    std::map<std::string, DWORD> finalPathResults;
    // RtlGenRandom (advapi32's SystemFunction036), found only when
    // hasRtlGenRandom; it fails when rtlGenRandomFails. It hands out
    // randomBytes first, then bytes counting up from 0xA0.
    bool hasRtlGenRandom = true;
    bool rtlGenRandomFails = false;
    std::string randomBytes;
    unsigned char nextRandomByte = 0xA0;
};

// The pseudo handles that GetCurrentProcess and GetCurrentThread return.
inline HANDLE CurrentProcess() { return reinterpret_cast<HANDLE>(-1); }
inline HANDLE CurrentThread() { return reinterpret_cast<HANDLE>(-2); }
// The modules that GetModuleHandleA and LoadLibraryExA hand out.
inline HMODULE Kernel32() { return reinterpret_cast<HMODULE>(0x7000); }
inline HMODULE Wintrust() { return reinterpret_cast<HMODULE>(0x7100); }
inline HMODULE Advapi32() { return reinterpret_cast<HMODULE>(0x7300); }

State& Get();
void Reset();

}  // namespace fakewin

#endif  // FAKEWIN_FAKEWIN_H_
