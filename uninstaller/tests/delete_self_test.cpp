// DeleteSelf against the Windows stand-in: the temporary directory is a host
// folder, so the batch file is really written and read back.
#include <cstring>
#include <cctype>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "delete_self.h"
#include "fakewin/fakewin.h"
#include "test_support.h"
#include "uninstaller_test_support.h"

namespace {

namespace fs = std::filesystem;
using uninstaller_test::Cp932;
using tamarin_test::ReadFile;

const char kInstalledPath[] = "C:\\WINDOWS\\system32\\Kobaru_ScreenSaver_2014_Cleaner.exe";
// The stand-in's system directory, and the programs there.
const std::string kSystem = "C:\\Windows\\system32";
const std::string kCmd = kSystem + "\\cmd.exe";
const std::string kPing = kSystem + "\\PING.EXE";

// The interpreter's command line for a batch: no AutoRun, the parsing fixed.
std::string CmdLine(const std::string& batch) {
    return "\"" + kCmd + "\" /d /e:on /v:off /c \"\"" + batch + "\"\"";
}

class DeleteSelfTest : public tamarin_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        fakewin::Reset();
        m_temp = uninstaller_test::TempDirWithSeparator("temp");
        fakewin::Get().tempPath = m_temp;
        fakewin::Get().modulePath = kInstalledPath;
    }

    // The calls from CreateProcessA on, without their arguments' quoting
    // details mattering to the caller.
    std::vector<std::string> CallsFromProcessStart() const {
        const auto& calls = fakewin::Get().calls;
        auto it = calls.begin();
        while (it != calls.end() && it->rfind("CreateProcessA(", 0) != 0) ++it;
        return std::vector<std::string>(it, calls.end());
    }

    // Whether the batch was written and every program in it is named by its
    // full path in the system directory: each "ping" and "cmd" stands right
    // behind it, and each "cmd" gets /d.
    static bool BatchNamesEveryProgramByItsFullPath(const std::string& temp) {
        const std::string batch = temp + "Kobaru_ScreenSaver_2014_Cleaner.bat";
        if (!fs::exists(batch)) return false;
        const std::string text = ReadFile(batch);
        if (text.empty()) return false;
        std::string lower = text;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::string system = "c:\\windows\\system32\\";
        size_t programs = 0;
        for (const char* program : {"ping", "cmd"}) {
            for (size_t at = lower.find(program); at != std::string::npos;
                 at = lower.find(program, at + 1)) {
                if (at < system.size() + 1 || lower.compare(at - system.size(), system.size(),
                                                            system) != 0 ||
                    lower[at - system.size() - 1] != '"') {
                    return false;
                }
                if (program == std::string("cmd") && lower.compare(at, 11, "cmd.exe\" /d") != 0) {
                    return false;
                }
                ++programs;
            }
        }
        return programs > 0;
    }

    std::string m_temp;
};

// The batch as it must be written, for ANSI paths already in the OEM code
// page: every "%" doubled, a bounded retry loop with a pause of about a
// second, and its own deletion as the last line.
std::string ExpectedBatch(const std::string& exe, const std::string& pif, const std::string& bat) {
    auto escaped = [](std::string path) {
        for (size_t i = path.find('%'); i != std::string::npos; i = path.find('%', i + 2)) {
            path.insert(i, 1, '%');
        }
        return path;
    };
    return "set KobaruTries=0\r\ngoto Repeat\r\n:Wait\r\nset /a KobaruTries+=1\r\n\"" + kPing +
           "\" -n 2 127.0.0.1 >nul\r\n:Repeat\r\n"
           "del \"" + escaped(exe) + "\"\r\n" +
           "if exist \"" + escaped(exe) + "\" if %KobaruTries% LSS 90 goto Wait\r\n" +
           "del \"" + escaped(pif) + "\"\r\n" +
           "del \"" + escaped(bat) + "\"";
}

TEST_F(DeleteSelfTest, WritesTheBatchTextByteForByte) {
    // A file already at the batch path is replaced whole.
    tamarin_test::WriteFile(m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat",
                            std::string(1000, 'x'));
    DeleteSelf();
    const std::string batch = m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat";
    const std::string pif = m_temp + "Kobaru_ScreenSaver_2014_Cleaner.pif";
    EXPECT_EQ(ExpectedBatch(kInstalledPath, pif, batch), ReadFile(batch));
    EXPECT_FALSE(fs::exists(pif));
    EXPECT_TRUE(BatchNamesEveryProgramByItsFullPath(m_temp));
}

