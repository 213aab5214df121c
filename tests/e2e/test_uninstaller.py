"""The uninstaller, packaged with the elevated cleaner and run end to end
under Wine: from a clean-up of the installed product to its own deletion."""

import os
import re
import shutil
import subprocess
import tempfile
import threading
import unittest
from pathlib import Path

from product import (BROKEN, CANNOT_WRITE, CLEANER_NAME, COMPLETED, DESKTOP_KEY, FOLDER,
                     SCREEN_SAVER, SHORTCUT, TITLE)
from product import INSTALLED_UNINSTALLER as INSTALLED_NAME
from winehar import RELAY_INCLUDE, WinePrefix, _decode_traced_string

UNINSTALLER = os.environ["KOBARU_UNINSTALLER"]
# The same program with an asInvoker manifest: how a standard user's run
# looks to it (a limited token).
STANDARD_UNINSTALLER = os.environ["KOBARU_STANDARD_UNINSTALLER"]
CLEANER = os.environ["KOBARU_CLEANER"]
PACK = os.environ["KOBARU_PACK"]
WINE_BASE = os.path.join(os.environ["KOBARU_WINE_ROOT"], "base")
# Process starts traced besides the message boxes: under either name Wine
# may export CreateProcessA by.
START_RELAY = ";kernel32.CreateProcessA;kernelbase.CreateProcessA;shell32.ShellExecuteExA"
_CREATE_PROCESS = re.compile(r"Call (?:kernel32|kernelbase)\.CreateProcessA\(", re.I)
# The system directory as the programs name it, and a folder of the run's own.
SYSTEM_DIR = r"C:\\windows\\(?:system32|syswow64)"
OWN_FOLDER = r"(?i:C:\\windows\\temp)\\Kobaru_[0-9A-F]{16}"


def traced_process_starts(trace):
    """(application, command line, current folder) of every CreateProcessA in
    a relay trace, each a bytes string or None for a null pointer."""
    starts = []
    for line in trace.splitlines():
        m = _CREATE_PROCESS.search(line)
        if not m:
            continue
        pos, args = m.end(), []
        while len(args) < 8:
            hex_end = pos
            while line[hex_end] in "0123456789abcdefABCDEF":
                hex_end += 1
            if line.startswith(' "', hex_end):
                value, _, pos = _decode_traced_string(line, hex_end + 1)
            else:
                value, pos = None, hex_end
            args.append(value)
            pos += 1  # the comma
        starts.append((args[0], args[1], args[7]))
    return starts



