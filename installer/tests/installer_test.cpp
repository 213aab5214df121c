// The installer's run against the Windows stand-in: its own path and the
// system directory are host paths, so extraction really writes files.
#include <algorithm>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "fakewin/fakewin.h"
#include "tamarin/extract.h"
#include "tamarin/pack_file.h"
#include "tamarin_writer/writer.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using tamarin_writer::Entry;

const char kScreenSaver[] = "Kobaru_Senryu_2014.scr";
const char kUninstaller[] = "Kobaru_ScreenSaver_2014_Cleaner.exe";
const HANDLE kOtherProcess = reinterpret_cast<HANDLE>(0x7000);

// Another process's handle on the program's own file, with this access,
// sharing everything.
void HeldByAnotherProcess(DWORD access) {
    fakewin::Get().openFiles[kOtherProcess] = {
        fakewin::Get().modulePath, access,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, -1};
}

class InstallerTest : public tamarin_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        fakewin::Reset();
        fs::create_directory("system32");
        m_system = fs::absolute("system32");
        fakewin::Get().systemDirectory = m_system.string();
    }

    // A packaged installer holding the given entries; the stand-in reports
    // it as the program's own file.
    void Package(const std::vector<Entry>& entries) {
        tamarin_test::WritePackaged("installer.exe", entries);
        fakewin::Get().modulePath = fs::absolute("installer.exe").string();
    }

    int Run() { return WinMain(nullptr, nullptr, const_cast<LPSTR>("/x"), 1); }

    std::vector<std::string> Messages() const {
        std::vector<std::string> texts;
        for (const auto& box : fakewin::Get().messageBoxes) texts.push_back(box.text);
        return texts;
    }
    // Where the program writes name: the system directory, a backslash and
    // the name (natively a single file name holding the backslash).
    fs::path Destination(const char* name) const { return m_system.string() + "\\" + name; }
    bool Installed(const char* name) const { return fs::exists(Destination(name)); }

    // Index of the first (or last) recorded call that starts with prefix.
    static long CallIndex(const std::string& prefix, bool last = false) {
        const auto& calls = fakewin::Get().calls;
        long found = -1;
        for (size_t i = 0; i < calls.size(); ++i) {
            if (calls[i].rfind(prefix, 0) == 0) {
                found = static_cast<long>(i);
                if (!last) break;
            }
        }
        return found;
    }

    fs::path m_system;
};

TEST_F(InstallerTest, WritesBothFilesAndShowsNothing) {
    Package({Entry(kScreenSaver, "saver bytes"), Entry(kUninstaller, "uninstaller bytes")});
    EXPECT_EQ(0, Run());
    EXPECT_EQ("saver bytes", tamarin_test::ReadFile(Destination(kScreenSaver)));
    EXPECT_EQ("uninstaller bytes", tamarin_test::ReadFile(Destination(kUninstaller)));
    EXPECT_TRUE(Messages().empty());
}

TEST_F(InstallerTest, WithoutTheScreenSaverEntryNothingIsWritten) {
    Package({Entry(kUninstaller, "uninstaller bytes")});
    EXPECT_EQ(0, Run());
    EXPECT_EQ(std::vector<std::string>{kBrokenInstallerText}, Messages());
    EXPECT_FALSE(Installed(kScreenSaver));
    EXPECT_FALSE(Installed(kUninstaller));
}

TEST_F(InstallerTest, WithoutTheUninstallerEntryTheScreenSaverStays) {
    Package({Entry(kScreenSaver, "saver bytes")});
    EXPECT_EQ(0, Run());
    EXPECT_EQ(std::vector<std::string>{kBrokenInstallerText}, Messages());
    EXPECT_EQ("saver bytes", tamarin_test::ReadFile(Destination(kScreenSaver)));
    EXPECT_FALSE(Installed(kUninstaller));
}

// A path cut to the buffer would name another file: stop before anything
// is read or written.
TEST_F(InstallerTest, AnOwnPathThatDoesNotFitStopsTheRun) {
    Package({Entry(kScreenSaver, "s"), Entry(kUninstaller, "u")});
    fakewin::Get().modulePath = fs::absolute(std::string(300, 'p')).string();
    EXPECT_EQ(0, Run());
    EXPECT_EQ(std::vector<std::string>{kBrokenInstallerText}, Messages());
    EXPECT_FALSE(Installed(kScreenSaver));
}