// cmd reads the batch in the OEM code page and expands "%": the paths must
// reach it as the same characters, or no batch is written at all.
TEST_F(DeleteSelfTest, PathsReachCmdEscapedInTheOemCodePage) {
    const struct {
        UINT ansi, oem;
        std::string dir;     // ANSI bytes
        std::string oemDir;  // the same in the OEM code page; empty: no batch
    } cases[] = {
        {932, 932, "C:\\Tools 100%\\" + Cp932("ツール") + "\\", "C:\\Tools 100%\\" + Cp932("ツール") + "\\"},
        {1252, 850, "C:\\%OS%\\Jos\xE9\\", "C:\\%OS%\\Jos\x82\\"},
        {1252, 65001, "C:\\Jos\xE9\\", "C:\\Jos\xC3\xA9\\"},
        {1252, 437, "C:\\Preis \x80\\", ""},  // no euro sign in 437
        {1252, 437, "C:\\\xD8re\\", ""},      // best fit would make it "O"
        {932, 932, "C:\\bad\x82\\", ""},      // not valid ANSI
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        fakewin::Reset();
        fakewin::Get().ansiCodePage = c.ansi;
        fakewin::Get().oemCodePage = c.oem;
        fakewin::Get().tempPath = m_temp;
        fakewin::Get().modulePath = c.dir + "u.exe";
        DeleteSelf();
        if (c.oemDir.empty()) {
            EXPECT_TRUE(fakewin::Get().createdProcesses.empty());
            EXPECT_FALSE(fs::exists(m_temp + "u.bat"));
            continue;
        }
        EXPECT_EQ(ExpectedBatch(c.oemDir + "u.exe", m_temp + "u.pif", m_temp + "u.bat"),
                  ReadFile(m_temp + "u.bat"));
        EXPECT_EQ(1u, fakewin::Get().createdProcesses.size());
        fs::remove(m_temp + "u.bat");
    }
}

// A batch cut short by a full disk could stop before its bound.
TEST_F(DeleteSelfTest, ABatchThatCannotBeWrittenWholeIsRemovedAndNotStarted) {
    fakewin::Get().deleteHostFiles = true;
    const std::string batch = m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat";
    fs::create_symlink("/dev/full", batch);
    DeleteSelf();
    EXPECT_TRUE(fakewin::Get().createdProcesses.empty());
    EXPECT_EQ(std::vector<std::string>{batch}, fakewin::Get().deletedFiles);
    EXPECT_FALSE(fs::exists(fs::symlink_status(batch)));
}

TEST_F(DeleteSelfTest, BaseNameIsTheLastPathPartCutBeforeItsLastDot) {
    const struct {
        std::string exe, base;
    } cases[] = {
        {"C:\\dir\\a.b.exe", "a.b"},
        {"C:\\dir\\noext", "noext"},
        {"C:\\dir.d\\name", "name"},
        {"plain.exe", "plain"},
        // "ソフト" is 83 5C 83 74 83 67: its trail byte 0x5C ends the search.
        {"C:\\dir\\" + Cp932("ソフト") + ".exe", "\x83\x74\x83\x67"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exe);
        fakewin::Reset();
        fakewin::Get().tempPath = m_temp;
        fakewin::Get().modulePath = c.exe;
        DeleteSelf();
        const std::string batch = m_temp + c.base + ".bat";
        const std::string text = ReadFile(batch);
        EXPECT_NE(std::string::npos, text.find("\r\ndel \"" + m_temp + c.base + ".pif\"\r\n"));
        EXPECT_EQ("\r\ndel \"" + batch + "\"", text.substr(text.rfind("\r\n")));
        ASSERT_EQ(1u, fakewin::Get().createdProcesses.size());
        EXPECT_EQ(CmdLine(batch), fakewin::Get().createdProcesses[0].commandLine);
        fs::remove(batch);
    }
}

