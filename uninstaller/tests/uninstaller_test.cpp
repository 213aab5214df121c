// The uninstaller's run against the Windows stand-in. Its own file is a
// packaged archive in the test's folder and the temporary directory a host
// folder, so the cleaner's copy is really written and deleted.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "fakewin/fakewin.h"
#include "final_path.h"
#include "tamarin/pack_file.h"
#include "tamarin/extract.h"
#include "tamarin_writer/writer.h"
#include "test_support.h"
#include "uninstaller.h"
#include "uninstaller_test_support.h"

namespace {

namespace fs = std::filesystem;
using tamarin_writer::Entry;
using uninstaller_test::Cp932;
using tamarin_test::ReadFile;

const char kCleaner[] = "Kobaru_ScreenSaver_Cleaner_RA.exe";
const char kPrograms[] = "C:\\Users\\u\\Start Menu\\Programs";
const HWND kTop = reinterpret_cast<HWND>(0x2000);  // the stand-in's top child window

const std::string kErrorTail = Cp932(
    "\nWindowsを再起動してからやり直してください。"
    "\n問題が解決しない場合は、サポートまでお問い合わせください。"
    "\nご迷惑をおかけし、申し訳ございません。");
const std::string kCannotStart = Cp932("インストール補助プログラムを開始できません。") + kErrorTail;
const std::string kNoHandle = Cp932("インストール補助プログラムの情報が取得できません。") + kErrorTail;
const std::string kErrorTitle = Cp932("エラー");
const std::string kTitle = Cp932("こばる川柳スクリーンセーバー");
const std::string kCompleted = Cp932("アンインストールが完了しました。");
const std::string kNotRemoved = Cp932("スクリーンセーバーを削除できませんでした。") + kErrorTail;
const std::string kUnsupported = Cp932("申し訳ございませんが、お使いのOSには対応しておりません。");
const std::string kFolder = std::string(kPrograms) + "\\" + Cp932("こばる川柳スクリーンセーバー");
const std::string kShortcut = kFolder + "\\" + Cp932("こばる川柳スクリーンセーバー2014の削除.lnk");

// Message boxes as (text, title, style).
using BoxList = std::vector<std::tuple<std::string, std::string, UINT>>;

class UninstallerTest : public tamarin_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        fakewin::Reset();
        fakewin::Get().deleteHostFiles = true;
        fakewin::Get().programsFolder = kPrograms;
        UseTempDir(uninstaller_test::TempDirWithSeparator("temp"));
        // The cleaner's copy must be in place while it runs.
        WatchStarts();
        Package({Entry(kCleaner, "cleaner bytes")});
    }

    // Every way out closes what it opened, the own file included.
    void TearDown() override {
        EXPECT_TRUE(fakewin::Get().openFiles.empty());
        TempDirTest::TearDown();
    }

    void UseTempDir(const std::string& dir) {
        m_temp = dir;
        fakewin::Get().tempPath = dir;
    }

    // The cleaner's starts, through the shell or directly (not the batch's
    // interpreter).
    void WatchStarts() {
        fakewin::Get().onShellExecute = [this](const SHELLEXECUTEINFOA& info) {
            Started(info.lpFile);
        };
        fakewin::Get().onCreateProcess = [this](const char* application) {
            if (application && std::string(application).find(kCleaner) != std::string::npos) {
                Started(application);
            }
        };
    }

    // The copy's bytes and how it is held open while the cleaner starts.
    void Started(const std::string& path) {
        m_startedCopy = ReadFile(HostPath(path));
        m_heldModes.clear();
        for (const auto& open : fakewin::Get().openFiles) {
            if (open.second.path == HostPath(path)) {
                m_heldModes.emplace_back(open.second.access, open.second.share);
            }
        }
    }

    static std::string HostPath(std::string path) {
        std::replace(path.begin(), path.end(), '\\', '/');
        return path;
    }

    // A relative own path: the batch is then named after it in the temp dir.
    void Package(const std::vector<Entry>& entries) {
        tamarin_test::WritePackaged("uninstaller.exe", entries);
        fakewin::Get().modulePath = "uninstaller.exe";
    }

    // The stand-in afresh for the next case of a table: the packaged program
    // and the temporary folder of this test, nothing else scripted.
    void ResetStandIn() {
        fakewin::Reset();
        fakewin::Get().deleteHostFiles = true;
        fakewin::Get().tempPath = m_temp;
        fakewin::Get().modulePath = "uninstaller.exe";
        WatchStarts();
    }

    // Elevated, with a Windows folder of the test's own whose Temp exists
    // when asked for.
    void Elevate(bool withTemp = true) {
        fakewin::Get().elevated = true;
        fakewin::Get().windowsDirectory = "C:\\Windows";
        if (withTemp) fs::create_directories("C:/Windows/Temp");
    }

    int Run() { return WinMain(nullptr, nullptr, const_cast<LPSTR>("/x"), 1); }

    // Every box shown; each must be owned by the top child window.
    BoxList Boxes() const {
        BoxList boxes;
        for (const auto& box : fakewin::Get().messageBoxes) {
            EXPECT_EQ(kTop, box.owner);
            boxes.emplace_back(box.text, box.title, box.style);
        }
        return boxes;
    }

    // Function names of the calls, without arguments, leaving out the
    // message box's owner lookups.
    std::vector<std::string> CallNames() const {
        std::vector<std::string> names;
        for (const std::string& call : fakewin::Get().calls) {
            const std::string name = call.substr(0, call.find('('));
            if (name != "GetForegroundWindow" && name != "GetTopWindow") names.push_back(name);
        }
        return names;
    }

    bool Called(const std::string& function) const {
        const auto names = CallNames();
        return std::find(names.begin(), names.end(), function) != names.end();
    }

    std::string CopyPath() const { return m_temp + kCleaner; }
    // The deletion batch's interpreter was started.
    static bool SelfDeletionStarted() { return BatchStart() != nullptr; }
    static const fakewin::CreateProcessCall* BatchStart() {
        for (const auto& call : fakewin::Get().createdProcesses) {
            if (call.applicationName && call.applicationName->size() >= 8 &&
                call.applicationName->compare(call.applicationName->size() - 8, 8, "\\cmd.exe") == 0) {
                return &call;
            }
        }
        return nullptr;
    }

    std::string m_temp;
    std::string m_startedCopy;
    std::vector<std::pair<DWORD, DWORD>> m_heldModes;  // (access, share)
};

