#include "fakewin/fakewin.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cerrno>
#include <cctype>
#include <cstring>
#include <sstream>
#include <type_traits>

namespace fakewin {

State& Get() {
    static State state;
    return state;
}

void Reset() { Get() = State(); }

namespace {

std::string Quote(const char* s) { return s ? "\"" + std::string(s) + "\"" : "null"; }

template <typename T>
std::string Hex(T value) {
    std::ostringstream out;
    if constexpr (std::is_pointer_v<T>) {
        out << "0x" << std::hex << reinterpret_cast<uintptr_t>(value);
    } else {
        out << "0x" << std::hex << static_cast<uintmax_t>(value);
    }
    return out.str();
}

void Record(const std::string& call) { Get().calls.push_back(call); }

std::optional<std::string> Copy(const char* s) {
    return s ? std::optional<std::string>(s) : std::nullopt;
}

// Windows' way of filling a caller's buffer with a path: the length without
// the zero byte, or, when it does not fit, the room it would need.
DWORD FillPath(const std::string& path, LPSTR buffer, DWORD size) {
    if (path.size() + 1 > size) return static_cast<DWORD>(path.size() + 1);
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

// The shell's task allocator: it only keeps count of what is handed back.
class Allocator : public IMalloc {
public:
    void Free(void* block) override {
        Record("IMalloc::Free(" + Hex(block) + ")");
        if (block) --Get().liveIdLists;
    }
    ULONG Release() override {
        Record("IMalloc::Release()");
        return static_cast<ULONG>(--Get().allocatorReferences);
    }
};

// The iconv name of a code page that the conversions know.
const char* CodePageName(UINT codePage) {
    if (codePage == CP_ACP) codePage = Get().ansiCodePage;
    if (codePage == CP_OEMCP) codePage = Get().oemCodePage;
    switch (codePage) {
    case 437: return "CP437";
    case 850: return "CP850";
    case 932: return "CP932";
    case 1252: return "CP1252";
    case 65001: return "UTF-8";
    default: return nullptr;
    }
}

// Converts text whole with iconv; nothing when it is invalid or has a
// character without a form in the target.
std::optional<std::string> Convert(const char* from, const char* to, std::string in) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out(in.size() * 4 + 4, '\0');
    char* src = in.data();
    char* dst = out.data();
    size_t left = in.size(), room = out.size();
    const bool failed = iconv(cd, &src, &left, &dst, &room) == static_cast<size_t>(-1);
    iconv_close(cd);
    if (failed) return std::nullopt;
    out.resize(out.size() - room);
    return out;
}

// Copies a converted text into a caller's buffer the Windows way: with no
// buffer the count needed, else the count written or 0 when it does not fit.
template <typename Char>
int FillConverted(const std::string& bytes, Char* out, int room) {
    const int count = static_cast<int>(bytes.size() / sizeof(Char));
    if (room == 0) return count;
    if (count > room) return 0;
    std::memcpy(out, bytes.data(), bytes.size());
    return count;
}

Allocator g_allocator;
ITEMIDLIST g_programsList;

// ---- The work folder's helpers.
// The process token that OpenProcessToken hands out, apart from the files'
// handles.
const HANDLE kToken = reinterpret_cast<HANDLE>(0x5800);

// The host path of a Windows-style path: backslashes become separators.
std::string HostPath(const char* path) {
    std::string host = path ? path : "";
    for (char& c : host) {
        if (c == '\\') c = '/';
    }
    return host;
}

// Whether an open with this access and share mode conflicts with one that
// is already open on the same file (Windows' share-mode rule).
bool Conflicts(const State::OpenFile& open, DWORD access, DWORD share) {
    const DWORD kRead = GENERIC_READ, kWrite = GENERIC_WRITE;
    return ((access & kRead) && !(open.share & FILE_SHARE_READ)) ||
           ((access & kWrite) && !(open.share & FILE_SHARE_WRITE)) ||
           ((access & DELETE) && !(open.share & FILE_SHARE_DELETE)) ||
           ((open.access & kRead) && !(share & FILE_SHARE_READ)) ||
           ((open.access & kWrite) && !(share & FILE_SHARE_WRITE)) ||
           ((open.access & DELETE) && !(share & FILE_SHARE_DELETE));
}

// True, with ERROR_SHARING_VIOLATION, when a file open on host conflicts.
bool SharingViolation(const std::string& host, DWORD access, DWORD share) {
    for (const auto& entry : Get().openFiles) {
        if (entry.second.path == host && Conflicts(entry.second, access, share)) {
            Get().lastError = ERROR_SHARING_VIOLATION;
            return true;
        }
    }
    return false;
}

// Opens the host file behind a Windows-style path as CreateFileA does:
// createFileError when scripted, a conflicting share mode, an existing file
// for CREATE_NEW, a missing one for OPEN_EXISTING, or a folder all fail. The
// handle is fileHandle for the first file opened, then the next multiple of 4.
HANDLE OpenHostFile(const char* path, DWORD access, DWORD share, DWORD disposition) {
    if (Get().createFileError) {
        Get().lastError = *Get().createFileError;
        return INVALID_HANDLE_VALUE;
    }
    const std::string host = HostPath(path);
    if (SharingViolation(host, access, share)) return INVALID_HANDLE_VALUE;
    struct stat info;
    const bool exists = ::stat(host.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode)) {
        Get().lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_NEW && exists) {
        Get().lastError = ERROR_FILE_EXISTS;
        return INVALID_HANDLE_VALUE;
    }
    int flags = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    if (disposition == CREATE_NEW) flags |= O_CREAT | O_EXCL;
    if (disposition == CREATE_ALWAYS) flags |= O_CREAT | O_TRUNC;
    const int fd = ::open(host.c_str(), flags, 0600);
    if (fd < 0) {
        Get().lastError = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    uintptr_t opened = 0;
    for (const CreateFileCall& call : Get().createdFiles) {
        if (call.handle != INVALID_HANDLE_VALUE) ++opened;
    }
    const HANDLE handle =
        reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(Get().fileHandle) + 4 * opened);
    Get().openFiles[handle] = {host, access, share, fd};
    return handle;
}

// The long form that shortPaths gives a short one, or the short form of a
// long one; else the path itself when the host file exists.
DWORD FillFormOf(const char* path, bool toShort, LPSTR buffer, DWORD size) {
    const std::string given = path ? path : "";
    for (const auto& pair : Get().shortPaths) {
        if ((toShort ? pair.first : pair.second) == given) {
            return FillPath(toShort ? pair.second : pair.first, buffer, size);
        }
    }
    struct stat info;
    if (::stat(given.c_str(), &info) != 0) {
        Get().lastError = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    return FillPath(given, buffer, size);
}
// ---- end of the work folder's helpers

}  // namespace
}  // namespace fakewin

