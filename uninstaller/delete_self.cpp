#include "delete_self.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA must have its 32-bit layout");
#endif

namespace {

// Retries until the executable is deletable, that is once the process has
// ended; then removes a leftover .pif of the same name and the batch itself.
// Lines end in CR LF, the last one without.
const char kBatchFormat[] =
    "Repeat:\r\n"
    "del \"%s\"\r\n"
    "if exist \"%s\" goto Repeat\r\n"
    "del \"%s\"\r\n"
    "del \"%s\"";

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

}  // namespace

void DeleteSelf() {
    // A path cut short by its buffer could name some other file, which the
    // batch would then delete.
    char exePath[MAX_PATH];
    const DWORD exeLength = GetModuleFileNameA(nullptr, exePath, MAX_PATH);
    if (exeLength == 0 || exeLength >= MAX_PATH) return;

    char batchPath[MAX_PATH];
    const DWORD tempLength = GetTempPathA(MAX_PATH, batchPath);
    if (tempLength == 0 || tempLength >= MAX_PATH) return;

    // Plain byte searches: a Shift-JIS trail byte 0x5C counts as a
    // separator, which only shortens the batch file's name.
    const char* name = std::strrchr(exePath, '\\');
    name = name ? name + 1 : exePath;
    const char* dot = std::strrchr(name, '.');
    const size_t baseLength = dot ? static_cast<size_t>(dot - name) : std::strlen(name);
    // Room for ".bat" and the zero byte.
    if (tempLength + baseLength + 4 >= MAX_PATH) return;

    std::memcpy(batchPath + tempLength, name, baseLength);
    char pifPath[MAX_PATH];
    std::memcpy(pifPath, batchPath, tempLength + baseLength);
    std::memcpy(batchPath + tempLength + baseLength, ".bat", 5);
    std::memcpy(pifPath + tempLength + baseLength, ".pif", 5);

    {
        // Binary mode with explicit CR LF: the bytes a text-mode write gives
        // on Windows, on every host the tests run on.
        std::unique_ptr<FILE, FileCloser> batch(std::fopen(batchPath, "wb"));
        if (!batch) return;
        std::fprintf(batch.get(), kBatchFormat, exePath, exePath, pifPath, batchPath);
    }

    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    // Suspended, so that its priority is lowered before it runs a line.
    if (!CreateProcessA(nullptr, batchPath, nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | IDLE_PRIORITY_CLASS, nullptr, nullptr, &startup,
                        &process)) {
        // Nothing will ever run the batch: leave nothing behind.
        DeleteFileA(batchPath);
        return;
    }
    // The batch spins until this process is gone; at idle priority against
    // ours at the top it does not hold up the process's end.
    SetThreadPriority(process.hThread, THREAD_PRIORITY_IDLE);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}