const std::vector<std::pair<DWORD, DWORD>> kHeldForReading = {{GENERIC_READ, FILE_SHARE_READ}};
const HANDLE kOtherProcess = reinterpret_cast<HANDLE>(0x7000);

// Another process's handle on path, with this access, sharing everything.
void HeldByAnotherProcess(const std::string& path, DWORD access) {
    fakewin::Get().openFiles[kOtherProcess] = {
        path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, -1};
}

TEST_F(UninstallerTest, FullRunRemovesEverythingAndReportsCompletion) {
    EXPECT_EQ(0, Run());

    ASSERT_EQ(1u, fakewin::Get().registryWrites.size());
    const fakewin::RegistryWrite& write = fakewin::Get().registryWrites[0];
    EXPECT_EQ("SCRNSAVE.EXE", write.value);
    EXPECT_EQ(1u, write.type);  // REG_SZ
    EXPECT_EQ(std::string(1, '\0'), write.data);
    EXPECT_EQ(0, fakewin::Get().openKeys);

    ASSERT_EQ(1u, fakewin::Get().shellExecutes.size());
    const fakewin::ShellExecuteCall& start = fakewin::Get().shellExecutes[0];
    EXPECT_EQ(sizeof(SHELLEXECUTEINFOA), start.cbSize);
    EXPECT_EQ(0x40u, start.fMask);  // SEE_MASK_NOCLOSEPROCESS
    EXPECT_EQ(nullptr, start.hwnd);
    EXPECT_EQ("open", start.verb);
    EXPECT_EQ(CopyPath(), start.file);
    EXPECT_FALSE(start.parameters || start.directory);
    EXPECT_EQ(1, start.nShow);  // SW_SHOWNORMAL
    EXPECT_EQ("cleaner bytes", m_startedCopy);
    // Held open without write or delete sharing while the cleaner starts.
    EXPECT_EQ(kHeldForReading, m_heldModes);
    EXPECT_FALSE(fs::exists(CopyPath()));
    EXPECT_TRUE(fakewin::Get().openFiles.empty());

    // A copy left by an earlier run first, then the copy of this one.
    EXPECT_EQ((std::vector<std::string>{CopyPath(), CopyPath(), kShortcut}),
              fakewin::Get().deletedFiles);
    EXPECT_EQ(std::vector<std::string>{kFolder}, fakewin::Get().removedDirectories);
    EXPECT_EQ(0, fakewin::Get().liveIdLists);
    EXPECT_EQ(0, fakewin::Get().allocatorReferences);
    EXPECT_EQ((BoxList{{kCompleted, kTitle, 0u}}), Boxes());
    EXPECT_TRUE(fs::exists(m_temp + "uninstaller.bat"));
}

TEST_F(UninstallerTest, StepsRunInOrder) {
    Run();
    const std::vector<std::string> lookup = {"SHGetMalloc", "SHGetSpecialFolderLocation",
                                             "SHGetPathFromIDListA", "IMalloc::Free",
                                             "IMalloc::Release"};
    // The DLL search restricted, the own file held and checked through
    // wintrust from the system directory, before anything else. The copy:
    // made new and written, bridged to a handle that only reads and shares
    // only reading, read back; held until the cleaner has ended.
    std::vector<std::string> expected = {
        "GetModuleHandleA", "GetProcAddress", "SetDefaultDllDirectories", "GetVersionExA",
        "GetModuleFileNameA", "CreateFileA", "GetSystemDirectoryA", "GetModuleHandleA",
        "GetProcAddress", "LoadLibraryExA", "GetProcAddress", "WinVerifyTrust", "WinVerifyTrust",
        "FreeLibrary", "GetModuleHandleA", "GetProcAddress", "GetFinalPathNameByHandleA",
        "GetCurrentProcess", "OpenProcessToken", "GetTokenInformation", "CloseHandle",
        "GetTempPathA", "RegCreateKeyExA", "RegQueryValueExA", "GetSystemDirectoryA",
        "GetSystemWow64DirectoryA", "RegCloseKey", "DeleteFileA", "CreateFileA", "WriteFile",
        "CreateFileA", "CloseHandle", "CreateFileA", "CloseHandle", "ReadFile", "ReadFile",
        "GetModuleHandleA", "GetProcAddress", "GetFinalPathNameByHandleA", "ShellExecuteExA",
        "WaitForSingleObject", "CloseHandle", "CloseHandle", "DeleteFileA",
        "GetSystemDirectoryA", "GetFileAttributesA", "GetFileAttributesA", "GetFileAttributesA",
        // The setting only once the screen saver and the temporaries are gone.
        "RegCreateKeyExA", "RegQueryValueExA", "RegSetValueExA", "RegCloseKey"};
    expected.insert(expected.end(), lookup.begin(), lookup.end());
    expected.push_back("DeleteFileA");
    expected.insert(expected.end(), lookup.begin(), lookup.end());
    expected.insert(expected.end(), {"RemoveDirectoryA", "MessageBoxA", "GetModuleFileNameA",
                                     "GetTempPathA", "GetSystemDirectoryA", "CreateFileA",
                                     "WriteFile", "CloseHandle",
                                     "CreateProcessA", "SetThreadPriority",
                                     "GetCurrentThread", "SetThreadPriority", "GetCurrentProcess",
                                     "SetPriorityClass", "ResumeThread", "CloseHandle",
                                     "CloseHandle", "CloseHandle"});
    EXPECT_EQ(expected, CallNames());
    const auto& calls = fakewin::Get().calls;
    EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), "GetVersionExA(148)"));
    const std::string copy = "\"" + CopyPath() + "\", ";
    for (const std::string open :
         {"0x40000000, 0x1, 1)", "0x80000000, 0x3, 3)", "0x80000000, 0x1, 3)"}) {
        EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), "CreateFileA(" + copy + open));
    }
    EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(),
                                     "RegCreateKeyExA(0x80000001, \"Control Panel\\Desktop\", 0, "
                                     "\"\", 0x0, 0xf003f, 0x0)"));
    EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(),
                                     "WaitForSingleObject(0x3000, 4294967295)"));
    EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(),
                                     "SHGetSpecialFolderLocation(0x0, 2)"));
}

