"""The 32-bit deliverables as released: within their sizes, signed, and each
signed file packed unchanged into the next."""

import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
from packaging_support import list_entries  # noqa: E402

PACKAGED = Path(os.environ["KOBARU_PACKAGED"])
TRUST = os.environ["KOBARU_SIGN_TRUST"]
CLEANER = PACKAGED / "Kobaru_ScreenSaver_Cleaner_RA.exe"
UNINSTALLER = PACKAGED / "Kobaru_ScreenSaver_Cleaner.exe"
INSTALLER = PACKAGED / "Inst_Kobaru_ScreenSaver_RA.exe"
SCREEN_SAVER = PACKAGED / "Kobaru_Senryu_2014.scr"
# The screen saver as given (or the sample), before signing.
SCREEN_SAVER_SOURCE = Path(os.environ["KOBARU_SCREEN_SAVER_FILE"])

KB = 1024
# (file, the most bytes it may take): the programs themselves, and the
# installer as shipped with the screen saver and the uninstaller inside.
SIZE_LIMITS = [(Path(os.environ["KOBARU_CLEANER_PROGRAM"]), 32 * KB),
               (Path(os.environ["KOBARU_INSTALLER_PROGRAM"]), 224 * KB),
               (Path(os.environ["KOBARU_UNINSTALLER_PROGRAM"]), 224 * KB),
               (INSTALLER, 512 * KB)]
# (container, entry name, the signed file it must hold)
PACKED = [(UNINSTALLER, "Kobaru_ScreenSaver_Cleaner_RA.exe", CLEANER),
          (INSTALLER, "Kobaru_ScreenSaver_2014_Cleaner.exe", UNINSTALLER),
          (INSTALLER, "Kobaru_Senryu_2014.scr", SCREEN_SAVER)]


def verify(path):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", TRUST, "-in", str(path)],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


class ReleaseTest(unittest.TestCase):
    def test_each_file_is_within_its_size(self):
        for path, limit in SIZE_LIMITS:
            with self.subTest(path=path.name):
                self.assertLessEqual(path.stat().st_size, limit)

    def test_each_deliverable_carries_a_sha256_signature_that_verifies(self):
        for path in (CLEANER, UNINSTALLER, INSTALLER):
            with self.subTest(path=path.name):
                result = verify(path)
                self.assertEqual(0, result.returncode, result.stdout)
                self.assertRegex(result.stdout, r"Message digest algorithm\s*: SHA256")
                self.assertIn("Signature verification: ok", result.stdout)

    def test_the_screen_saver_is_signed_here_unless_it_came_signed(self):
        source = SCREEN_SAVER_SOURCE.read_bytes()
        with tempfile.TemporaryDirectory() as folder:
            came_signed = subprocess.run(["osslsigncode", "extract-signature", "-in", str(SCREEN_SAVER_SOURCE),
                                          "-out", str(Path(folder) / "signature")],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
        if came_signed:
            self.assertEqual(source, SCREEN_SAVER.read_bytes())
        else:
            result = verify(SCREEN_SAVER)
            self.assertEqual(0, result.returncode, result.stdout)

    def test_the_signature_covers_the_appended_archive(self):
        offset, _, _ = list_entries(INSTALLER)["Kobaru_Senryu_2014.scr"]
        data = bytearray(INSTALLER.read_bytes())
        data[offset] ^= 1
        with tempfile.TemporaryDirectory() as folder:
            changed = Path(folder) / INSTALLER.name
            changed.write_bytes(data)
            self.assertNotEqual(0, verify(changed).returncode)

    def test_each_packed_program_is_the_signed_file_byte_for_byte(self):
        for container, entry, signed in PACKED:
            with self.subTest(entry=entry):
                offset, size, _ = list_entries(container)[entry]
                data = container.read_bytes()
                self.assertEqual(signed.read_bytes(), data[offset:offset + size])


if __name__ == "__main__":
    unittest.main()
