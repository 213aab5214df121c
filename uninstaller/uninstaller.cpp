// Kobaru_ScreenSaver_Cleaner: removes the screen saver. Clears the user's
// screen saver setting, runs the elevated cleaner carried in the archive
// appended to this executable, removes the Start-menu shortcut and folder,
// reports completion and has its own file deleted after it ends. Speaks only
// through message boxes; the exit code is always 0.
#include <windows.h>

#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "delete_self.h"
#include "dll_search.h"
#include "final_path.h"
#include "own_file.h"
#include "system_directory.h"
#include "tamarin/extract.h"
#include "tamarin/pack_file.h"
#include "uninstaller.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "SHELLEXECUTEINFOA must have its 32-bit layout");
#endif
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA must be 148 bytes");

namespace {

// Entry name in the archive, and the file name of the temporary copy.
const char kCleanerName[] = "Kobaru_ScreenSaver_Cleaner_RA.exe";

// Texts and names in Shift-JIS (code page 932).
// "申し訳ございませんが、お使いのOSには対応しておりません。"
const char kUnsupportedOsText[] =
    "\x90\x5C\x82\xB5\x96\xF3\x82\xB2\x82\xB4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x82\xAA\x81"
    "\x41\x82\xA8\x8Eg\x82\xA2\x82\xCCOS\x82\xC9\x82\xCD\x91\xCE\x89\x9E\x82\xB5\x82\xC4"
    "\x82\xA8\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81\x42";
// "エラー"
const char kErrorTitle[] = "\x83G\x83\x89\x81[";
// The advice that closes both start errors:
// "Windowsを再起動してからやり直してください。\n問題が解決しない場合は、サポートまで
//  お問い合わせください。\nご迷惑をおかけし、申し訳ございません。"
#define KOBARU_START_ERROR_ADVICE \
    "Windows\x82\xF0\x8D\xC4\x8BN\x93\xAE\x82\xB5\x82\xC4\x82\xA9\x82\xE7\x82\xE2\x82\xE8" \
    "\x92\xBC\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42\n" \
    "\x96\xE2\x91\xE8\x82\xAA\x89\xF0\x8C\x88\x82\xB5\x82\xC8\x82\xA2\x8F\xEA\x8D\x87\x82" \
    "\xCD\x81\x41\x83T\x83|\x81[\x83g\x82\xDC\x82\xC5\x82\xA8\x96\xE2\x82\xA2\x8D\x87\x82" \
    "\xED\x82\xB9\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42\n" \
    "\x82\xB2\x96\xC0\x98\x66\x82\xF0\x82\xA8\x82\xA9\x82\xAF\x82\xB5\x81\x41\x90\x5C\x82" \
    "\xB5\x96\xF3\x82\xB2\x82\xB4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81\x42"
// "インストール補助プログラムを開始できません。\nWindowsを再起動してからやり直してください。\n
//  問題が解決しない場合は、サポートまでお問い合わせください。\nご迷惑をおかけし、申し訳ございません。"
const char kCannotStartText[] =
    "\x83\x43\x83\x93\x83X\x83g\x81[\x83\x8B\x95\xE2\x8F\x95\x83v\x83\x8D\x83O\x83\x89\x83"
    "\x80\x82\xF0\x8AJ\x8En\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81\x42\n"
    KOBARU_START_ERROR_ADVICE;
// "インストール補助プログラムの情報が取得できません。\nWindowsを再起動してからやり直してください。\n
//  問題が解決しない場合は、サポートまでお問い合わせください。\nご迷惑をおかけし、申し訳ございません。"
const char kNoProcessHandleText[] =
    "\x83\x43\x83\x93\x83X\x83g\x81[\x83\x8B\x95\xE2\x8F\x95\x83v\x83\x8D\x83O\x83\x89\x83"
    "\x80\x82\xCC\x8F\xEE\x95\xF1\x82\xAA\x8E\xE6\x93\xBE\x82\xC5\x82\xAB\x82\xDC\x82\xB9"
    "\x82\xF1\x81\x42\n"
    KOBARU_START_ERROR_ADVICE;
// "スクリーンセーバーを削除できませんでした。\nWindowsを再起動してからやり直してください。\n
//  問題が解決しない場合は、サポートまでお問い合わせください。\nご迷惑をおかけし、申し訳ございません。"
const char kNotRemovedText[] =
    "\x83\x58\x83\x4E\x83\x8A\x81\x5B\x83\x93\x83\x5A\x81\x5B\x83\x6F\x81\x5B\x82\xF0"
    "\x8D\xED\x8F\x9C\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81\x42\n"
    KOBARU_START_ERROR_ADVICE;
// "アンインストールが完了しました。"
const char kCompletedText[] =
    "\x83\x41\x83\x93\x83\x43\x83\x93\x83X\x83g\x81[\x83\x8B\x82\xAA\x8A\xAE\x97\xB9\x82"
    "\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";
// "\こばる川柳スクリーンセーバー\こばる川柳スクリーンセーバー2014の削除.lnk"
const char kShortcutSuffix[] =
    "\x5C\x82\xB1\x82\xCE\x82\xE9\x90\xEC\x96\xF6\x83X\x83N\x83\x8A\x81[\x83\x93\x83Z\x81["
    "\x83o\x81[\x5C\x82\xB1\x82\xCE\x82\xE9\x90\xEC\x96\xF6\x83X\x83N\x83\x8A\x81[\x83\x93"
    "\x83Z\x81[\x83o\x81[2014\x82\xCC\x8D\xED\x8F\x9C.lnk";
// "\こばる川柳スクリーンセーバー"
const char kFolderSuffix[] =
    "\x5C\x82\xB1\x82\xCE\x82\xE9\x90\xEC\x96\xF6\x83X\x83N\x83\x8A\x81[\x83\x93\x83Z\x81["
    "\x83o\x81[";

// The errors come to the front over every window, system-modal.
void ShowError(const char* text) {
    MessageBoxA(GetTopWindow(GetForegroundWindow()), text, kErrorTitle,
                MB_SYSTEMMODAL | MB_SETFOREGROUND | MB_TOPMOST);
}

class RegistryKey {
public:
    explicit RegistryKey(HKEY key) : m_key(key) {}
    ~RegistryKey() { RegCloseKey(m_key); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

private:
    HKEY m_key;
};

class ShellAllocator {
public:
    explicit ShellAllocator(IMalloc* allocator) : m_allocator(allocator) {}
    ~ShellAllocator() { m_allocator->Release(); }
    ShellAllocator(const ShellAllocator&) = delete;
    ShellAllocator& operator=(const ShellAllocator&) = delete;

private:
    IMalloc* m_allocator;
};

// Elevated: the cleaner needs no consent prompt, so it is started directly
// by its full path, in its own folder; the shell, whose lookup of the
// program's verb reads the user's own class keys, is left out. Null when it
// cannot start; else its process handle.
HANDLE StartElevated(const std::string& copyPath, const std::string& folder) {
    std::string quoted = "\"" + copyPath + "\"";
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    if (!CreateProcessA(copyPath.c_str(), &quoted[0], nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Not elevated: through the shell, for the consent prompt that the
// cleaner's manifest asks for. Sets failure when it cannot start or hands
// back no process.
HANDLE StartThroughShell(const std::string& path, const char*& failure) {
    SHELLEXECUTEINFOA info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = "open";
    info.lpFile = path.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&info)) {
        failure = kCannotStartText;
    } else if (!info.hProcess) {
        failure = kNoProcessHandleText;
    }
    return info.hProcess;
}

// Starts the cleaner's copy and waits for it without a time limit; its exit
// code tells nothing. The copy stays held until the cleaner has ended, and
// is then deleted, on every path. Not elevated, the copy lies in the user's
// TEMP, whose path the user can point elsewhere: it is started by the final
// path of the held handle, which names the file that was read back. True
// when the cleaner could not be started or waited for, after the error
// message.
bool RunCleaner(const std::string& copyPath, HANDLE held, bool elevated,
                const std::string& folder) {
    const char* failure = nullptr;
    std::string path = copyPath;
    HANDLE process = nullptr;
    if (elevated) {
        process = StartElevated(copyPath, folder);
        if (!process) failure = kCannotStartText;
    } else {
        path = GetFinalPath(held, copyPath);
        if (path.empty()) {
            path = copyPath;
            failure = kCannotStartText;
        } else {
            process = StartThroughShell(path, failure);
        }
    }
    if (!failure) {
        WaitForSingleObject(process, INFINITE);
        CloseHandle(process);
    }
    CloseHandle(held);
    if (failure) ShowError(failure);
    DeleteFileA(path.c_str());
    return failure != nullptr;
}

// True when the screen saver, or a temporary that an interrupted
// installation left beside either installed file, is still in the system
// directory after the cleaner has run, or when that cannot be told: the
// product must then not be reported as removed.
bool ScreenSaverRemains() {
    const std::string systemDirectory = GetSystemDirectoryPath();
    if (systemDirectory.empty()) return true;
    for (const char* name : {"\\Kobaru_Senryu_2014.scr", "\\Kobaru_Senryu_2014.sc~",
                             "\\Kobaru_ScreenSaver_2014_Cleaner.ex~"}) {
        if (GetFileAttributesA((systemDirectory + name).c_str()) != INVALID_FILE_ATTRIBUTES ||
            GetLastError() != ERROR_FILE_NOT_FOUND) {
            return true;
        }
    }
    return false;
}

// Outcomes unexamined: a missing shortcut or a folder that still holds
// other entries is left as it is.
void RemoveStartMenuEntries() {
    // An empty Programs path would put both names at the root of the current
    // drive, where nothing is ours.
    const std::string shortcutFolder = GetProgramsFolderPath();
    if (!shortcutFolder.empty()) DeleteFileA((shortcutFolder + kShortcutSuffix).c_str());
    const std::string folder = GetProgramsFolderPath();
    if (!folder.empty()) RemoveDirectoryA((folder + kFolderSuffix).c_str());
}

// The unique folder's protection: owned by the Administrators (not by the
// user who made it, who as owner could rewrite its DACL), SYSTEM and the
// Administrators full control, passed on to what is made in it, nothing
// taken from above.
const char kOwnFolderSecurity[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// New names tried before giving up: each one another program took first.
const int kFolderTries = 16;

// Whether every byte of path is one that the deletion batch may show the
// command interpreter outside quotes: ASCII letters and digits, the blank,
// "\", ":", ".", "_", "-", and Shift-JIS pairs whole. Any other ("%", "!",
// "&", "^", "|", "<", ">", "(", ")", ...) could expand or inject a command.
bool HasOnlyBatchSafeBytes(const std::string& path) {
    for (size_t i = 0; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
            if (++i == path.size()) return false;
            const unsigned char trail = static_cast<unsigned char>(path[i]);
            if (trail < 0x40 || trail == 0x7F || trail > 0xFC) return false;
        } else if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                     (c >= '0' && c <= '9') || std::strchr(" \\:._-", c) != nullptr) ||
                   c == '\0') {
            return false;
        }
    }
    return true;
}

// 16 hex digits from the system's random generator (RtlGenRandom, exported
// by advapi32 as SystemFunction036), so that no other process can take the
// folder's name first. False when the generator is missing or fails.
bool RandomName(char (&digits)[17]) {
    typedef BOOLEAN(WINAPI * RtlGenRandomFunction)(PVOID, ULONG);
    const HMODULE advapi32 = GetModuleHandleA("advapi32.dll");
    const RtlGenRandomFunction generate =
        advapi32 ? reinterpret_cast<RtlGenRandomFunction>(reinterpret_cast<void (*)()>(
                       GetProcAddress(advapi32, "SystemFunction036")))
                 : nullptr;
    unsigned char bytes[8];
    if (!generate || !generate(bytes, sizeof bytes)) return false;
    for (size_t i = 0; i < sizeof bytes; ++i) {
        std::snprintf(digits + 2 * i, 3, "%02X", bytes[i]);
    }
    return true;
}

// Makes a folder of a new unique name under the Windows folder's Temp that
// only the Administrators and SYSTEM can change, and gives its path with a
// trailing backslash. Ordinary users may create there, but not rename or
// delete what others made. True on failure; nothing is left then.
bool MakeOwnFolder(std::string& folder) {
    // The shared Windows folder: on a terminal server GetWindowsDirectoryA
    // may give a program a folder of the user's own.
    char windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryA(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return true;
    // The deletion batch names the folder and the system directory's
    // programs to a command interpreter, partly outside quotes.
    if (!HasOnlyBatchSafeBytes(std::string(windows, length)) ||
        !HasOnlyBatchSafeBytes(GetSystemDirectoryPath())) {
        return true;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kOwnFolderSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return true;
    }
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    bool failed = true;
    for (int attempt = 0; attempt < kFolderTries && failed; ++attempt) {
        char digits[17];
        if (!RandomName(digits)) break;
        folder.assign(windows, length);
        folder += "\\Temp\\Kobaru_";
        folder += digits;
        failed = !CreateDirectoryA(folder.c_str(), &security);
        // Any other failure (no Temp, no rights) is not cured by a new name.
        if (failed && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    LocalFree(descriptor);
    if (failed) return true;
    folder += '\\';
    return false;
}

// Removes the unique folder on the ways out that do not hand it to the
// deletion batch; by then nothing of ours is left in it.
class FolderRemover {
public:
    explicit FolderRemover(const std::string& folder) : m_folder(folder) {}
    ~FolderRemover() {
        if (!m_folder.empty()) RemoveDirectoryA(m_folder.c_str());
    }
    void Release() { m_folder.clear(); }
    FolderRemover(const FolderRemover&) = delete;
    FolderRemover& operator=(const FolderRemover&) = delete;

private:
    std::string m_folder;
};

// Whether the file holds exactly these bytes, read from its start.
bool HoldsExactly(HANDLE file, const std::string& bytes) {
    // Without memory to compare, the copy is not known to be ours.
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[1u << 16]);
    if (!chunk) return false;
    size_t at = 0;
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(file, chunk.get(), 1u << 16, &count, nullptr)) return false;
        if (count == 0) return at == bytes.size();
        if (count > bytes.size() - at || bytes.compare(at, count, chunk.get(), count) != 0) {
            return false;
        }
        at += count;
    }
}

// Writes the cleaner to copyPath, which must not exist yet, and hands it
// back held open for reading and sharing only reading: from its creation
// until the handle is closed no process can change, rename or delete it,
// and the system can still start it. CreateProcess opens the image
// sharing reading and deletion, so the handle held must not write; the
// write handle is let go through a reading handle that shares writing and
// not deletion, and the bytes are read back through the held handle to
// catch a write slipped in meanwhile. Null on failure, after the message;
// a copy made here is gone then.
HANDLE WriteHeldCopy(const char* copyPath) {
    HANDLE write = CreateFileA(copyPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (write == INVALID_HANDLE_VALUE) {
        ShowProductMessage(kCannotWriteText);
        return nullptr;
    }
    std::string written;
    bool failed = ExtractEntryTo(kCleanerName, [&](const unsigned char* data, uint32_t size) {
        written.append(reinterpret_cast<const char*>(data), size);
        DWORD count = 0;
        return !WriteFile(write, data, size, &count, nullptr) || count != size;
    });
    HANDLE held = INVALID_HANDLE_VALUE;
    if (!failed) {
        const HANDLE bridge =
            CreateFileA(copyPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        CloseHandle(write);
        write = INVALID_HANDLE_VALUE;
        if (bridge != INVALID_HANDLE_VALUE) {
            held = CreateFileA(copyPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
            CloseHandle(bridge);
        }
        failed = held == INVALID_HANDLE_VALUE || !HoldsExactly(held, written);
        if (failed) ShowProductMessage(kCannotWriteText);
    }
    if (!failed) return held;
    if (write != INVALID_HANDLE_VALUE) CloseHandle(write);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    DeleteFileA(copyPath);
    return nullptr;
}

// True when this program's token is elevated; false where that cannot be
// told (a system without user account control).
bool IsElevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation = {0};
    DWORD size = 0;
    const bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation,
                                              &size) &&
                          elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}

// Case-insensitive for ASCII letters, as Windows compares file names; the
// second byte of a Shift-JIS character is compared as it is.
bool SameFileName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[i]);
        const bool lead = (x >= 0x81 && x <= 0x9F) || (x >= 0xE0 && x <= 0xFC);
        if (lead) {
            if (x != y || i + 1 >= a.size() || a[i + 1] != b[i + 1]) return false;
            ++i;
        } else if (std::tolower(x) != std::tolower(y) || (x >= 0x80) != (y >= 0x80)) {
            return false;
        }
    }
    return true;
}

