#include "fakewin/fakewin.h"

#include <cstdio>
#include <cstring>
#include <sstream>

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
    out << "0x" << std::hex << reinterpret_cast<uintptr_t>(value);
    return out.str();
}

void Record(const std::string& call) { Get().calls.push_back(call); }

}  // namespace
}  // namespace fakewin

using fakewin::Get;

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    fakewin::Record("GetSystemDirectoryA(" + std::to_string(size) + ")");
    if (Get().systemDirectoryResult) return *Get().systemDirectoryResult;
    const std::string& dir = Get().systemDirectory;
    if (dir.size() + 1 > size) return static_cast<UINT>(dir.size() + 1);
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
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
    if (Get().deleteHostFiles && path) return std::remove(path) == 0;
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