// The own file is held, shared for reading only, from before the check
// until the cleaner has been read out of it. A signature whose digest does
// not match, or a file that someone holds for writing, changes nothing: not
// the screen saver setting, no file, no start. Any other outcome goes on.
TEST_F(UninstallerTest, ADamagedSignedFileChangesNothingAndEveryOtherOutcomeGoesOn) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool stops;
    };
    const Case cases[] = {
        {"trusted", [] { fakewin::Get().trustResult = 0; }, false},
        {"TRUST_E_NOSIGNATURE", [] {}, false},
        {"CERT_E_UNTRUSTEDROOT", [] { fakewin::Get().trustResult = 0x800B0109u; }, false},
        {"no wintrust", [] { fakewin::Get().wintrustMissing = true; }, false},
        {"TRUST_E_BAD_DIGEST", [] { fakewin::Get().trustResult = 0x80096010u; }, true},
        // Another process has the own file open for writing or deleting,
        // sharing everything: only the share mode of this open refuses it.
        {"held for writing", [] { HeldByAnotherProcess("uninstaller.exe", GENERIC_WRITE); },
         true},
        {"held for deleting", [] { HeldByAnotherProcess("uninstaller.exe", DELETE); }, true},
        {"final path unknown",
         [] { fakewin::Get().finalPathResults["uninstaller.exe"] = 0; }, true},
        {"final path too long",
         [] { fakewin::Get().finalPathResults["uninstaller.exe"] = 400; }, true},
        // Before Vista: the path as given.
        {"no GetFinalPathNameByHandleA", [] { fakewin::Get().hasGetFinalPathName = false; },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetStandIn();
        Elevate();
        c.arrange();
        EXPECT_EQ(0, Run());
        fakewin::Get().openFiles.erase(kOtherProcess);
        if (c.stops) {
            EXPECT_EQ((BoxList{{kBrokenInstallerText, kTitle, 0u}}), Boxes());
            EXPECT_FALSE(Called("OpenProcessToken") || Called("CreateDirectoryA") ||
                         Called("GetTempPathA") || Called("RegCreateKeyExA") ||
                         Called("ShellExecuteExA"));
            EXPECT_FALSE(fs::exists(CopyPath()) || SelfDeletionStarted());
            EXPECT_TRUE(fakewin::Get().openFiles.empty());
        } else {
            EXPECT_EQ((BoxList{{kCompleted, kTitle, 0u}}), Boxes());
            EXPECT_TRUE(SelfDeletionStarted());
        }
        EXPECT_EQ(0, fakewin::Get().loadedLibraries);
    }

    // Opened once, first, and closed last, as WinMain returns.
    ResetStandIn();
    Run();
    const auto& opened = fakewin::Get().createdFiles;
    ASSERT_FALSE(opened.empty());
    EXPECT_EQ("uninstaller.exe", opened[0].path);
    EXPECT_EQ(1, std::count_if(opened.begin(), opened.end(), [](const fakewin::CreateFileCall& o) {
                  return o.path == "uninstaller.exe";
              }));
    EXPECT_EQ((std::vector<DWORD>{GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING}),
              (std::vector<DWORD>{opened[0].access, opened[0].share, opened[0].disposition}));
    ASSERT_EQ(2u, fakewin::Get().trustCalls.size());
    EXPECT_EQ(opened[0].handle, fakewin::Get().trustCalls[0].file);
    EXPECT_EQ("CloseHandle(0x6000)", fakewin::Get().calls.back());
}

TEST_F(UninstallerTest, OnlyWindowsNtIsSupported) {
    for (int platform : {0, 1, -1}) {  // Win32s, Windows 9x, a failing query
        SCOPED_TRACE(platform);
        fakewin::Reset();
        if (platform < 0) {
            fakewin::Get().versionQueryFails = true;
        } else {
            fakewin::Get().platformId = static_cast<DWORD>(platform);
        }
        EXPECT_TRUE(IsUnsupportedOs());
        EXPECT_EQ(0, Run());
        EXPECT_EQ((BoxList{{kUnsupported, kTitle, 0u}}), Boxes());
        EXPECT_EQ((std::vector<std::string>{"GetVersionExA", "GetModuleHandleA", "GetProcAddress",
                                            "SetDefaultDllDirectories", "GetVersionExA",
                                            "MessageBoxA"}),
                  CallNames());
    }
}

TEST_F(UninstallerTest, RegistryFailuresAreSilentAndTheRunGoesOn) {
    fakewin::Get().createKeyStatus = 5;  // ERROR_ACCESS_DENIED
    const std::string ours = *fakewin::Get().screenSaver;
    EXPECT_TRUE(ResetScreenSaverSetting(ours));
    EXPECT_FALSE(Called("RegSetValueExA") || Called("RegCloseKey"));

    fakewin::Get().createKeyStatus = 0;
    fakewin::Get().setValueStatus = 5;
    EXPECT_TRUE(ResetScreenSaverSetting(ours));
    EXPECT_EQ(0, fakewin::Get().openKeys);

    fakewin::Get().calls.clear();
    EXPECT_EQ(0, Run());
    EXPECT_EQ((BoxList{{kCompleted, kTitle, 0u}}), Boxes());
    EXPECT_TRUE(SelfDeletionStarted());
}

TEST_F(UninstallerTest, AFailedExtractionEndsTheRunAfterItsOwnMessage) {
    tamarin_test::WriteFile("uninstaller.exe", "MZ without an archive");
    EXPECT_EQ(0, Run());
    EXPECT_EQ((BoxList{{kBrokenInstallerText, kTitle, 0u}}), Boxes());
    // The screen saver stays, and so does the setting that names it.
    EXPECT_EQ(0u, fakewin::Get().registryWrites.size());
    EXPECT_FALSE(Called("ShellExecuteExA") || Called("SHGetMalloc"));
    EXPECT_FALSE(fs::exists(CopyPath()));
    EXPECT_FALSE(SelfDeletionStarted());
}

