// The installer's run against the Windows stand-in: its own path and the
// system directory are host paths, so extraction really writes files.
#include <filesystem>

#include <gtest/gtest.h>

#include "fakewin/fakewin.h"
#include "tamarin/extract.h"
#include "tamarin_writer/writer.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using tamarin_writer::Entry;

const char kScreenSaver[] = "Kobaru_Senryu_2014.scr";
const char kUninstaller[] = "Kobaru_ScreenSaver_2014_Cleaner.exe";

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

}  // namespace