using fakewin::Get;

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    fakewin::Record("GetSystemDirectoryA(" + std::to_string(size) + ")");
    if (Get().systemDirectoryResult) return *Get().systemDirectoryResult;
    return fakewin::FillPath(Get().systemDirectory, buffer, size);
}

DWORD WINAPI GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
    fakewin::Record("GetModuleFileNameA(" + std::to_string(size) + ")");
    if (size == 0) return 0;
    const std::string& path = Get().modulePath;
    // Like Windows: a path that does not fit is cut, terminated, and the
    // full buffer size returned.
    const DWORD n = path.size() < size ? static_cast<DWORD>(path.size()) : size - 1;
    std::memcpy(buffer, path.data(), n);
    buffer[n] = '\0';
    return path.size() < size ? n : size;
}

BOOL WINAPI DeleteFileA(LPCSTR path) {
    fakewin::Record("DeleteFileA(" + fakewin::Quote(path) + ")");
    Get().deletedFiles.push_back(path ? path : "");
    // A file held open without delete sharing stays.
    // Windows opens it for deletion sharing everything.
    if (fakewin::SharingViolation(fakewin::HostPath(path), DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        return FALSE;
    }
    // Never a folder, as on Windows.
    if (Get().deleteHostFiles && path) return ::unlink(fakewin::HostPath(path).c_str()) == 0;
    return TRUE;
}

HWND WINAPI GetForegroundWindow() {
    fakewin::Record("GetForegroundWindow()");
    return Get().foregroundWindow;
}

HWND WINAPI GetTopWindow(HWND window) {
    fakewin::Record("GetTopWindow(" + fakewin::Hex(window) + ")");
    return window == Get().foregroundWindow ? Get().topWindow : nullptr;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    fakewin::Record("MessageBoxA(" + fakewin::Hex(owner) + ", " + fakewin::Quote(text) + ", " +
                    fakewin::Quote(caption) + ", " + std::to_string(type) + ")");
    Get().messageBoxes.push_back({owner, text ? text : "", caption ? caption : "", type});
    return 1;  // IDOK
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    fakewin::Record("GetVersionExA(" + std::to_string(info->dwOSVersionInfoSize) + ")");
    // 156: the size of OSVERSIONINFOEXA, which Windows also takes.
    if (Get().versionQueryFails ||
        (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) && info->dwOSVersionInfoSize != 156)) {
        return FALSE;
    }
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 2;
    info->dwBuildNumber = 9200;
    info->dwPlatformId = Get().platformId;
    return TRUE;
}

DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer) {
    fakewin::Record("GetTempPathA(" + std::to_string(size) + ")");
    if (Get().tempPathResult) return *Get().tempPathResult;
    return fakewin::FillPath(Get().tempPath, buffer, size);
}

BOOL WINAPI RemoveDirectoryA(LPCSTR path) {
    fakewin::Record("RemoveDirectoryA(" + fakewin::Quote(path) + ")");
    Get().removedDirectories.push_back(path ? path : "");
    if (Get().deleteHostFiles && path) return ::rmdir(fakewin::HostPath(path).c_str()) == 0;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    fakewin::Record("WaitForSingleObject(" + fakewin::Hex(handle) + ", " +
                    std::to_string(milliseconds) + ")");
    return WAIT_OBJECT_0;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    fakewin::Record("CloseHandle(" + fakewin::Hex(handle) + ")");
    Get().closedHandles.push_back(handle);
    if (handle == fakewin::kToken) --Get().openTokens;
    const auto file = Get().openFiles.find(handle);
    if (file != Get().openFiles.end()) {
        ::close(file->second.fd);
        Get().openFiles.erase(file);
    }
    return handle != nullptr;
}

BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                           LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation) {
    fakewin::Record("CreateProcessA(" + fakewin::Quote(applicationName) + ", " +
                    fakewin::Quote(commandLine) + ", " + fakewin::Hex(creationFlags) + ")");
    Get().createdProcesses.push_back({fakewin::Copy(applicationName), fakewin::Copy(commandLine),
                                      fakewin::Copy(currentDirectory), processAttributes != nullptr,
                                      threadAttributes != nullptr, environment != nullptr,
                                      inheritHandles, creationFlags, *startupInfo});
    if (Get().createProcessFails) return FALSE;
    if (applicationName &&
        fakewin::SharingViolation(fakewin::HostPath(applicationName), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE)) {
        return FALSE;
    }
    if (Get().onCreateProcess) Get().onCreateProcess(applicationName);
    processInformation->hProcess = Get().createdProcess;
    processInformation->hThread = Get().createdThread;
    processInformation->dwProcessId = 0x400;
    processInformation->dwThreadId = 0x404;
    return TRUE;
}

DWORD WINAPI ResumeThread(HANDLE thread) {
    fakewin::Record("ResumeThread(" + fakewin::Hex(thread) + ")");
    return 1;  // previous suspend count
}

BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
    fakewin::Record("SetThreadPriority(" + fakewin::Hex(thread) + ", " + std::to_string(priority) +
                    ")");
    return TRUE;
}