// The other form of a path from GetShortPathNameA or GetLongPathNameA;
// empty when the file cannot be found or the form does not fit.
std::string OtherForm(DWORD(WINAPI* convert)(LPCSTR, LPSTR, DWORD), const std::string& path) {
    char buffer[MAX_PATH];
    const DWORD length = convert(path.c_str(), buffer, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::string() : std::string(buffer, length);
}

// Whether a screen saver setting names our file in the system directory
// (or, on a 64-bit Windows, in the folder that a 32-bit program's system
// directory stands for), in its long or short form, whatever the case.
// Short forms are known only while the file exists; the cleaner deletes
// it only after this check.
bool NamesOurScreenSaver(const std::string& value) {
    std::string directories[2] = {GetSystemDirectoryPath()};
    char wow64[MAX_PATH];
    const UINT wow64Length = GetSystemWow64DirectoryA(wow64, MAX_PATH);
    if (wow64Length > 0 && wow64Length < MAX_PATH) directories[1].assign(wow64, wow64Length);
    std::string ours[2];
    for (int i = 0; i < 2; ++i) {
        if (!directories[i].empty()) ours[i] = directories[i] + "\\Kobaru_Senryu_2014.scr";
        if (!ours[i].empty() && SameFileName(value, ours[i])) return true;
    }
    // The other forms only where the name as it stands is not ours.
    const std::string longValue = OtherForm(GetLongPathNameA, value);
    for (const std::string& path : ours) {
        if (path.empty()) continue;
        const std::string shortPath = OtherForm(GetShortPathNameA, path);
        if ((!longValue.empty() && SameFileName(longValue, path)) ||
            (!shortPath.empty() && SameFileName(value, shortPath))) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool IsUnsupportedOs() {
    // A failed query leaves dwPlatformId at 0, which counts as unsupported.
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(&info);
    return info.dwPlatformId != VER_PLATFORM_WIN32_NT;
}

namespace {

// Opens HKEY_CURRENT_USER "Control Panel\Desktop", creating it where it is
// missing. False when it cannot be opened.
bool OpenDesktopKey(HKEY& key) {
    char noClass[] = "";
    return RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, noClass,
                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                           nullptr) == ERROR_SUCCESS;
}

// The setting as a string of type REG_SZ. False when it is absent, of
// another type, too long to be a path, or cannot be read.
bool ReadSetting(HKEY key, std::string& setting) {
    char value[MAX_PATH + 1];
    DWORD type = 0;
    DWORD size = sizeof value - 1;
    if (RegQueryValueExA(key, "SCRNSAVE.EXE", nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    // The data may lack its terminating zero.
    value[size] = '\0';
    setting = value;
    return true;
}

}  // namespace

bool FindOurScreenSaverSetting(std::string& setting) {
    HKEY key;
    if (!OpenDesktopKey(key)) return false;
    const RegistryKey closer(key);
    // Another screen saver that the user chose stays chosen.
    return ReadSetting(key, setting) && NamesOurScreenSaver(setting);
}

bool ResetScreenSaverSetting(const std::string& setting) {
    HKEY key;
    if (!OpenDesktopKey(key)) return true;
    const RegistryKey closer(key);
    // A choice the user made meanwhile stays.
    std::string now;
    if (!ReadSetting(key, now) || now != setting) return false;
    // The empty string: its terminating zero byte alone.
    static const BYTE kEmpty[1] = {0};
    return RegSetValueExA(key, "SCRNSAVE.EXE", 0, REG_SZ, kEmpty, sizeof kEmpty) != ERROR_SUCCESS;
}

std::string GetProgramsFolderPath() {
    char path[MAX_PATH] = "";
    // Without the allocator the identifier list could not be freed.
    IMalloc* allocator = nullptr;
    if (FAILED(SHGetMalloc(&allocator)) || !allocator) return std::string();
    const ShellAllocator holder(allocator);
    LPITEMIDLIST list = nullptr;
    if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &list))) {
        if (!SHGetPathFromIDListA(list, path)) path[0] = '\0';
        allocator->Free(list);
    }
    return path;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    RestrictDllSearch();
    if (IsUnsupportedOs()) {
        ShowProductMessage(kUnsupportedOsText);
        return 0;
    }

    // Both paths are read and checked before anything is changed: cut short
    // by its buffer, either would name some other file. Entries are read
    // from this very executable.
    char ownPath[MAX_PATH];
    const DWORD ownLength = GetModuleFileNameA(nullptr, ownPath, MAX_PATH);
    if (ownLength == 0 || ownLength >= MAX_PATH) {
        ShowProductMessage(kBrokenInstallerText);
        return 0;
    }
    // Held until WinMain returns, past the reading of the cleaner; a damaged
    // or tampered file changes nothing, not even the screen saver setting.
    OwnFile ownFile;
    if (ownFile.OpenVerified(ownPath)) return 0;
    // Elevated, the cleaner's copy and the deletion batch go to a folder of
    // their own that no process without administrator rights can change:
    // run from the user's TEMP, a file planted or swapped there would run
    // with these rights. There is no falling back to TEMP.
    const bool elevated = IsElevated();
    std::string folder;
    if (elevated) {
        if (MakeOwnFolder(folder)) {
            ShowProductMessage(kCannotWriteText);
            return 0;
        }
    } else {
        char temp[MAX_PATH];
        const DWORD tempLength = GetTempPathA(MAX_PATH, temp);
        if (tempLength > 0 && tempLength < MAX_PATH) folder.assign(temp, tempLength);
    }
    FolderRemover remover(elevated ? folder : std::string());
    const std::string copyPath = folder + kCleanerName;
    if (folder.empty() || copyPath.size() >= MAX_PATH) {
        ShowProductMessage(kCannotWriteText);
        return 0;
    }

    // Whether the setting names our screen saver is told now, while the
    // file exists (its short form is known only then); it is cleared only
    // once the screen saver is gone, so a refused prompt or a failed
    // cleaner leaves the user's choice as it was.
    std::string setting;
    const bool settingIsOurs = FindOurScreenSaverSetting(setting);

    // Entries are read from the file that was checked, by its resolved path.
    tamarin::g_rootArchivePath = ownFile.VerifiedPath();
    // In TEMP a copy left by an earlier run is ours to replace.
    if (!elevated) DeleteFileA(copyPath.c_str());
    const HANDLE held = WriteHeldCopy(copyPath.c_str());
    if (!held) return 0;
    if (RunCleaner(copyPath, held, elevated, folder)) return 0;
    // Left in place, everything stays for a later run to try again.
    if (ScreenSaverRemains()) {
        ShowError(kNotRemovedText);
        return 0;
    }
    // A failure here is silent and does not stop the removal.
    if (settingIsOurs) ResetScreenSaverSetting(setting);

    RemoveStartMenuEntries();
    ShowProductMessage(kCompletedText);
    // The batch removes the folder after itself, or DeleteSelf does when it
    // cannot start it.
    remover.Release();
    DeleteSelf(elevated ? folder : std::string());
    return 0;
}