TEST_F(UninstallerTest, AFailedStartIsReportedAndTheCopyDeleted) {
    fakewin::Get().shellExecuteFails = true;
    EXPECT_EQ(0, Run());
    EXPECT_EQ((BoxList{{kCannotStart, kErrorTitle, 0x51000u}}), Boxes());
    EXPECT_EQ((std::vector<std::string>{CopyPath(), CopyPath()}), fakewin::Get().deletedFiles);
    EXPECT_FALSE(fs::exists(CopyPath()));
    EXPECT_FALSE(Called("WaitForSingleObject") || Called("SHGetMalloc"));
    EXPECT_FALSE(SelfDeletionStarted());
}

TEST_F(UninstallerTest, AStartWithoutAProcessHandleIsReportedAndTheCopyDeleted) {
    fakewin::Get().startedProcess = nullptr;
    EXPECT_EQ(0, Run());
    EXPECT_EQ((BoxList{{kNoHandle, kErrorTitle, 0x51000u}}), Boxes());
    EXPECT_EQ("cleaner bytes", m_startedCopy);
    EXPECT_EQ((std::vector<std::string>{CopyPath(), CopyPath()}), fakewin::Get().deletedFiles);
    EXPECT_FALSE(fs::exists(CopyPath()));
    EXPECT_FALSE(Called("WaitForSingleObject") || Called("SHGetMalloc"));
    // No null handle is closed; the own file's handle last, as WinMain returns.
    const auto& closed = fakewin::Get().closedHandles;
    EXPECT_EQ(closed.end(), std::find(closed.begin(), closed.end(), nullptr));
    ASSERT_FALSE(closed.empty());
    EXPECT_EQ(fakewin::Get().fileHandle, closed.back());
    EXPECT_FALSE(SelfDeletionStarted());
}

// A screen saver that the cleaner could not delete, or a system directory
// that cannot be looked at: no success is claimed and nothing else is
// removed, so a later run can try again.
TEST_F(UninstallerTest, AScreenSaverThatStaysStopsTheRunWithAnError) {
    // A host file named as the program forms the path in "sys".
    tamarin_test::WriteFile("sys\\Kobaru_Senryu_2014.scr", "locked");
    const std::function<void()> failures[] = {
        [] { fakewin::Get().systemDirectory = "sys"; },
        [] { fakewin::Get().systemDirectoryResult = 0u; },
        [] { fakewin::Get().fileAttributesError = ERROR_ACCESS_DENIED; },
        [] { fakewin::Get().fileAttributesError = ERROR_PATH_NOT_FOUND; },
    };
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        ResetStandIn();
        failures[i]();
        EXPECT_EQ(0, Run());
        EXPECT_EQ((BoxList{{kNotRemoved, kErrorTitle, 0x51000u}}), Boxes());
        EXPECT_EQ((std::vector<std::string>{CopyPath(), CopyPath()}), fakewin::Get().deletedFiles);
        EXPECT_FALSE(Called("SHGetMalloc") || Called("RemoveDirectoryA") || SelfDeletionStarted());
    }
}

// The setting is decided on before the cleaner runs and cleared only once
// the screen saver and the installer's temporaries are gone: a refused
// consent prompt, a failed cleaner or extraction leave the user's choice,
// and so does a choice made meanwhile.
TEST_F(UninstallerTest, TheSettingIsClearedOnlyOnceTheScreenSaverIsGone) {
    const std::string ours = *fakewin::Get().screenSaver;
    const std::string other = "C:\\Windows\\system32\\Mystify.scr";
    const std::string system = "C:\\Windows\\system32\\";
    const struct {
        const char* name;
        std::function<void()> arrange;
        std::string box;
        std::string setting;  // afterwards
    } cases[] = {
        {"full run", [] {}, kCompleted, ""},
        {"consent refused", [] { fakewin::Get().shellExecuteFails = true; }, kCannotStart, ours},
        {"no process handle", [] { fakewin::Get().startedProcess = nullptr; }, kNoHandle, ours},
        // Host files named as the program forms the paths.
        {"screen saver stays",
         [&] { tamarin_test::WriteFile(system + "Kobaru_Senryu_2014.scr", "locked"); },
         kNotRemoved, ours},
        {"the screen saver's temporary stays",
         [&] { tamarin_test::WriteFile(system + "Kobaru_Senryu_2014.sc~", "part"); },
         kNotRemoved, ours},
        {"the uninstaller's temporary stays",
         [&] { tamarin_test::WriteFile(system + "Kobaru_ScreenSaver_2014_Cleaner.ex~", "part"); },
         kNotRemoved, ours},
        {"chosen anew while the cleaner ran",
         [&] {
             fakewin::Get().onShellExecute = [&](const SHELLEXECUTEINFOA&) {
                 fakewin::Get().screenSaver = other;
             };
         },
         kCompleted, other},
        // Last: the library keeps what it found of the program's archive.
        {"no archive", [] { tamarin_test::WriteFile("uninstaller.exe", "MZ only"); },
         kBrokenInstallerText, ours},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetStandIn();
        c.arrange();
        EXPECT_EQ(0, Run());
        ASSERT_EQ(1u, fakewin::Get().messageBoxes.size());
        EXPECT_EQ(c.box, fakewin::Get().messageBoxes[0].text);
        EXPECT_EQ(c.setting, fakewin::Get().screenSaver.value_or("(absent)"));
        EXPECT_EQ(c.setting.empty() ? 1u : 0u, fakewin::Get().registryWrites.size());
        for (const char* name : {"Kobaru_Senryu_2014.scr", "Kobaru_Senryu_2014.sc~",
                                 "Kobaru_ScreenSaver_2014_Cleaner.ex~"}) {
            fs::remove(system + name);
        }
    }
}