HANDLE WINAPI GetCurrentThread() {
    fakewin::Record("GetCurrentThread()");
    return fakewin::CurrentThread();
}

BOOL WINAPI SetPriorityClass(HANDLE process, DWORD priorityClass) {
    fakewin::Record("SetPriorityClass(" + fakewin::Hex(process) + ", " + fakewin::Hex(priorityClass) +
                    ")");
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess() {
    fakewin::Record("GetCurrentProcess()");
    return fakewin::CurrentProcess();
}

LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                            DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                            PHKEY result, LPDWORD disposition) {
    fakewin::Record("RegCreateKeyExA(" + fakewin::Hex(key) + ", " + fakewin::Quote(subKey) + ", " +
                    std::to_string(reserved) + ", " + fakewin::Quote(keyClass) + ", " +
                    fakewin::Hex(options) + ", " + fakewin::Hex(access) + ", " +
                    fakewin::Hex(security) + ")");
    if (Get().createKeyStatus != ERROR_SUCCESS) return Get().createKeyStatus;
    ++Get().openKeys;
    *result = reinterpret_cast<HKEY>(0x5000);
    if (disposition) *disposition = 2;  // REG_OPENED_EXISTING_KEY
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                           const BYTE* data, DWORD size) {
    fakewin::Record("RegSetValueExA(" + fakewin::Hex(key) + ", " + fakewin::Quote(valueName) + ", " +
                    std::to_string(reserved) + ", " + std::to_string(type) + ", " +
                    std::to_string(size) + ")");
    if (Get().setValueStatus != ERROR_SUCCESS) return Get().setValueStatus;
    Get().registryWrites.push_back(
        {key, valueName ? valueName : "", type,
         std::string(reinterpret_cast<const char*>(data), size)});
    // What a later read of the setting finds.
    if (valueName && std::string(valueName) == "SCRNSAVE.EXE") {
        Get().screenSaver = std::string(reinterpret_cast<const char*>(data), size).c_str();
        Get().screenSaverType = type;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
    fakewin::Record("RegCloseKey(" + fakewin::Hex(key) + ")");
    --Get().openKeys;
    return ERROR_SUCCESS;
}

BOOL WINAPI ShellExecuteExA(LPSHELLEXECUTEINFOA info) {
    fakewin::Record("ShellExecuteExA(" + fakewin::Quote(info->lpVerb) + ", " +
                    fakewin::Quote(info->lpFile) + ")");
    Get().shellExecutes.push_back({info->cbSize, info->fMask, info->hwnd,
                                   fakewin::Copy(info->lpVerb), fakewin::Copy(info->lpFile),
                                   fakewin::Copy(info->lpParameters),
                                   fakewin::Copy(info->lpDirectory), info->nShow});
    if (Get().shellExecuteFails) return FALSE;
    // Windows opens the image to run reading, sharing reading and deletion.
    if (info->lpFile && fakewin::SharingViolation(fakewin::HostPath(info->lpFile), GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_DELETE)) {
        return FALSE;
    }
    if (Get().onShellExecute) Get().onShellExecute(*info);
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS) info->hProcess = Get().startedProcess;
    return TRUE;
}

HRESULT WINAPI SHGetMalloc(IMalloc** allocator) {
    fakewin::Record("SHGetMalloc()");
    if (FAILED(Get().mallocResult)) {
        *allocator = nullptr;
        return Get().mallocResult;
    }
    ++Get().allocatorReferences;
    *allocator = &fakewin::g_allocator;
    return S_OK;
}

HRESULT WINAPI SHGetSpecialFolderLocation(HWND owner, int folder, LPITEMIDLIST* list) {
    fakewin::Record("SHGetSpecialFolderLocation(" + fakewin::Hex(owner) + ", " +
                    std::to_string(folder) + ")");
    if (FAILED(Get().specialFolderResult) || folder != CSIDL_PROGRAMS) {
        *list = nullptr;
        return FAILED(Get().specialFolderResult) ? Get().specialFolderResult : E_FAIL;
    }
    ++Get().liveIdLists;
    *list = &fakewin::g_programsList;
    return S_OK;
}