class UninstallerTest(unittest.TestCase):
    def setUp(self):
        self.prefix = WinePrefix(WINE_BASE)
        self.addCleanup(self.prefix.close)
        self.system = self.prefix.system_dir()
        self.programs = self.prefix.programs_dir()
        # What an installation and the user leave behind.
        (self.system / SCREEN_SAVER).write_bytes(b"screen saver")
        self.prefix.reg_set(DESKTOP_KEY, "SCRNSAVE.EXE", "C:\\windows\\system32\\" + SCREEN_SAVER)
        (self.programs / FOLDER).mkdir(parents=True, exist_ok=True)
        (self.programs / FOLDER / SHORTCUT).write_bytes(b"shortcut")

    def install_uninstaller(self, packaged=True, program=UNINSTALLER):
        """The uninstaller where the installer puts it, with the cleaner
        appended as an archive entry, or bare."""
        target = self.system / INSTALLED_NAME
        if packaged:
            subprocess.run([PACK, "append", "--version", "pf2", "-o", str(target), program,
                            "--entry", CLEANER_NAME + "=" + CLEANER], check=True)
        else:
            target.write_bytes(Path(program).read_bytes())
        return target

    def run_uninstaller(self, exe, cwd=None):
        result = self.prefix.run(exe, cwd=cwd)
        self.assertEqual(0, result.exit_code)
        return result

    def assert_product_messages(self, result, *texts):
        self.assertEqual(list(texts), [b.text for b in result.message_boxes])
        for box in result.message_boxes:
            self.assertEqual((TITLE, 0, True),
                             (box.title, box.style, box.owner_is_top_of_foreground))

    def temp_leftovers(self):
        """What is ours in the user's TEMP (where a standard user's run
        works) and in the Windows folder's Temp (where an elevated run does:
        the uninstaller's manifest asks for highestAvailable)."""
        windows_temp = self.prefix.drive_c / "windows" / "temp"
        return sorted(p.name for folder in (self.prefix.temp_dir(), windows_temp)
                      if folder.is_dir() for p in folder.iterdir()
                      if p.name.startswith("Kobaru"))

    def test_full_run_removes_the_product_and_then_itself(self):
        exe = self.install_uninstaller()
        result = self.run_uninstaller(exe)

        self.assert_product_messages(result, COMPLETED)
        self.assertFalse((self.system / SCREEN_SAVER).exists())
        self.assertEqual(b"", self.prefix.reg_query(DESKTOP_KEY, "SCRNSAVE.EXE"))
        self.assertFalse((self.programs / FOLDER).exists())
        # The batch has waited for the process to end; the harness waited
        # for the batch.
        self.assertFalse(exe.exists())
        self.assertEqual([], self.temp_leftovers())

    def test_a_standard_users_run_works_in_temp_and_leaves_nothing(self):
        # The fault matrix shows that this run reads TEMP (a missing one
        # stops it); here, that it runs to its end from there.
        exe = self.install_uninstaller(program=STANDARD_UNINSTALLER)
        result = self.run_uninstaller(exe)

        self.assert_product_messages(result, COMPLETED)
        self.assertFalse((self.system / SCREEN_SAVER).exists())
        self.assertFalse((self.programs / FOLDER).exists())
        self.assertFalse(exe.exists())
        self.assertEqual(b"", self.prefix.reg_query(DESKTOP_KEY, "SCRNSAVE.EXE"))
        self.assertEqual([], self.temp_leftovers())

    def test_a_folder_and_a_screen_saver_setting_not_ours_stay(self):
        (self.programs / FOLDER / "readme.txt").write_bytes(b"not ours")
        other = r"C:\windows\system32\Other_Kobaru_Senryu_2014.scr"
        self.prefix.reg_set(DESKTOP_KEY, "SCRNSAVE.EXE", other)
        result = self.run_uninstaller(self.install_uninstaller())
        self.assert_product_messages(result, COMPLETED)
        self.assertEqual(["readme.txt"], sorted(p.name for p in (self.programs / FOLDER).iterdir()))
        self.assertEqual(other.encode(), self.prefix.reg_query(DESKTOP_KEY, "SCRNSAVE.EXE"))

    def test_without_the_archive_only_the_extraction_message_is_shown(self):
        exe = self.install_uninstaller(packaged=False)
        result = self.run_uninstaller(exe)
        self.assert_product_messages(result, BROKEN)
        # The screen saver stays, and so does the setting that names it.
        self.assertEqual(b"C:\\windows\\system32\\" + SCREEN_SAVER.encode(),
                         self.prefix.reg_query(DESKTOP_KEY, "SCRNSAVE.EXE"))
        self.assertTrue((self.system / SCREEN_SAVER).exists())
        self.assertTrue((self.programs / FOLDER / SHORTCUT).exists())
        self.assertTrue(exe.exists())
        self.assertEqual([], self.temp_leftovers())

    def test_a_copy_that_cannot_be_written_is_reported_and_stops_the_run(self):
        # Elevated, the copy goes to a new folder in the Windows folder's
        # Temp, never to the user's TEMP: a file in Temp's place stops it.
        blocker = self.prefix.drive_c / "windows" / "temp"
        shutil.rmtree(blocker, ignore_errors=True)
        blocker.write_bytes(b"not a folder")
        exe = self.install_uninstaller()
        result = self.run_uninstaller(exe)
        self.assert_product_messages(result, CANNOT_WRITE)
        self.assertEqual(b"not a folder", blocker.read_bytes())
        self.assertEqual(self.prefix.reg_query(DESKTOP_KEY, "SCRNSAVE.EXE"),
                         b"C:\\windows\\system32\\" + SCREEN_SAVER.encode())
        self.assertTrue((self.system / SCREEN_SAVER).exists())
        self.assertTrue(exe.exists())

    def test_the_cleaner_and_the_batch_are_started_by_full_paths(self):
        """Elevated (Wine runs the uninstaller so under every prefix), the
        cleaner is started with CreateProcessA by its full path in a folder of
        the run's own, never through the shell, and the batch by the system's
        cmd.exe with /d. The relay trace shows the very arguments."""
        self.prefix.reg_set(r"HKCU\Software\Wine\Debug", "RelayInclude",
                            RELAY_INCLUDE + START_RELAY)
        result = self.run_uninstaller(self.install_uninstaller())
        self.assert_product_messages(result, COMPLETED)
        trace = result.stderr.decode("latin-1")
        self.assertNotIn("ShellExecuteExA(", trace)
        starts = [(a.decode("cp932"), c.decode("cp932"), d and d.decode("cp932"))
                  for a, c, d in traced_process_starts(trace)]
        self.assertEqual(2, len(starts), starts)
        (cleaner, cleaner_line, cleaner_dir), (cmd, cmd_line, cmd_dir) = starts
        folder = re.fullmatch(r"(%s)\\%s" % (OWN_FOLDER, re.escape(CLEANER_NAME)), cleaner)
        self.assertTrue(folder, cleaner)
        self.assertEqual(('"%s"' % cleaner, folder.group(1) + "\\"), (cleaner_line, cleaner_dir))
        self.assertRegex(cmd, r"(?i)^%s\\cmd\.exe$" % SYSTEM_DIR)
        batch = folder.group(1) + "\\" + INSTALLED_NAME[:-4] + ".bat"
        self.assertEqual('"%s" /d /e:on /v:off /c ""%s""' % (cmd, batch), cmd_line)
        self.assertEqual(cmd.rsplit("\\", 1)[0], cmd_dir)
        self.assertFalse((self.system / SCREEN_SAVER).exists())
        self.assertEqual([], self.temp_leftovers())

    def test_a_cleaner_in_the_current_folder_is_never_started(self):
        work = Path(tempfile.mkdtemp(dir=self.prefix.drive_c))
        (work / CLEANER_NAME).write_bytes(Path(CLEANER).read_bytes())
        exe = self.install_uninstaller(packaged=False)
        result = self.run_uninstaller(exe, cwd=work)
        self.assert_product_messages(result, BROKEN)
        self.assertTrue((self.system / SCREEN_SAVER).exists())
        self.assertTrue((work / CLEANER_NAME).exists())
        self.assertTrue(exe.exists())
        self.assertEqual([], self.temp_leftovers())


if __name__ == "__main__":
    unittest.main()
