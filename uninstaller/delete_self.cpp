#include "delete_self.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "system_directory.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA must have its 32-bit layout");
#endif

namespace {

// Retries deleting the executable until it is no longer in use, pausing
// about a second between tries without spinning a CPU, for at most
// 90 tries (about a minute and a half); then removes a leftover
// .pif of the same name and the batch itself. The pause and the counter sit
// before the label, so the batch's last line is always its own deletion.
// Every program is named by its full path in the system directory: nothing
// is looked up through PATH, PATHEXT or the current folder.
#define KOBARU_BATCH_HEAD \
    "set KobaruTries=0\r\n" \
    "goto Repeat\r\n" \
    ":Wait\r\n" \
    "set /a KobaruTries+=1\r\n" \
    "\""
#define KOBARU_BATCH_PAUSE "\" -n 2 127.0.0.1 >nul\r\n:Repeat\r\ndel \""
#define KOBARU_BATCH_BOUND " if %KobaruTries% LSS 90 goto Wait\r\n"
// The command interpreter's switches: /d runs none of the AutoRun commands
// that the user's (or the machine's) registry names, /e:on and /v:off fix
// the parsing whatever the registry's defaults say.
#define KOBARU_CMD_SWITCHES " /d /e:on /v:off"

// cmd reads a batch file in the OEM code page, the paths are ANSI. True when
// the text has no exact OEM form (a path would then name another file).
bool ToOemCodePage(const std::string& ansi, std::string& oem) {
    const int ansiLength = static_cast<int>(ansi.size());
    const int wideLength =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), ansiLength, nullptr, 0);
    if (wideLength <= 0) return true;
    std::unique_ptr<WCHAR[]> wide(new WCHAR[wideLength]);
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), ansiLength, wide.get(),
                        wideLength);
    // No flags: they are refused for some code pages (UTF-8). The way back
    // shows default and best-fit characters instead.
    const int oemLength =
        WideCharToMultiByte(CP_OEMCP, 0, wide.get(), wideLength, nullptr, 0, nullptr, nullptr);
    if (oemLength <= 0) return true;
    oem.assign(static_cast<size_t>(oemLength), '\0');
    WideCharToMultiByte(CP_OEMCP, 0, wide.get(), wideLength, &oem[0], oemLength, nullptr, nullptr);
    if (MultiByteToWideChar(CP_OEMCP, 0, oem.data(), oemLength, nullptr, 0) != wideLength) {
        return true;
    }
    std::unique_ptr<WCHAR[]> back(new WCHAR[wideLength]);
    MultiByteToWideChar(CP_OEMCP, 0, oem.data(), oemLength, back.get(), wideLength);
    return std::memcmp(wide.get(), back.get(), sizeof(WCHAR) * wideLength) != 0;
}

}  // namespace

namespace {

// Removes the batch file and, where there is one, the folder of its own, on
// the ways out that do not start the batch.
class BatchRemover {
public:
    explicit BatchRemover(const std::string& ownFolder) : m_folder(ownFolder) {}
    ~BatchRemover() {
        if (m_armed && !m_batch.empty()) DeleteFileA(m_batch.c_str());
        if (m_armed && !m_folder.empty()) RemoveDirectoryA(m_folder.c_str());
    }
    void SetBatch(const char* batch) { m_batch = batch; }
    void Release() { m_armed = false; }
    BatchRemover(const BatchRemover&) = delete;
    BatchRemover& operator=(const BatchRemover&) = delete;

private:
    std::string m_folder;
    std::string m_batch;
    bool m_armed = true;
};

}  // namespace

