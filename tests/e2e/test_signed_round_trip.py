"""The product as shipped, signed, run end to end under Wine: the packaged
installer, then the uninstaller it installed, which runs the cleaner it
carries."""

import os
import subprocess
import unittest
from pathlib import Path

from product import COMPLETED, DESKTOP_KEY, FOLDER, INSTALLED_UNINSTALLER, SCREEN_SAVER, SHORTCUT
from winehar import WinePrefix

PACKAGED = Path(os.environ["KOBARU_PACKAGED"])
SCREEN_SAVER_FILE = Path(os.environ["KOBARU_SCREEN_SAVER_FILE"])
TRUST = os.environ["KOBARU_SIGN_TRUST"]
WINE_BASE = os.path.join(os.environ["KOBARU_WINE_ROOT"], "base")

INSTALLER = PACKAGED / "Inst_Kobaru_ScreenSaver_RA.exe"
UNINSTALLER = PACKAGED / "Kobaru_ScreenSaver_Cleaner.exe"


class SignedRoundTripTest(unittest.TestCase):
    def assert_signed(self, path):
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", TRUST, "-in", str(path)],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(0, result.returncode, result.stdout)

    def test_the_signed_installer_installs_and_its_uninstaller_removes_everything(self):
        self.assert_signed(INSTALLER)
        with WinePrefix(WINE_BASE) as prefix:
            system = prefix.system_dir()
            result = prefix.run(INSTALLER)
            self.assertEqual((0, []), (result.exit_code, result.message_boxes))
            self.assertEqual(SCREEN_SAVER_FILE.read_bytes(), (system / SCREEN_SAVER).read_bytes())
            installed = system / INSTALLED_UNINSTALLER
            self.assertEqual(UNINSTALLER.read_bytes(), installed.read_bytes())
            self.assert_signed(installed)

            # What the user's setup adds: the screen saver chosen, a shortcut.
            prefix.reg_set(DESKTOP_KEY, "SCRNSAVE.EXE", "C:\\windows\\system32\\" + SCREEN_SAVER)
            folder = prefix.programs_dir() / FOLDER
            folder.mkdir(parents=True, exist_ok=True)
            (folder / SHORTCUT).write_bytes(b"shortcut")

            result = prefix.run(installed, cwd=prefix.drive_c)
            self.assertEqual((0, [COMPLETED]),
                             (result.exit_code, [b.text for b in result.message_boxes]))
            self.assertFalse((system / SCREEN_SAVER).exists())
            self.assertEqual(b"", prefix.reg_query(DESKTOP_KEY, "SCRNSAVE.EXE"))
            self.assertFalse(folder.exists())
            self.assertFalse(installed.exists())


if __name__ == "__main__":
    unittest.main()