TEST_F(InstallerTest, AFailingSystemDirectoryStopsTheRun) {
    Package({Entry(kScreenSaver, "s"), Entry(kUninstaller, "u")});
    fakewin::Get().systemDirectoryResult = 0u;
    EXPECT_EQ(0, Run());
    EXPECT_EQ(std::vector<std::string>{kCannotWriteText}, Messages());
    EXPECT_FALSE(Installed(kScreenSaver));
    EXPECT_FALSE(Installed(kUninstaller));
    EXPECT_EQ(0u, fakewin::Get().deletedFiles.size());
}

// Before anything else the DLL search is held to the system directory;
// an older system without SetDefaultDllDirectories drops the current folder.
TEST_F(InstallerTest, RestrictsTheDllSearchBeforeAnythingElse) {
    Package({Entry(kScreenSaver, "s"), Entry(kUninstaller, "u")});
    const std::vector<std::string> expected[] = {
        {"GetModuleHandleA(\"kernel32.dll\")",
         "GetProcAddress(0x7000, \"SetDefaultDllDirectories\")", "SetDefaultDllDirectories(0x800)"},
        {"GetModuleHandleA(\"kernel32.dll\")",
         "GetProcAddress(0x7000, \"SetDefaultDllDirectories\")", "GetModuleHandleA(\"kernel32.dll\")",
         "GetProcAddress(0x7000, \"SetDllDirectoryA\")", "SetDllDirectoryA(\"\")"},
    };
    for (int old = 0; old < 2; ++old) {
        SCOPED_TRACE(old);
        fakewin::Get().calls.clear();
        fakewin::Get().hasSetDefaultDllDirectories = old == 0;
        Run();
        const auto& calls = fakewin::Get().calls;
        ASSERT_LE(expected[old].size(), calls.size());
        EXPECT_EQ(expected[old], std::vector<std::string>(calls.begin(),
                                                          calls.begin() + expected[old].size()));
        // wintrust by its full path, the DLLs it needs from beside it.
        EXPECT_LT(0, CallIndex("LoadLibraryExA(\"" + m_system.string() + "\\wintrust.dll\", " +
                               (old ? "0x8)" : "0x800)")));
    }
}

// The own file is opened once, shared for reading only, handed to the
// signature check and held until both entries have been written out.
TEST_F(InstallerTest, VerifiesTheOwnFileItHoldsUntilBothEntriesAreRead) {
    Package({Entry(kScreenSaver, "s"), Entry(kUninstaller, "u")});
    Run();
    const auto& opened = fakewin::Get().createdFiles;
    ASSERT_EQ(1u, opened.size());
    EXPECT_EQ(fakewin::Get().modulePath, opened[0].path);
    EXPECT_EQ((std::vector<DWORD>{GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING}),
              (std::vector<DWORD>{opened[0].access, opened[0].share, opened[0].disposition}));

    const auto& checks = fakewin::Get().trustCalls;
    ASSERT_EQ(2u, checks.size());
    for (const fakewin::TrustCall& check : checks) {
        EXPECT_TRUE(check.genericVerifyV2);
        EXPECT_EQ((std::vector<DWORD>{WTD_UI_NONE, WTD_REVOKE_NONE, WTD_CHOICE_FILE,
                                      WTD_CACHE_ONLY_URL_RETRIEVAL}),
                  (std::vector<DWORD>{check.uiChoice, check.revocationChecks, check.unionChoice,
                                      check.provFlags}));
        EXPECT_EQ(fakewin::Get().fileHandle, check.file);
        EXPECT_EQ(fakewin::Get().modulePath, check.path);
    }
    EXPECT_EQ(WTD_STATEACTION_VERIFY, checks[0].stateAction);
    EXPECT_EQ(WTD_STATEACTION_CLOSE, checks[1].stateAction);
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x7200), checks[1].stateData);
    EXPECT_EQ(0, fakewin::Get().loadedLibraries);

    EXPECT_LT(CallIndex("WinVerifyTrust(2)"), CallIndex("GetFileAttributesA"));
    EXPECT_LT(CallIndex("MoveFileExA", true), CallIndex("CloseHandle(0x6000)"));
    EXPECT_TRUE(Installed(kUninstaller));
}