void DeleteSelf(const std::string& ownFolder) {
    BatchRemover remover(ownFolder);
    // A path cut short by its buffer could name some other file, which the
    // batch would then delete.
    char exePath[MAX_PATH];
    const DWORD exeLength = GetModuleFileNameA(nullptr, exePath, MAX_PATH);
    if (exeLength == 0 || exeLength >= MAX_PATH) return;

    char batchPath[MAX_PATH];
    DWORD tempLength = 0;
    if (ownFolder.empty()) {
        tempLength = GetTempPathA(MAX_PATH, batchPath);
        if (tempLength == 0 || tempLength >= MAX_PATH) return;
    } else {
        if (ownFolder.size() >= MAX_PATH) return;
        tempLength = static_cast<DWORD>(ownFolder.size());
        std::memcpy(batchPath, ownFolder.c_str(), tempLength + 1);
    }

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

    // The batch, the programs it runs and the interpreter that runs it all
    // come from the system directory.
    const std::string systemDirectory = GetSystemDirectoryPath();
    if (systemDirectory.empty()) return;
    const std::string ping = systemDirectory + "\\PING.EXE";
    const std::string cmd = systemDirectory + "\\cmd.exe";

    // The last line deletes the batch itself. A folder of its own is
    // removed whole, by a second command interpreter started without
    // waiting: the one running the batch may keep the file open until it
    // ends (Wine's does), so the folder is removed again a few seconds on.
    // The folder and the system directory stand partly outside quotes
    // there: the caller has made sure that they hold only safe characters.
    std::string folder;
    if (!ownFolder.empty()) {
        folder = ownFolder.substr(0, ownFolder.size() - (ownFolder.back() == '\\' ? 1 : 0));
    }
    // Text and paths in turn. cmd expands "%" in batch lines: in the paths
    // every "%" is doubled, so that del gets the very name and no other.
    const char* const deleteBatch[] = {"\"\r\ndel \"", batchPath, "\""};
    const char* const removeFolder[] = {
        "\"\r\nstart \"\" /b \"", cmd.c_str(), "\"" KOBARU_CMD_SWITCHES " /s /c \"\"", ping.c_str(),
        "\" -n 2 127.0.0.1 >nul & rmdir /s /q \"", folder.c_str(), "\" 2>nul & \"", ping.c_str(),
        "\" -n 4 127.0.0.1 >nul & rmdir /s /q \"", folder.c_str(), "\" 2>nul\""};
    std::vector<const char*> parts = {KOBARU_BATCH_HEAD, ping.c_str(), KOBARU_BATCH_PAUSE,
                                      exePath, "\"\r\nif exist \"", exePath,
                                      "\"" KOBARU_BATCH_BOUND "del \"", pifPath};
    if (ownFolder.empty()) {
        parts.insert(parts.end(), std::begin(deleteBatch), std::end(deleteBatch));
    } else {
        parts.insert(parts.end(), std::begin(removeFolder), std::end(removeFolder));
    }
    std::string ansi;
    for (size_t i = 0; i < parts.size(); ++i) {
        for (const char* c = parts[i]; *c != '\0'; ++c) {
            ansi += *c;
            if (i % 2 == 1 && *c == '%') ansi += '%';
        }
    }
    std::string text;
    if (ToOemCodePage(ansi, text)) return;

    // CR LF written as they are: the bytes a text-mode write gives on
    // Windows. In a folder of its own the batch must be a new file; in TEMP
    // one left behind is replaced. A batch cut short by a full disk could
    // stop before its bound: it is removed, not started.
    const HANDLE file = CreateFileA(batchPath, GENERIC_WRITE, 0, nullptr,
                                    ownFolder.empty() ? CREATE_ALWAYS : CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    remover.SetBatch(batchPath);
    DWORD written = 0;
    const bool whole = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written,
                                 nullptr) &&
                       written == text.size();
    if (!CloseHandle(file) || !whole) return;

    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    // The interpreter by its full path, as the program and in the command
    // line; the batch in quotes within the quotes that /c strips. cmd
    // expands "%NAME%" in its command line, where no escape holds: a batch
    // path with more than one "%" is not run.
    if (std::count(batchPath, batchPath + std::strlen(batchPath), '%') > 1) return;
    std::string commandLine =
        "\"" + cmd + "\"" KOBARU_CMD_SWITCHES " /c \"\"" + std::string(batchPath) + "\"\"";
    // Suspended, so that its priority is lowered before it runs a line.
    // When it cannot start, nothing will ever run the batch: the remover
    // leaves nothing behind.
    // Elevated, the batch runs in the system directory, out of the folder
    // it removes.
    if (!CreateProcessA(cmd.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | IDLE_PRIORITY_CLASS, nullptr,
                        ownFolder.empty() ? nullptr : systemDirectory.c_str(), &startup,
                        &process)) {
        return;
    }
    remover.Release();
    // The batch waits until this process is gone; at idle priority against
    // ours at the top it does not hold up the process's end.
    SetThreadPriority(process.hThread, THREAD_PRIORITY_IDLE);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}
