#include "own_file.h"

#include <wintrust.h>

#include <cstring>

#include "dll_search.h"
#include "final_path.h"
#include "tamarin/extract.h"

namespace {

typedef LONG(WINAPI* WinVerifyTrustFunction)(HWND, GUID*, LPVOID);

// WINTRUST_ACTION_GENERIC_VERIFY_V2: the Authenticode policy.
GUID kGenericVerifyV2 = {0x00AAC56B, 0xCD44, 0x11D0,
                         {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

// TRUST_E_BAD_DIGEST: the signature does not cover these bytes.
const LONG kBadDigest = static_cast<LONG>(0x80096010u);

class Library {
public:
    explicit Library(HMODULE module) : m_module(module) {}
    ~Library() {
        if (m_module) FreeLibrary(m_module);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    HMODULE get() const { return m_module; }

private:
    HMODULE m_module;
};

// True when file, held open and named path, has a signature whose digest
// does not match. wintrust is not a known DLL: it is loaded from the system
// directory by its full path, never through the import table.
bool HasBadDigest(HANDLE file, const char* path) {
    WCHAR widePath[MAX_PATH];
    const int pathSize = static_cast<int>(std::strlen(path)) + 1;
    if (MultiByteToWideChar(CP_ACP, 0, path, pathSize, widePath, MAX_PATH) == 0) widePath[0] = 0;
    const Library wintrust(LoadSystemLibrary("wintrust.dll"));
    if (!wintrust.get()) return false;
    const WinVerifyTrustFunction verify = reinterpret_cast<WinVerifyTrustFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(wintrust.get(), "WinVerifyTrust")));
    if (!verify) return false;

    WINTRUST_FILE_INFO fileInfo;
    std::memset(&fileInfo, 0, sizeof fileInfo);
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = widePath;
    fileInfo.hFile = file;
    WINTRUST_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    const LONG result = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &kGenericVerifyV2, &data);
    // The state the check kept is released whatever it found.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &kGenericVerifyV2, &data);
    return result == kBadDigest;
}

}  // namespace

OwnFile::~OwnFile() {
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
}

bool OwnFile::OpenVerified(const char* path) {
    // Not held, the file could be swapped between the check and the reads.
    // Only a process holding it for writing or deleting stops this open, and
    // a file that cannot be read fails as a broken archive all the same.
    m_file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file != INVALID_HANDLE_VALUE && !HasBadDigest(m_file, path)) {
        m_verifiedPath = GetFinalPath(m_file, path);
        if (!m_verifiedPath.empty()) return false;
    }
    ShowProductMessage(kBrokenInstallerText);
    return true;
}