// Only a signature whose digest does not match stops the run, and so does
// an own file that someone holds open for writing or deleting.
TEST_F(InstallerTest, ADamagedSignedFileInstallsNothingAndEveryOtherOutcomeGoesOn) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool stops;
    };
    const Case cases[] = {
        {"trusted", [] { fakewin::Get().trustResult = 0; }, false},
        {"TRUST_E_NOSIGNATURE", [] { fakewin::Get().trustResult = 0x800B0100u; }, false},
        {"CERT_E_UNTRUSTEDROOT", [] { fakewin::Get().trustResult = 0x800B0109u; }, false},
        {"CERT_E_EXPIRED", [] { fakewin::Get().trustResult = 0x800B0101u; }, false},
        {"no wintrust", [] { fakewin::Get().wintrustMissing = true; }, false},
        {"TRUST_E_BAD_DIGEST", [] { fakewin::Get().trustResult = 0x80096010u; }, true},
        // Another process has the file open for writing or deleting, sharing
        // everything: only the share mode of this open refuses it.
        {"held for writing", [] { HeldByAnotherProcess(GENERIC_WRITE); }, true},
        {"held for deleting", [] { HeldByAnotherProcess(DELETE); }, true},
        {"final path unknown",
         [] { fakewin::Get().finalPathResults[fakewin::Get().modulePath] = 0; }, true},
        {"no GetFinalPathNameByHandleA", [] { fakewin::Get().hasGetFinalPathName = false; },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(Destination(kScreenSaver));
        fs::remove(Destination(kUninstaller));
        fakewin::Reset();
        fakewin::Get().systemDirectory = m_system.string();
        Package({Entry(kScreenSaver, "s"), Entry(kUninstaller, "u")});
        c.arrange();
        EXPECT_EQ(0, Run());
        fakewin::Get().openFiles.erase(kOtherProcess);
        EXPECT_EQ(!c.stops, Installed(kScreenSaver));
        EXPECT_EQ(!c.stops, Installed(kUninstaller));
        EXPECT_EQ(c.stops ? std::vector<std::string>{kBrokenInstallerText}
                          : std::vector<std::string>{},
                  Messages());
        if (c.stops) {
            // After the message only the own file is let go.
            const auto& calls = fakewin::Get().calls;
            for (size_t i = CallIndex("MessageBoxA") + 1; i < calls.size(); ++i) {
                EXPECT_EQ("CloseHandle(0x6000)", calls[i]);
            }
        }
        EXPECT_EQ(0, fakewin::Get().loadedLibraries);
    }
}

// Entries are read by the final path of the handle that was checked: a
// launch path through a link pointed elsewhere after the check still
// installs the checked file's entries.
TEST_F(InstallerTest, InstallsFromTheFileThatWasChecked) {
    fs::create_directories("R");
    fs::create_directories("O");
    tamarin_test::WritePackaged("R/installer.exe",
                                {Entry(kScreenSaver, "saver bytes"), Entry(kUninstaller, "u")});
    tamarin_test::WritePackaged("O/installer.exe",
                                {Entry(kScreenSaver, "planted saver"), Entry(kUninstaller, "p")});
    fs::create_directory_symlink("R", "L");
    fakewin::Get().modulePath = fs::absolute("L/installer.exe").string();
    const std::string launch = fakewin::Get().modulePath;
    fakewin::Get().onCreateFile = [launch](const std::string& path, DWORD, DWORD) {
        if (path != launch) return;
        fs::remove("L");
        fs::create_directory_symlink("O", "L");
    };
    EXPECT_EQ(0, Run());
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(fs::canonical("R/installer.exe").string(), tamarin::g_rootArchivePath);
    EXPECT_EQ("saver bytes", tamarin_test::ReadFile(Destination(kScreenSaver)));
}

}  // namespace