// Not elevated, the copy in the user's TEMP is started by the final path of
// the handle that holds it: a TEMP reached through a link that is pointed
// elsewhere after the read-back still starts the file that was read back.
// Where the final path cannot be had, nothing is started.
TEST_F(UninstallerTest, NotElevatedTheCopyIsStartedByItsFinalPath) {
    const std::string link = "C:\\Link\\";
    const struct {
        const char* name;
        std::function<void()> arrange;
        std::string started;  // empty: no start
    } cases[] = {
        {"TEMP retargeted after the read-back", [] {}, "C:\\Real\\" + std::string(kCleaner)},
        {"UNC",
         [&] {
             fakewin::Get().finalPaths[link + kCleaner] =
                 "\\\\?\\UNC\\srv\\share\\" + std::string(kCleaner);
         },
         "\\\\srv\\share\\" + std::string(kCleaner)},
        {"no GetFinalPathNameByHandleA (XP)", [] { fakewin::Get().hasGetFinalPathName = false; },
         link + kCleaner},
        {"final path unknown", [&] { fakewin::Get().finalPathResults[link + kCleaner] = 0; }, ""},
        {"final path too long", [&] { fakewin::Get().finalPathResults[link + kCleaner] = 400; },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetStandIn();
        fs::remove_all("C:");
        fs::create_directories("C:/Real");
        fs::create_directories("C:/Other");
        fs::create_directory_symlink("Real", "C:/Link");
        UseTempDir(link);
        // Once the copy is held, TEMP's link is pointed at a planted file.
        fakewin::Get().onCreateFile = [](const std::string& path, DWORD access, DWORD share) {
            if (access != GENERIC_READ || share != FILE_SHARE_READ ||
                path.find(kCleaner) == std::string::npos) {
                return;
            }
            fs::remove("C:/Link");
            fs::create_directory_symlink("Other", "C:/Link");
            tamarin_test::WriteFile(std::string("C:/Other/") + kCleaner, "planted");
        };
        c.arrange();
        EXPECT_EQ(0, Run());
        if (c.started.empty()) {
            EXPECT_EQ((BoxList{{kCannotStart, kErrorTitle, 0x51000u}}), Boxes());
            EXPECT_FALSE(Called("ShellExecuteExA"));
        } else {
            ASSERT_EQ(1u, fakewin::Get().shellExecutes.size());
            EXPECT_EQ(c.started, fakewin::Get().shellExecutes[0].file);
            // Through the shell, for the consent prompt; CreateProcessA only
            // for the batch's interpreter.
            for (const auto& call : fakewin::Get().createdProcesses) {
                EXPECT_EQ(std::string::npos, call.applicationName.value_or("").find(kCleaner));
            }
        }
        if (c.started.rfind("C:\\Real", 0) == 0) {
            EXPECT_EQ("cleaner bytes", m_startedCopy);
            EXPECT_EQ(c.started, fakewin::Get().deletedFiles.at(1));
        }
        // The copy that was read back is deleted by the path it was started
        // by; without a final path only the path as given is known, which
        // now names the planted file (the stand-in cannot reach the UNC one).
        EXPECT_EQ(c.started.rfind("C:\\Real", 0) != 0,
                  fs::exists(std::string("C:/Real/") + kCleaner));
    }
}

// The own file is checked through the handle that stays open, and its
// archive is read by that handle's final path: a launch path through a
// link pointed elsewhere after the check still reads the checked file.
TEST_F(UninstallerTest, TheCleanerIsReadFromTheFileThatWasChecked) {
    fs::create_directories("R");
    fs::create_directories("O");
    tamarin_test::WritePackaged("R/uninstaller.exe", {Entry(kCleaner, "cleaner bytes")});
    tamarin_test::WritePackaged("O/uninstaller.exe", {Entry(kCleaner, "planted cleaner")});
    fs::create_directory_symlink("R", "L");
    fakewin::Get().modulePath = "L/uninstaller.exe";
    fakewin::Get().onCreateFile = [](const std::string& path, DWORD, DWORD) {
        if (path != "L/uninstaller.exe") return;
        fs::remove("L");
        fs::create_directory_symlink("O", "L");
    };
    EXPECT_EQ(0, Run());
    EXPECT_EQ((BoxList{{kCompleted, kTitle, 0u}}), Boxes());
    EXPECT_EQ(fs::canonical("R/uninstaller.exe").string(), tamarin::g_rootArchivePath);
    EXPECT_EQ("cleaner bytes", m_startedCopy);
}

// The final path's forms: a drive path loses "\\?\", a UNC path gets back
// "\\server"; any other form stays. A failure or a path that does not fit
// gives nothing, a system without the function the path as given.
TEST_F(UninstallerTest, FinalPathForms) {
    const std::string fits = "C:\\" + std::string(MAX_PATH - 4, 'f');
    const struct {
        std::optional<std::string> scripted;
        std::optional<DWORD> result;
        bool hasFunction;
        std::string expected;
    } cases[] = {
        {"\\\\?\\C:\\a\\b.exe", std::nullopt, true, "C:\\a\\b.exe"},
        {"\\\\?\\z:\\b.exe", std::nullopt, true, "z:\\b.exe"},
        {"\\\\?\\UNC\\srv\\sh\\b.exe", std::nullopt, true, "\\\\srv\\sh\\b.exe"},
        {"\\\\?\\Volume{1}\\b.exe", std::nullopt, true, "\\\\?\\Volume{1}\\b.exe"},
        {"\\\\?\\C:", std::nullopt, true, "\\\\?\\C:"},
        {"\\\\?\\" + fits, std::nullopt, true, fits},
        {"\\\\?\\" + fits + "f", std::nullopt, true, ""},
        {std::nullopt, 0u, true, ""},
        {std::nullopt, 600u, true, ""},
        {std::nullopt, std::nullopt, false, "given.exe"},
    };
    tamarin_test::WriteFile("given.exe", "x");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scripted.value_or("-"));
        fakewin::Reset();
        if (c.scripted) fakewin::Get().finalPaths["given.exe"] = *c.scripted;
        if (c.result) fakewin::Get().finalPathResults["given.exe"] = *c.result;
        fakewin::Get().hasGetFinalPathName = c.hasFunction;
        const HANDLE file = CreateFileA("given.exe", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(c.expected, GetFinalPath(file, "given.exe"));
        CloseHandle(file);
    }
}

TEST_F(UninstallerTest, ProgramsFolderPath) {
    EXPECT_EQ(kPrograms, GetProgramsFolderPath());
    EXPECT_EQ(0, fakewin::Get().liveIdLists);
    EXPECT_EQ(0, fakewin::Get().allocatorReferences);
}

