// Scripting and inspection of the Windows stand-in used by native tests.
#ifndef FAKEWIN_FAKEWIN_H_
#define FAKEWIN_FAKEWIN_H_

#include <optional>
#include <string>
#include <vector>

#include <windows.h>

namespace fakewin {

struct MessageBoxCall {
    HWND owner;
    std::string text;
    std::string title;
    UINT style;
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
    // When true, DeleteFileA also deletes the host file of that path.
    bool deleteHostFiles = false;
};

State& Get();
void Reset();

}  // namespace fakewin

#endif  // FAKEWIN_FAKEWIN_H_