TEST_F(DeleteSelfTest, StartsTheBatchHiddenSuspendedAtIdlePriority) {
    DeleteSelf();
    ASSERT_EQ(1u, fakewin::Get().createdProcesses.size());
    const fakewin::CreateProcessCall& call = fakewin::Get().createdProcesses[0];
    // The system's interpreter by its full path, never looked up through
    // COMSPEC, PATH or the current folder; the batch quoted within the
    // quotes that /c strips.
    EXPECT_EQ(kCmd, call.applicationName);
    EXPECT_EQ(CmdLine(m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat"), call.commandLine);
    EXPECT_FALSE(call.processAttributes || call.threadAttributes || call.environment);
    EXPECT_FALSE(call.currentDirectory);
    EXPECT_EQ(FALSE, call.inheritHandles);
    EXPECT_EQ(0x44u, call.creationFlags);

    STARTUPINFOA expected;
    std::memset(&expected, 0, sizeof expected);
    expected.cb = sizeof expected;
    expected.dwFlags = 1;     // STARTF_USESHOWWINDOW
    expected.wShowWindow = 0;  // SW_HIDE
    EXPECT_EQ(0, std::memcmp(&expected, &call.startup, sizeof expected));

    // The batch's thread is lowered before it runs and ours raised; both
    // handles are closed, thread first.
    EXPECT_EQ((std::vector<std::string>{
                  "CreateProcessA(\"" + kCmd + "\", \"" +
                      CmdLine(m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat") + "\", 0x44)",
                  "SetThreadPriority(0x4004, -15)",
                  "GetCurrentThread()",
                  "SetThreadPriority(0xfffffffffffffffe, 15)",
                  "GetCurrentProcess()",
                  "SetPriorityClass(0xffffffffffffffff, 0x80)",
                  "ResumeThread(0x4004)",
                  "CloseHandle(0x4004)",
                  "CloseHandle(0x4000)",
              }),
              CallsFromProcessStart());
}

TEST_F(DeleteSelfTest, AFailedStartUsesNoHandlesAndRemovesTheBatch) {
    fakewin::Get().createProcessFails = true;
    fakewin::Get().deleteHostFiles = true;
    DeleteSelf();
    const std::string batch = m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat";
    EXPECT_EQ((std::vector<std::string>{"CreateProcessA(\"" + kCmd + "\", \"" + CmdLine(batch) +
                                            "\", 0x44)",
                                        "DeleteFileA(\"" + batch + "\")"}),
              CallsFromProcessStart());
    EXPECT_FALSE(fs::exists(m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat"));
}

TEST_F(DeleteSelfTest, WithoutABatchFileNothingIsStarted) {
    fakewin::Get().tempPath = m_temp + "missing/";
    DeleteSelf();
    EXPECT_TRUE(fakewin::Get().createdProcesses.empty());
}

// The interpreter and the programs of the batch come from the system
// directory alone; without it nothing is written or started. cmd expands
// "%NAME%" in its command line, where no escape holds: a batch path with a
// pair of "%" is not run, a lone one is.
TEST_F(DeleteSelfTest, WithoutTheSystemDirectoryOrWithAPairOfPercentsNothingIsStarted) {
    const struct {
        const char* name;
        std::string temp;
        std::optional<UINT> systemDirectoryResult;
        bool started;
    } cases[] = {
        {"no system directory", m_temp, 0u, false},
        {"system directory too long", m_temp, 300u, false},
        {"a lone %", m_temp + "100%/", std::nullopt, true},
        {"a pair of %", m_temp + "%OS%/", std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fakewin::Reset();
        fakewin::Get().deleteHostFiles = true;
        fakewin::Get().modulePath = kInstalledPath;
        fs::create_directories(c.temp);
        fakewin::Get().tempPath = c.temp;
        fakewin::Get().systemDirectoryResult = c.systemDirectoryResult;
        DeleteSelf();
        EXPECT_EQ(c.started, BatchNamesEveryProgramByItsFullPath(c.temp));
        EXPECT_EQ(c.started ? 1u : 0u, fakewin::Get().createdProcesses.size());
        EXPECT_EQ(c.started, fs::exists(c.temp + "Kobaru_ScreenSaver_2014_Cleaner.bat"));
    }
}

// A path cut to its buffer could name another file for the batch to delete.
TEST_F(DeleteSelfTest, PathsThatDoNotFitStartNothing) {
    // Temporary directory + base name + ".bat" + zero byte: 260 fit.
    const size_t fitting = MAX_PATH - 5 - m_temp.size();
    fakewin::Get().modulePath = "C:\\" + std::string(fitting, 'n') + ".exe";
    DeleteSelf();
    EXPECT_TRUE(fs::exists(m_temp + std::string(fitting, 'n') + ".bat"));
    EXPECT_EQ(1u, fakewin::Get().createdProcesses.size());

    const std::string tooLong[] = {"C:\\" + std::string(fitting + 1, 'n') + ".exe",
                                   "C:\\" + std::string(300, 'p') + "\\u.exe", ""};
    for (const std::string& exe : tooLong) {
        SCOPED_TRACE(exe.size());
        fakewin::Reset();
        fakewin::Get().tempPath = m_temp;
        fakewin::Get().modulePath = exe;
        DeleteSelf();
        EXPECT_TRUE(fakewin::Get().createdProcesses.empty());
    }
    EXPECT_EQ(1, std::distance(fs::directory_iterator(m_temp), fs::directory_iterator()));

    fakewin::Reset();
    fakewin::Get().tempPathResult = 0u;
    DeleteSelf();
    EXPECT_TRUE(fakewin::Get().createdProcesses.empty());
}

}  // namespace
