"""The 32-bit installer as delivered: the program itself and its packaged
form with the archive behind the image."""

import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
from packaging_support import list_entries  # noqa: E402
from pecheck import DeliverableChecks, Program  # noqa: E402

PACKAGED = Path(os.environ["KOBARU_PACKAGED"])
SCREEN_SAVER = Path(os.environ["KOBARU_SCREEN_SAVER_FILE"])


class InstallerExecutableTest(DeliverableChecks, unittest.TestCase):
    PATH = str(PACKAGED / "Inst_Kobaru_ScreenSaver_RA.exe")
    NAME = "Inst_Kobaru_ScreenSaver_RA"
    DESCRIPTION = "Kobaru Screen Saver Installer"
    LEVEL = "requireAdministrator"
    REQUIRED_IMPORTS = [("kernel32.dll", "GetModuleFileNameA"),
                        ("kernel32.dll", "GetSystemDirectoryA"),
                        ("user32.dll", "MessageBoxA"),
                        ("user32.dll", "GetForegroundWindow"),
                        ("user32.dll", "GetTopWindow"),
                        ("kernel32.dll", "CreateFileA"), ("kernel32.dll", "LoadLibraryExA")]
    RESOLVED = DeliverableChecks.RESOLVED + ["WinVerifyTrust"]

    def test_archive_starts_where_the_header_word_says_right_behind_the_image(self):
        data = Path(self.PATH).read_bytes()
        start = int.from_bytes(data[28:32], "little")
        self.assertEqual(self.program.overlay_offset(), start)
        self.assertEqual(b"pf2", data[start:start + 3])

    def test_carries_the_screen_saver_and_the_packaged_uninstaller(self):
        listed = list_entries(self.PATH)
        path = os.path.abspath(self.PATH)
        uninstaller = PACKAGED / "Kobaru_ScreenSaver_Cleaner.exe"
        expected = {"Kobaru_Senryu_2014.scr": SCREEN_SAVER.stat().st_size,
                    "Kobaru_ScreenSaver_2014_Cleaner.exe": uninstaller.stat().st_size}
        self.assertEqual(expected, {name: size for name, (_, size, _) in listed.items()})
        data = Path(self.PATH).read_bytes()
        offset, size, container = listed["Kobaru_Senryu_2014.scr"]
        self.assertEqual(path, os.path.abspath(container))
        self.assertEqual(SCREEN_SAVER.read_bytes(), data[offset:offset + size])


if __name__ == "__main__":
    unittest.main()