// Without the Programs folder both names would land at the root of the
// current drive: they are skipped, and the run still completes.
TEST_F(UninstallerTest, WithoutTheProgramsFolderTheShortcutAndFolderAreLeftAlone) {
    const std::vector<std::function<void()>> failures = {
        [] { fakewin::Get().specialFolderResult = E_FAIL; },
        [] { fakewin::Get().mallocResult = E_FAIL; },
        [] { fakewin::Get().pathFromIdListFails = true; },
    };
    for (size_t i = 0; i < failures.size(); ++i) {
        SCOPED_TRACE(i);
        ResetStandIn();
        failures[i]();
        EXPECT_EQ("", GetProgramsFolderPath());
        EXPECT_EQ(0, Run());
        EXPECT_EQ((std::vector<std::string>{CopyPath(), CopyPath()}), fakewin::Get().deletedFiles);
        EXPECT_TRUE(fakewin::Get().removedDirectories.empty());
        EXPECT_EQ(0, fakewin::Get().liveIdLists);
        EXPECT_EQ(0, fakewin::Get().allocatorReferences);
        EXPECT_EQ((BoxList{{kCompleted, kTitle, 0u}}), Boxes());
        EXPECT_TRUE(SelfDeletionStarted());
    }
}

// A path cut short by its buffer would name another file: the run stops
// before the registry or any file is touched.
TEST_F(UninstallerTest, PathsThatDoNotFitStopTheRunBeforeAnyChange) {
    // Temporary directory + 33-byte name + zero byte: 260 just fit.
    const std::string base = fs::absolute(".").string() + "/";
    const std::string fitting = base + std::string(MAX_PATH - 34 - base.size() - 1, 't') + "/";
    ASSERT_EQ(226u, fitting.size());
    fs::create_directories(fitting);
    UseTempDir(fitting);
    EXPECT_EQ(0, Run());
    EXPECT_EQ((BoxList{{kCompleted, kTitle, 0u}}), Boxes());

    const std::function<void()> tooLong[] = {
        [&] { UseTempDir(fitting.substr(0, fitting.size() - 1) + "t/"); },
        [] { fakewin::Get().tempPathResult = 0u; },
        [] { fakewin::Get().tempPathResult = 300u; },
        [] { fakewin::Get().modulePath = fs::absolute(std::string(300, 'p')).string(); },
    };
    const std::string messages[] = {kCannotWriteText, kCannotWriteText, kCannotWriteText,
                                    kBrokenInstallerText};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        fakewin::Reset();
        fakewin::Get().tempPath = m_temp = fitting;
        fakewin::Get().modulePath = "uninstaller.exe";
        tooLong[i]();
        EXPECT_EQ(0, Run());
        EXPECT_EQ((BoxList{{messages[i], kTitle, 0u}}), Boxes());
        EXPECT_FALSE(Called("RegCreateKeyExA") || Called("ShellExecuteExA"));
        EXPECT_FALSE(fs::exists(fitting + kCleaner));
    }
}

// Elevated, the copy and the deletion batch go to a new folder under the
// Windows folder's Temp that only SYSTEM and the Administrators can change;
// every file there is made new, and the batch removes the folder last.
TEST_F(UninstallerTest, ElevatedTheCopyAndTheBatchGoToAProtectedFolderOfTheirOwn) {
    Elevate();
    EXPECT_EQ(0, Run());
    EXPECT_EQ((BoxList{{kCompleted, kTitle, 0u}}), Boxes());
    const auto& made = fakewin::Get().createdDirectories;
    ASSERT_EQ(1u, made.size());
    const std::string folder = made[0].first;
    const std::string temp = fakewin::Get().windowsDirectory + "\\Temp\\";
    EXPECT_EQ(temp, folder.substr(0, temp.size()));
    // Owned by the Administrators, never by the user who made it.
    EXPECT_EQ("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", made[0].second);
    EXPECT_EQ(0, fakewin::Get().liveDescriptors);
    EXPECT_FALSE(Called("GetTempPathA"));

    // Started directly, by its full path, in its folder: the shell and the
    // user's class keys are left out.
    EXPECT_FALSE(Called("ShellExecuteExA"));
    ASSERT_EQ(2u, fakewin::Get().createdProcesses.size());
    const fakewin::CreateProcessCall& cleaner = fakewin::Get().createdProcesses[0];
    const std::string copy = folder + "\\" + kCleaner;
    EXPECT_EQ(copy, cleaner.applicationName);
    EXPECT_EQ("\"" + copy + "\"", cleaner.commandLine);
    EXPECT_EQ(folder + "\\", cleaner.currentDirectory);
    EXPECT_FALSE(cleaner.processAttributes || cleaner.threadAttributes || cleaner.environment ||
                 cleaner.inheritHandles);
    EXPECT_EQ(0u, cleaner.creationFlags);
    EXPECT_TRUE(Called("WaitForSingleObject"));
    EXPECT_EQ("cleaner bytes", m_startedCopy);
    EXPECT_EQ(kHeldForReading, m_heldModes);
    // Made new (1), or opened where this run made it (3); never replaced (2).
    std::vector<std::string> opens;
    for (const std::string& call : fakewin::Get().calls) {
        if (call.rfind("CreateFileA(\"" + folder, 0) == 0) {
            opens.push_back(call.substr(call.size() - 2));
        }
    }
    EXPECT_EQ((std::vector<std::string>{"1)", "3)", "3)", "1)"}), opens);

    // Left for the batch: the batch alone, which ends by removing the folder.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(HostPath(folder))) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(std::vector<std::string>{"uninstaller.bat"}, left);
    const std::string batch = ReadFile(HostPath(folder) + "/uninstaller.bat");
    const std::string remove = "rmdir /s /q \"" + folder + "\" 2>nul";
    // The second interpreter and its pauses by their full paths too.
    const std::string system = fakewin::Get().systemDirectory;
    const std::string ping = "\"" + system + "\\PING.EXE\"";
    const std::string last = "\r\nstart \"\" /b \"" + system +
                             "\\cmd.exe\" /d /e:on /v:off /s /c \"" + ping +
                             " -n 2 127.0.0.1 >nul & " + remove + " & " + ping +
                             " -n 4 127.0.0.1 >nul & " + remove + "\"";
    EXPECT_EQ(last, batch.substr(batch.size() - std::min(batch.size(), last.size())));
    EXPECT_EQ(std::vector<std::string>{kFolder}, fakewin::Get().removedDirectories);
    // The batch runs out of the folder it removes.
    ASSERT_TRUE(BatchStart());
    EXPECT_EQ(system, BatchStart()->currentDirectory);
    EXPECT_EQ("\"" + system + "\\cmd.exe\" /d /e:on /v:off /c \"\"" + folder +
                  "\\uninstaller.bat\"\"",
              BatchStart()->commandLine);
    EXPECT_EQ(0, fakewin::Get().openTokens);
}

