// Kobaru_ScreenSaver_Cleaner: removes the screen saver. Clears the user's
// screen saver setting, runs the elevated cleaner carried in the archive
// appended to this executable, removes the Start-menu shortcut and folder,
// reports completion and has its own file deleted after it ends. Speaks only
// through message boxes; the exit code is always 0.
#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "delete_self.h"
#include "dll_search.h"
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

// Starts the cleaner's copy (the system asks for administrator rights) and
// waits for it without a time limit; its exit code tells nothing. The copy
// is deleted on every path. True when the cleaner could not be started or
// waited for, after the error message.
bool RunCleaner(const char* copyPath) {
    SHELLEXECUTEINFOA info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = "open";
    info.lpFile = copyPath;
    info.nShow = SW_SHOWNORMAL;

    const char* failure = nullptr;
    if (!ShellExecuteExA(&info)) {
        failure = kCannotStartText;
    } else if (!info.hProcess) {
        failure = kNoProcessHandleText;
    } else {
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hProcess);
    }
    if (failure) ShowError(failure);
    DeleteFileA(copyPath);
    return failure != nullptr;
}

// True when the screen saver is still in the system directory after the
// cleaner has run, or when that cannot be told: the product must then not
// be reported as removed.
bool ScreenSaverRemains() {
    const std::string systemDirectory = GetSystemDirectoryPath();
    if (systemDirectory.empty()) return true;
    if (GetFileAttributesA((systemDirectory + "\\Kobaru_Senryu_2014.scr").c_str()) !=
        INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    return GetLastError() != ERROR_FILE_NOT_FOUND;
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

}  // namespace

bool IsUnsupportedOs() {
    // A failed query leaves dwPlatformId at 0, which counts as unsupported.
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(&info);
    return info.dwPlatformId != VER_PLATFORM_WIN32_NT;
}

bool ResetScreenSaverSetting() {
    char noClass[] = "";
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, noClass,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return true;
    }
    const RegistryKey closer(key);
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
    // Held until the cleaner has been read out; a damaged or tampered file
    // changes nothing, not even the screen saver setting.
    OwnFile ownFile;
    if (ownFile.OpenVerified(ownPath)) return 0;
    char copyPath[MAX_PATH];
    const DWORD tempLength = GetTempPathA(MAX_PATH, copyPath);
    if (tempLength == 0 || tempLength >= MAX_PATH ||
        MAX_PATH - tempLength < sizeof kCleanerName) {
        ShowProductMessage(kCannotWriteText);
        return 0;
    }
    std::memcpy(copyPath + tempLength, kCleanerName, sizeof kCleanerName);

    // A failure here is silent and does not stop the removal.
    ResetScreenSaverSetting();

    tamarin::g_rootArchivePath.assign(ownPath, ownLength);
    if (ExtractEntry(copyPath, kCleanerName)) return 0;
    if (RunCleaner(copyPath)) return 0;
    // Left in place, everything stays for a later run to try again.
    if (ScreenSaverRemains()) {
        ShowError(kNotRemovedText);
        return 0;
    }

    RemoveStartMenuEntries();
    ShowProductMessage(kCompletedText);
    DeleteSelf();
    return 0;
}
