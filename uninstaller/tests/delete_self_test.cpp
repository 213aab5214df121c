// DeleteSelf against the Windows stand-in: the temporary directory is a host
// folder, so the batch file is really written and read back.
#include <cstring>
#include <filesystem>
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

    std::string m_temp;
};

TEST_F(DeleteSelfTest, WritesTheBatchTextByteForByte) {
    // A file already at the batch path is replaced whole.
    tamarin_test::WriteFile(m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat",
                            std::string(1000, 'x'));
    DeleteSelf();
    const std::string batch = m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat";
    const std::string pif = m_temp + "Kobaru_ScreenSaver_2014_Cleaner.pif";
    EXPECT_EQ(std::string("Repeat:\r\n") +
                  "del \"" + kInstalledPath + "\"\r\n" +
                  "if exist \"" + kInstalledPath + "\" goto Repeat\r\n" +
                  "del \"" + pif + "\"\r\n" +
                  "del \"" + batch + "\"",
              ReadFile(batch));
    EXPECT_FALSE(fs::exists(pif));
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
        EXPECT_EQ(batch, fakewin::Get().createdProcesses[0].commandLine);
        fs::remove(batch);
    }
}

TEST_F(DeleteSelfTest, StartsTheBatchHiddenSuspendedAtIdlePriority) {
    DeleteSelf();
    ASSERT_EQ(1u, fakewin::Get().createdProcesses.size());
    const fakewin::CreateProcessCall& call = fakewin::Get().createdProcesses[0];
    EXPECT_FALSE(call.applicationName);
    EXPECT_EQ(m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat", call.commandLine);
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
                  "CreateProcessA(null, \"" + m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat\", 0x44)",
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
    EXPECT_EQ((std::vector<std::string>{"CreateProcessA(null, \"" + batch + "\", 0x44)",
                                        "DeleteFileA(\"" + batch + "\")"}),
              CallsFromProcessStart());
    EXPECT_FALSE(fs::exists(m_temp + "Kobaru_ScreenSaver_2014_Cleaner.bat"));
}

TEST_F(DeleteSelfTest, WithoutABatchFileNothingIsStarted) {
    fakewin::Get().tempPath = m_temp + "missing/";
    DeleteSelf();
    EXPECT_TRUE(fakewin::Get().createdProcesses.empty());
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
