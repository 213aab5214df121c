"""The installer, packaged with the pack tool and run end to end under Wine."""

import os
import tempfile
import unittest
from pathlib import Path

from packaging_support import package
from product import BROKEN, CANNOT_WRITE, SCREEN_SAVER, TITLE
from product import INSTALLED_UNINSTALLER as UNINSTALLER
from winehar import WinePrefix

INSTALLER = os.environ["KOBARU_INSTALLER"]
WINE_BASE = os.path.join(os.environ["KOBARU_WINE_ROOT"], "base")


SAVER_BYTES = bytes(range(256)) * 300 + b"saver"
UNINSTALLER_BYTES = b"MZ" + bytes(5000) + b"uninstaller"


class InstallerTest(unittest.TestCase):
    def setUp(self):
        self.prefix = WinePrefix(WINE_BASE)
        self.addCleanup(self.prefix.close)
        self.work = Path(tempfile.mkdtemp(dir=self.prefix.drive_c))
        self.system = self.prefix.system_dir()

    def packaged(self, entries, **options):
        out = self.work / "Inst_Kobaru_ScreenSaver_RA.exe"
        package(INSTALLER, entries, out, **options)
        return out

    def run_installer(self, exe, args=(), cwd=None):
        result = self.prefix.run(exe, args, cwd=cwd)
        self.assertEqual(0, result.exit_code)
        return result

    def assert_messages(self, result, *texts):
        self.assertEqual(list(texts), [b.text for b in result.message_boxes])
        for box in result.message_boxes:
            self.assertEqual((TITLE, 0, True),
                             (box.title, box.style, box.owner_is_top_of_foreground))

    def test_full_install_writes_both_files_byte_for_byte(self):
        for version in ("pf0", "pf2"):
            for placement in ("header", "trailer"):
                with self.subTest(version=version, placement=placement):
                    exe = self.packaged({SCREEN_SAVER: SAVER_BYTES, UNINSTALLER: UNINSTALLER_BYTES},
                                        version=version, placement=placement)
                    result = self.run_installer(exe)
                    self.assert_messages(result)
                    self.assertEqual(SAVER_BYTES, (self.system / SCREEN_SAVER).read_bytes())
                    self.assertEqual(UNINSTALLER_BYTES, (self.system / UNINSTALLER).read_bytes())
                    (self.system / SCREEN_SAVER).unlink()
                    (self.system / UNINSTALLER).unlink()

    def test_without_an_archive_or_the_screen_saver_entry_nothing_is_written(self):
        for exe in (Path(INSTALLER), self.packaged({UNINSTALLER: UNINSTALLER_BYTES})):
            with self.subTest(exe=exe.name):
                result = self.run_installer(exe)
                self.assert_messages(result, BROKEN)
                self.assertFalse((self.system / SCREEN_SAVER).exists())
                self.assertFalse((self.system / UNINSTALLER).exists())

    def test_without_the_uninstaller_entry_the_screen_saver_is_written_first(self):
        result = self.run_installer(self.packaged({SCREEN_SAVER: SAVER_BYTES}))
        self.assert_messages(result, BROKEN)
        self.assertEqual(SAVER_BYTES, (self.system / SCREEN_SAVER).read_bytes())
        self.assertFalse((self.system / UNINSTALLER).exists())

    def test_an_entry_running_past_the_end_keeps_the_installed_file(self):
        (self.system / SCREEN_SAVER).write_bytes(b"installed before")
        exe = self.packaged({UNINSTALLER: UNINSTALLER_BYTES, SCREEN_SAVER: SAVER_BYTES})
        data = exe.read_bytes()
        exe.write_bytes(data[:-10])  # the screen saver is the last entry
        result = self.run_installer(exe)
        self.assert_messages(result, BROKEN)
        self.assertEqual(b"installed before", (self.system / SCREEN_SAVER).read_bytes())
        self.assertFalse((self.system / UNINSTALLER).exists())

    def test_an_unwritable_destination_is_reported_once_and_stops_the_run(self):
        # A folder at the file's name stops even an administrator.
        (self.system / SCREEN_SAVER).mkdir()
        exe = self.packaged({SCREEN_SAVER: SAVER_BYTES, UNINSTALLER: UNINSTALLER_BYTES})
        result = self.run_installer(exe)
        self.assert_messages(result, CANNOT_WRITE)
        self.assertTrue((self.system / SCREEN_SAVER).is_dir())
        self.assertFalse((self.system / UNINSTALLER).exists())

    def test_a_file_of_the_entry_name_in_the_current_folder_is_not_taken(self):
        exe = self.packaged({SCREEN_SAVER: SAVER_BYTES, UNINSTALLER: UNINSTALLER_BYTES})
        (self.work / SCREEN_SAVER).write_bytes(b"from the current folder")
        result = self.run_installer(exe, cwd=self.work)
        self.assert_messages(result)
        self.assertEqual(SAVER_BYTES, (self.system / SCREEN_SAVER).read_bytes())
        self.assertEqual(UNINSTALLER_BYTES, (self.system / UNINSTALLER).read_bytes())
        self.assertEqual(b"from the current folder", (self.work / SCREEN_SAVER).read_bytes())

    def test_arguments_change_nothing(self):
        exe = self.packaged({SCREEN_SAVER: SAVER_BYTES, UNINSTALLER: UNINSTALLER_BYTES})
        result = self.run_installer(exe, ["/uninstall", "C:\\elsewhere", "Kobaru_Senryu_2014.scr"])
        self.assert_messages(result)
        self.assertEqual(SAVER_BYTES, (self.system / SCREEN_SAVER).read_bytes())
        self.assertEqual(UNINSTALLER_BYTES, (self.system / UNINSTALLER).read_bytes())


if __name__ == "__main__":
    unittest.main()