// Not elevated, or where elevation cannot be told: TEMP as before, the copy
// held the same way.
TEST_F(UninstallerTest, WithoutElevationTheCopyIsHeldInTemp) {
    for (bool tokenFails : {false, true}) {
        SCOPED_TRACE(tokenFails);
        ResetStandIn();
        fakewin::Get().elevated = true;
        fakewin::Get().tokenQueryFails = tokenFails;
        if (!tokenFails) fakewin::Get().elevated = false;
        EXPECT_EQ(0, Run());
        EXPECT_EQ((BoxList{{kCompleted, kTitle, 0u}}), Boxes());
        EXPECT_TRUE(fakewin::Get().createdDirectories.empty());
        EXPECT_EQ(CopyPath(), fakewin::Get().shellExecutes.at(0).file);
        EXPECT_EQ(kHeldForReading, m_heldModes);
        EXPECT_EQ(0, fakewin::Get().openTokens);
    }
}

// Every way out of an elevated run leaves nothing in the Windows folder's
// Temp but what the batch removes.
TEST_F(UninstallerTest, ElevatedWaysOutLeaveNothingBehind) {
    const struct {
        const char* name;
        std::function<void()> arrange;
        std::string box;
    } cases[] = {
        // Elevated, the cleaner is started without the shell: whatever the
        // shell would do, a failed CreateProcessA is a failed start.
        {"start failed", [] { fakewin::Get().createProcessFails = true; }, kCannotStart},
        {"screen saver stays", [] { fakewin::Get().systemDirectoryResult = 0u; }, kNotRemoved},
        // The cleaner starts; the batch's interpreter then does not.
        {"batch not started",
         [] {
             fakewin::Get().onCreateProcess = [](const char*) {
                 fakewin::Get().createProcessFails = true;
             };
         },
         kCompleted},
        {"copy changed between handles",
         [] {
             fakewin::Get().onCreateFile = [](const std::string& path, DWORD, DWORD share) {
                 if (share == (FILE_SHARE_READ | FILE_SHARE_WRITE)) {
                     tamarin_test::WriteFile(HostPath(path), "planted bytes");
                 }
             };
         },
         kCannotWriteText},
        // Last: the library keeps what it found of the program's archive.
        {"no archive", [] { tamarin_test::WriteFile("uninstaller.exe", "MZ only"); },
         kBrokenInstallerText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetStandIn();
        Package({Entry(kCleaner, "cleaner bytes")});
        Elevate();
        c.arrange();
        EXPECT_EQ(0, Run());
        ASSERT_EQ(1u, fakewin::Get().messageBoxes.size());
        EXPECT_EQ(c.box, fakewin::Get().messageBoxes[0].text);
        EXPECT_EQ(1u, fakewin::Get().createdDirectories.size());
        EXPECT_TRUE(fs::is_empty("C:/Windows/Temp"));
        EXPECT_TRUE(fakewin::Get().openFiles.empty());
    }
}

// No folder of its own, no removal: never TEMP instead.
TEST_F(UninstallerTest, ElevatedWithoutAFolderOfItsOwnTheRunStops) {
    const struct {
        const char* name;
        std::function<void()> arrange;
        size_t tries;
    } cases[] = {
        {"no Temp in the Windows folder", [] {}, 1},
        {"every name taken",
         [] { fakewin::Get().createDirectoryError = ERROR_ALREADY_EXISTS; }, 16},
        {"no Windows folder", [] { fakewin::Get().windowsDirectoryResult = 0u; }, 0},
        {"a \"%\" in the Windows folder", [] { fakewin::Get().windowsDirectory += "%OS%"; }, 0},
        // Each byte that the batch's interpreter could take for an operator.
        {"a \"&\" in the Windows folder", [] { fakewin::Get().windowsDirectory += "&x"; }, 0},
        {"a \"^\" in the Windows folder", [] { fakewin::Get().windowsDirectory += "^"; }, 0},
        {"a \"|\" in the Windows folder", [] { fakewin::Get().windowsDirectory += "|x"; }, 0},
        {"a \"<\" in the Windows folder", [] { fakewin::Get().windowsDirectory += "<x"; }, 0},
        {"a \">\" in the Windows folder", [] { fakewin::Get().windowsDirectory += ">x"; }, 0},
        {"a \"(\" in the Windows folder", [] { fakewin::Get().windowsDirectory += "(x"; }, 0},
        {"a \")\" in the Windows folder", [] { fakewin::Get().windowsDirectory += ")"; }, 0},
        {"a \"!\" in the Windows folder", [] { fakewin::Get().windowsDirectory += "!x!"; }, 0},
        {"a \",\" in the Windows folder", [] { fakewin::Get().windowsDirectory += ",x"; }, 0},
        {"a lone Shift-JIS lead byte", [] { fakewin::Get().windowsDirectory += "\x83"; }, 0},
        {"a half-width katakana", [] { fakewin::Get().windowsDirectory += "\xB1"; }, 0},
        {"a \"&\" in the system directory",
         [] { fakewin::Get().systemDirectory = "C:\\Windows\\a&b"; }, 0},
        // No guessable names instead.
        {"no RtlGenRandom", [] { fakewin::Get().hasRtlGenRandom = false; }, 0},
        {"RtlGenRandom fails", [] { fakewin::Get().rtlGenRandomFails = true; }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetStandIn();
        Elevate(false);
        c.arrange();
        EXPECT_EQ(0, Run());
        EXPECT_EQ((BoxList{{kCannotWriteText, kTitle, 0u}}), Boxes());
        std::vector<std::string> names;
        for (const auto& made : fakewin::Get().createdDirectories) names.push_back(made.first);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(c.tries, std::unique(names.begin(), names.end()) - names.begin());
        EXPECT_FALSE(Called("GetTempPathA") || Called("RegCreateKeyExA"));
        // Only the own file was opened, and it is closed again.
        EXPECT_EQ(1u, fakewin::Get().createdFiles.size());
        EXPECT_TRUE(fakewin::Get().openFiles.empty());
        EXPECT_EQ(0, fakewin::Get().liveDescriptors);
        EXPECT_FALSE(fs::exists("C:/Windows"));
    }
}

// The folder's name holds 16 hex digits from the system's random generator,
// fresh for each try; nothing of the process id or the clock. Every byte of
// the Windows folder is from the safe set: letters, digits, blank, "\", ":",
// ".", "_", "-" and whole Shift-JIS pairs, whatever their trail byte.
TEST_F(UninstallerTest, TheOwnFolderHasARandomNameUnderASafeWindowsFolder) {
    const std::string windows[] = {"C:\\Windows",
                                   "C:\\Win dows_1.0-x\\" + Cp932("こばる") + "\x83\x7C"};
    for (const std::string& folder : windows) {
        SCOPED_TRACE(folder);
        ResetStandIn();
        Elevate(false);
        fakewin::Get().windowsDirectory = folder;
        fs::create_directories(HostPath(folder) + "/Temp");
        fakewin::Get().randomBytes = "\x01\x23\x45\x67\x89\xAB\xCD\xEF";
        EXPECT_EQ(0, Run());
        EXPECT_EQ((BoxList{{kCompleted, kTitle, 0u}}), Boxes());
        ASSERT_EQ(1u, fakewin::Get().createdDirectories.size());
        EXPECT_EQ(folder + "\\Temp\\Kobaru_0123456789ABCDEF",
                  fakewin::Get().createdDirectories[0].first);
        EXPECT_FALSE(Called("GetTickCount") || Called("GetCurrentProcessId"));
        fs::remove_all("C:");
    }

    ResetStandIn();
    Elevate();
    fakewin::Get().createDirectoryError = ERROR_ALREADY_EXISTS;
    Run();
    const auto& calls = fakewin::Get().calls;
    EXPECT_EQ(16, std::count(calls.begin(), calls.end(), "SystemFunction036(8)"));
    std::vector<std::string> names;
    for (const auto& made : fakewin::Get().createdDirectories) {
        EXPECT_EQ(fakewin::Get().windowsDirectory.size() + 29, made.first.size());
        names.push_back(made.first);
    }
    EXPECT_EQ(16u, names.size());
    EXPECT_EQ("C:\\Windows\\Temp\\Kobaru_A0A1A2A3A4A5A6A7", names.at(0));
    EXPECT_EQ("C:\\Windows\\Temp\\Kobaru_A8A9AAABACADAEAF", names.at(1));
}

// The copy is written only as a new file and started only as written.
TEST_F(UninstallerTest, ACopyThatIsNotOursAloneIsRefused) {
    const struct {
        const char* name;
        std::function<void()> arrange;
        bool copyLeft;
    } cases[] = {
        {"a folder at its name", [this] { fs::create_directories(CopyPath()); }, true},
        {"bytes added between the handles",
         [] {
             fakewin::Get().onCreateFile = [](const std::string& path, DWORD, DWORD share) {
                 if (share == (FILE_SHARE_READ | FILE_SHARE_WRITE)) {
                     tamarin_test::WriteFile(path, "cleaner bytes and more");
                 }
             };
         },
         false},
        // Another process that opened it for writing once the write handle
        // was closed, and keeps it open.
        {"held for writing by another process",
         [] {
             fakewin::Get().onCreateFile = [](const std::string& path, DWORD, DWORD share) {
                 if (share != (FILE_SHARE_READ | FILE_SHARE_WRITE)) return;
                 fakewin::Get().openFiles[kOtherProcess] = {path, GENERIC_WRITE, 7, -1};
             };
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetStandIn();
        c.arrange();
        EXPECT_EQ(0, Run());
        EXPECT_EQ((BoxList{{kCannotWriteText, kTitle, 0u}}), Boxes());
        EXPECT_FALSE(Called("ShellExecuteExA"));
        EXPECT_EQ(c.copyLeft, fs::exists(CopyPath()));
        fakewin::Get().openFiles.erase(kOtherProcess);
        fs::remove_all(CopyPath());
        EXPECT_TRUE(fakewin::Get().openFiles.empty());
    }
}

// The setting is cleared only when it names our screen saver in the system
// directory, in any case, long or short; any other choice stays.
TEST_F(UninstallerTest, OnlyOurScreenSaverSettingIsCleared) {
    const std::string ours = "C:\\Windows\\system32\\Kobaru_Senryu_2014.scr";
    const std::string shortOurs = "C:\\Windows\\system32\\KOBARU~1.SCR";
    const struct {
        std::optional<std::string> value;
        DWORD type;
        bool cleared;
    } cases[] = {
        {ours, REG_SZ, true},
        {"c:\\WINDOWS\\SYSTEM32\\kobaru_senryu_2014.SCR", REG_SZ, true},
        {shortOurs, REG_SZ, true},
        {"c:\\windows\\system32\\kobaru~1.scr", REG_SZ, true},
        {"C:\\Windows\\SysWOW64\\KOBARU_SENRYU_2014.scr", REG_SZ, true},
        {"C:\\Windows\\system32\\Mystify.scr", REG_SZ, false},
        {"C:\\Windows\\system32\\KOBARU~2.SCR", REG_SZ, false},
        {"C:\\Users\\u\\Kobaru_Senryu_2014.scr", REG_SZ, false},
        {ours + " ", REG_SZ, false},
        {"Kobaru_Senryu_2014.scr", REG_SZ, false},
        {"", REG_SZ, false},
        {ours, REG_EXPAND_SZ, false},
        {std::nullopt, REG_SZ, false},
        {std::string(400, 'x'), REG_SZ, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.value_or("(absent)"));
        fakewin::Reset();
        fakewin::Get().wow64Directory = "C:\\Windows\\SysWOW64";
        fakewin::Get().shortPaths[ours] = shortOurs;
        fakewin::Get().screenSaver = c.value;
        fakewin::Get().screenSaverType = c.type;
        std::string seen;
        EXPECT_EQ(c.cleared, FindOurScreenSaverSetting(seen));
        if (c.cleared) {
            EXPECT_FALSE(ResetScreenSaverSetting(seen));
        }
        EXPECT_EQ(c.cleared ? 1u : 0u, fakewin::Get().registryWrites.size());
        EXPECT_EQ(0, fakewin::Get().openKeys);
    }
}

}  // namespace