BOOL WINAPI SHGetPathFromIDListA(LPCITEMIDLIST list, LPSTR path) {
    fakewin::Record("SHGetPathFromIDListA(" + fakewin::Hex(list) + ")");
    if (list != &fakewin::g_programsList || Get().pathFromIdListFails ||
        Get().programsFolder.size() >= MAX_PATH) {
        path[0] = '\0';
        return FALSE;
    }
    std::memcpy(path, Get().programsFolder.c_str(), Get().programsFolder.size() + 1);
    return TRUE;
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int length, LPWSTR wide,
                               int wideLength) {
    // Invalid bytes fail whatever the flags: the stand-in has no U+FFFD.
    const char* name = fakewin::CodePageName(codePage);
    if (!name || !text || length < 0) return 0;
    const auto out = fakewin::Convert(name, "UTF-16LE", std::string(text, length));
    return out ? fakewin::FillConverted(*out, wide, wideLength) : 0;
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR wide, int wideLength, LPSTR text,
                               int length, LPCSTR, LPBOOL usedDefault) {
    const char* name = fakewin::CodePageName(codePage);
    if (!name || !wide || wideLength < 0) return 0;
    // Character by character (no surrogate pairs), so that one without a
    // form becomes Windows' default character "?".
    std::string out;
    for (int i = 0; i < wideLength; ++i) {
        const auto one = fakewin::Convert(
            "UTF-16LE", name, std::string(reinterpret_cast<const char*>(wide + i), sizeof(WCHAR)));
        out += one ? *one : "?";
    }
    if (usedDefault) *usedDefault = FALSE;
    return fakewin::FillConverted(out, text, length);
}

BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags) {
    fakewin::Record("MoveFileExA(" + fakewin::Quote(existing) + ", " + fakewin::Quote(target) +
                    ", " + fakewin::Hex(flags) + ")");
    if (Get().moveFileError) {
        Get().lastError = *Get().moveFileError;
        return FALSE;
    }
    struct stat info;
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && ::stat(target, &info) == 0) {
        Get().lastError = 183;  // ERROR_ALREADY_EXISTS
        return FALSE;
    }
    if (std::rename(existing, target) != 0) {
        Get().lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR path) {
    fakewin::Record("GetFileAttributesA(" + fakewin::Quote(path) + ")");
    struct stat info;
    if (Get().fileAttributesError) {
        Get().lastError = *Get().fileAttributesError;
    } else if (::stat(path, &info) == 0) {
        // A file without write bits is read-only, as Wine shows it.
        if (S_ISDIR(info.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
        return (info.st_mode & 0222) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    } else {
        Get().lastError = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
    return INVALID_FILE_ATTRIBUTES;
}

DWORD WINAPI GetLastError() { return Get().lastError; }

// DLL loading, the program's own file and its signature check.
namespace fakewin {
namespace {

BOOL WINAPI SetDefaultDllDirectories(DWORD flags) {
    Record("SetDefaultDllDirectories(" + Hex(flags) + ")");
    return Get().setDefaultDllDirectoriesResult;
}

BOOL WINAPI SetDllDirectoryA(LPCSTR path) {
    Record("SetDllDirectoryA(" + Quote(path) + ")");
    return TRUE;
}

LONG WINAPI WinVerifyTrust(HWND window, GUID* action, LPVOID parameters) {
    static const GUID kGenericVerifyV2 = {0x00AAC56B, 0xCD44, 0x11D0,
                                          {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};
    WINTRUST_DATA& data = *static_cast<WINTRUST_DATA*>(parameters);
    Record("WinVerifyTrust(" + std::to_string(data.dwStateAction) + ")");
    TrustCall call{window, std::memcmp(action, &kGenericVerifyV2, sizeof(GUID)) == 0,
                   data.dwUIChoice, data.fdwRevocationChecks, data.dwUnionChoice,
                   data.dwStateAction, data.dwProvFlags, nullptr, "", data.hWVTStateData};
    if (data.dwUnionChoice == WTD_CHOICE_FILE && data.pFile &&
        data.pFile->cbStruct == sizeof(WINTRUST_FILE_INFO)) {
        call.file = data.pFile->hFile;
        for (LPCWSTR c = data.pFile->pcwszFilePath; c && *c; ++c) {
            call.path += static_cast<char>(*c);
        }
    }
    Get().trustCalls.push_back(call);
    if (data.cbStruct != sizeof(WINTRUST_DATA)) return static_cast<LONG>(0x80070057u);
    // The verification keeps its state for the closing call to release.
    if (data.dwStateAction == WTD_STATEACTION_VERIFY) {
        data.hWVTStateData = reinterpret_cast<HANDLE>(0x7200);
        return Get().trustResult;
    }
    if (data.dwStateAction == WTD_STATEACTION_CLOSE) data.hWVTStateData = nullptr;
    return 0;
}

DWORD WINAPI GetFinalPathNameByHandleA(HANDLE file, LPSTR buffer, DWORD size, DWORD flags) {
    Record("GetFinalPathNameByHandleA(" + Hex(file) + ", " + std::to_string(size) + ", " +
           Hex(flags) + ")");
    const auto open = Get().openFiles.find(file);
    if (open == Get().openFiles.end()) {
        Get().lastError = 6;  // ERROR_INVALID_HANDLE
        return 0;
    }
    std::string given;
    for (const CreateFileCall& call : Get().createdFiles) {
        if (call.handle == file) given = call.path;
    }
    const auto result = Get().finalPathResults.find(given);
    if (result != Get().finalPathResults.end()) return result->second;
    const auto scripted = Get().finalPaths.find(given);
    if (scripted != Get().finalPaths.end()) return FillPath(scripted->second, buffer, size);
    char resolved[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(open->second.fd);
    const ssize_t length = ::readlink(link.c_str(), resolved, sizeof resolved);
    if (length <= 0) return 0;
    std::string path(resolved, static_cast<size_t>(length));
    char cwd[4096];
    const std::string here = ::getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" : std::string();
    if (!here.empty() && path.compare(0, here.size(), here) == 0 && path.size() > here.size() + 2 &&
        std::isalpha(static_cast<unsigned char>(path[here.size()])) &&
        path.compare(here.size() + 1, 2, ":/") == 0) {
        path = "\\\\?\\" + path.substr(here.size());
        for (char& c : path) {
            if (c == '/') c = '\\';
        }
    }
    return FillPath(path, buffer, size);
}

BOOLEAN WINAPI RtlGenRandom(PVOID buffer, ULONG size) {
    Record("SystemFunction036(" + std::to_string(size) + ")");
    if (Get().rtlGenRandomFails) return FALSE;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    for (ULONG i = 0; i < size; ++i) {
        if (!Get().randomBytes.empty()) {
            out[i] = static_cast<unsigned char>(Get().randomBytes[0]);
            Get().randomBytes.erase(0, 1);
        } else {
            out[i] = Get().nextRandomByte++;
        }
    }
    return TRUE;
}

template <typename Function>
FARPROC AsFarProc(Function function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace
}  // namespace fakewin

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    fakewin::Record("GetModuleHandleA(" + fakewin::Quote(name) + ")");
    const std::string module = name ? name : "";
    if (module == "advapi32.dll") return fakewin::Advapi32();
    return module == "kernel32.dll" ? fakewin::Kernel32() : nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    fakewin::Record("GetProcAddress(" + fakewin::Hex(module) + ", " + fakewin::Quote(name) + ")");
    const std::string function = name ? name : "";
    if (module == fakewin::Kernel32()) {
        if (function == "SetDefaultDllDirectories" && Get().hasSetDefaultDllDirectories) {
            return fakewin::AsFarProc(&fakewin::SetDefaultDllDirectories);
        }
        if (function == "SetDllDirectoryA" && Get().hasSetDllDirectory) {
            return fakewin::AsFarProc(&fakewin::SetDllDirectoryA);
        }
        if (function == "GetFinalPathNameByHandleA" && Get().hasGetFinalPathName) {
            return fakewin::AsFarProc(&fakewin::GetFinalPathNameByHandleA);
        }
    }
    if (module == fakewin::Advapi32() && function == "SystemFunction036" &&
        Get().hasRtlGenRandom) {
        return fakewin::AsFarProc(&fakewin::RtlGenRandom);
    }
    if (module == fakewin::Wintrust() && function == "WinVerifyTrust") {
        return fakewin::AsFarProc(&fakewin::WinVerifyTrust);
    }
    return nullptr;
}

HMODULE WINAPI LoadLibraryExA(LPCSTR path, HANDLE, DWORD flags) {
    fakewin::Record("LoadLibraryExA(" + fakewin::Quote(path) + ", " + fakewin::Hex(flags) + ")");
    if (Get().wintrustMissing || !path || path != Get().systemDirectory + "\\wintrust.dll") {
        Get().lastError = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    ++Get().loadedLibraries;
    return fakewin::Wintrust();
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    fakewin::Record("FreeLibrary(" + fakewin::Hex(module) + ")");
    if (module != fakewin::Wintrust()) return FALSE;
    --Get().loadedLibraries;
    return TRUE;
}

// ---- The uninstaller's work folder and its held files.

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    fakewin::Record("OpenProcessToken(" + fakewin::Hex(process) + ", " + fakewin::Hex(access) +
                    ")");
    if (Get().tokenQueryFails) return FALSE;
    ++Get().openTokens;
    *token = fakewin::kToken;
    return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID information,
                                DWORD length, LPDWORD returned) {
    fakewin::Record("GetTokenInformation(" + fakewin::Hex(token) + ", " +
                    std::to_string(static_cast<int>(type)) + ", " + std::to_string(length) + ")");
    if (token != fakewin::kToken || type != TokenElevation ||
        length < sizeof(TOKEN_ELEVATION)) {
        return FALSE;
    }
    static_cast<TOKEN_ELEVATION*>(information)->TokenIsElevated = Get().elevated ? 1 : 0;
    *returned = sizeof(TOKEN_ELEVATION);
    return TRUE;
}

UINT WINAPI GetSystemWindowsDirectoryA(LPSTR buffer, UINT size) {
    fakewin::Record("GetSystemWindowsDirectoryA(" + std::to_string(size) + ")");
    if (Get().windowsDirectoryResult) return *Get().windowsDirectoryResult;
    return fakewin::FillPath(Get().windowsDirectory, buffer, size);
}

UINT WINAPI GetSystemWow64DirectoryA(LPSTR buffer, UINT size) {
    fakewin::Record("GetSystemWow64DirectoryA(" + std::to_string(size) + ")");
    if (!Get().wow64Directory) return 0;  // ERROR_CALL_NOT_IMPLEMENTED on a 32-bit Windows
    return fakewin::FillPath(*Get().wow64Directory, buffer, size);
}

DWORD WINAPI GetCurrentProcessId() {
    fakewin::Record("GetCurrentProcessId()");
    return Get().processId;
}

DWORD WINAPI GetTickCount() {
    fakewin::Record("GetTickCount()");
    return Get().tickCount;
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 PULONG size) {
    fakewin::Record("ConvertStringSecurityDescriptorToSecurityDescriptorA(" + fakewin::Quote(text) +
                    ", " + std::to_string(revision) + ")");
    if (!text || revision != SDDL_REVISION_1) return FALSE;
    *descriptor = new std::string(text);
    if (size) *size = static_cast<ULONG>(std::strlen(text));
    ++Get().liveDescriptors;
    return TRUE;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
    fakewin::Record("LocalFree(" + fakewin::Hex(memory) + ")");
    if (memory) {
        delete static_cast<std::string*>(memory);
        --Get().liveDescriptors;
    }
    return nullptr;
}

BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
    fakewin::Record("CreateDirectoryA(" + fakewin::Quote(path) + ")");
    const std::string sddl = security && security->lpSecurityDescriptor
                                 ? *static_cast<std::string*>(security->lpSecurityDescriptor)
                                 : std::string();
    Get().createdDirectories.emplace_back(path ? path : "", sddl);
    if (Get().createDirectoryError) {
        Get().lastError = *Get().createDirectoryError;
        return FALSE;
    }
    if (::mkdir(fakewin::HostPath(path).c_str(), 0700) == 0) return TRUE;
    Get().lastError = errno == EEXIST ? ERROR_ALREADY_EXISTS
                      : (errno == ENOENT || errno == ENOTDIR) ? ERROR_PATH_NOT_FOUND
                                                               : ERROR_ACCESS_DENIED;
    return FALSE;
}

// The one model of files for both the program's own file and the work
// folder's: a scripted failure first, then the host file with share modes.
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD, HANDLE) {
    fakewin::Record("CreateFileA(" + fakewin::Quote(path) + ", " + fakewin::Hex(access) + ", " +
                    fakewin::Hex(share) + ", " + std::to_string(disposition) + ")");
    const HANDLE handle = fakewin::OpenHostFile(path, access, share, disposition);
    Get().createdFiles.push_back({path ? path : "", access, share, disposition, handle});
    if (handle != INVALID_HANDLE_VALUE && Get().onCreateFile) {
        Get().onCreateFile(path, access, share);
    }
    return handle;
}

BOOL WINAPI WriteFile(HANDLE file, const void* data, DWORD size, LPDWORD written, void*) {
    fakewin::Record("WriteFile(" + fakewin::Hex(file) + ", " + std::to_string(size) + ")");
    const auto open = Get().openFiles.find(file);
    *written = 0;
    if (open == Get().openFiles.end() || !(open->second.access & GENERIC_WRITE)) return FALSE;
    const ssize_t done = ::write(open->second.fd, data, size);
    if (done < 0) return FALSE;
    *written = static_cast<DWORD>(done);
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read, void*) {
    fakewin::Record("ReadFile(" + fakewin::Hex(file) + ", " + std::to_string(size) + ")");
    const auto open = Get().openFiles.find(file);
    *read = 0;
    if (open == Get().openFiles.end() || !(open->second.access & GENERIC_READ)) return FALSE;
    const ssize_t done = ::read(open->second.fd, data, size);
    if (done < 0) return FALSE;
    *read = static_cast<DWORD>(done);
    return TRUE;
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                             LPDWORD size) {
    fakewin::Record("RegQueryValueExA(" + fakewin::Hex(key) + ", " + fakewin::Quote(valueName) +
                    ", " + std::to_string(size ? *size : 0) + ")");
    if (!Get().screenSaver || std::string(valueName ? valueName : "") != "SCRNSAVE.EXE") {
        return ERROR_FILE_NOT_FOUND;
    }
    const std::string& value = *Get().screenSaver;
    if (type) *type = Get().screenSaverType;
    const DWORD needed = static_cast<DWORD>(value.size() + 1);
    if (data && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data) std::memcpy(data, value.c_str(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

DWORD WINAPI GetShortPathNameA(LPCSTR path, LPSTR buffer, DWORD size) {
    fakewin::Record("GetShortPathNameA(" + fakewin::Quote(path) + ")");
    return fakewin::FillFormOf(path, true, buffer, size);
}

DWORD WINAPI GetLongPathNameA(LPCSTR path, LPSTR buffer, DWORD size) {
    fakewin::Record("GetLongPathNameA(" + fakewin::Quote(path) + ")");
    return fakewin::FillFormOf(path, false, buffer, size);
}
// ---- end of the work folder's functions
