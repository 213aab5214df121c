"""The packaged installer and uninstaller under Wine in the situations that
real machines produce: a full disk, files read-only or in use, unusual
temporary folders, files planted in the current folder, a screen saver that
cannot be deleted, a signed program damaged, a program renamed while it
runs. Each case checks the messages, the exit code and every
file of the prefix before and after: only the product's files change, and
only as the case allows."""

import collections
import hashlib
import os
import re
import shutil
import tempfile
import threading
import time
import unittest
from pathlib import Path

import product
from packaging_support import list_entries, package
from product import BROKEN, CLEANER_NAME, DESKTOP_KEY, TITLE
from winehar import SYSTEM_FOLDER, WinePrefix

INSTALLER = os.environ["KOBARU_INSTALLER"]
UNINSTALLER = os.environ["KOBARU_UNINSTALLER"]
# The same uninstaller with an asInvoker manifest: a standard user's run,
# with a limited token.
STANDARD_UNINSTALLER = os.environ["KOBARU_STANDARD_UNINSTALLER"]
CLEANER = os.environ["KOBARU_CLEANER"]
HOLD = os.environ["KOBARU_HOLD"]
RENAME_PROBE = os.environ["KOBARU_RENAME_PROBE"]
# The signed programs as packaged for shipping.
PACKAGED = Path(os.environ["KOBARU_PACKAGED"])
WINE_BASE = os.path.join(os.environ["KOBARU_WINE_ROOT"], "base")

SYSTEM = "windows/%s/" % SYSTEM_FOLDER
SAVER = SYSTEM + product.SCREEN_SAVER
INSTALLED = SYSTEM + product.INSTALLED_UNINSTALLER
FOLDER = ("users/%s/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/" % os.environ.get("USER", "root")
          + product.FOLDER)
SHORTCUT = FOLDER + "/" + product.SHORTCUT
# The user's choice of screen saver, as the damaged cases set it beforehand.
SETTING = "C:\\windows\\system32\\" + product.SCREEN_SAVER

ERROR = ("エラー".encode("cp932"), 0x51000)
CANNOT_WRITE = (product.CANNOT_WRITE, TITLE, 0)
BROKEN_INSTALLER = (BROKEN, TITLE, 0)
COMPLETED = (product.COMPLETED, TITLE, 0)
CANNOT_START = ("インストール補助プログラムを開始できません。\nWindowsを再起動してからやり直してください。\n"
                "問題が解決しない場合は、サポートまでお問い合わせください。\n"
                "ご迷惑をおかけし、申し訳ございません。").encode("cp932")
NOT_REMOVED = ("スクリーンセーバーを削除できませんでした。\nWindowsを再起動してからやり直してください。\n"
               "問題が解決しない場合は、サポートまでお問い合わせください。\n"
               "ご迷惑をおかけし、申し訳ございません。").encode("cp932")

SAVER_BYTES = bytes(range(256)) * 300 + b"saver"
# 128 MiB: written out in about 0.1 s under Wine, while the installer is
# watched.
BIG_SAVER_BYTES = bytes(range(256)) * (512 * 1024) + b"big saver"
NEW_UNINSTALLER = b"MZ" + bytes(5000) + b"new uninstaller"
# What an installation and the user leave behind.
BEFORE = {SAVER: b"installed saver", INSTALLED: None, FOLDER: "dir", SHORTCUT: b"shortcut"}
REMOVED = {SAVER: None, INSTALLED: None, SHORTCUT: None, FOLDER: None}

# The batch a standard user's run writes into TEMP.
BATCH = "Kobaru_ScreenSaver_2014_Cleaner.bat"
# In a case's files after the run: a new file, whatever its bytes.
ANY = b"any bytes"

# check, when given, runs after the program with the test: what the file
# listing does not show.
Case = collections.namedtuple("Case", "name program arrange boxes after check", defaults=(None,))


def temp_at(name):
    """A temporary folder of that name at the root of drive C:."""
    return lambda test: test.use_temp(name)


def missing_temp(test):
    """A user TEMP that names no folder."""
    for variable in ("TEMP", "TMP"):
        test.prefix.reg_set(r"HKCU\Environment", variable, "C:\\no such temp")


# A cleaner's copy that an earlier run left in TEMP, or that someone put
# there under its name.
STALE_TEMP = "stale temp"
STALE_COPY = STALE_TEMP + "/" + CLEANER_NAME


def stale_copy(test):
    test.use_temp(STALE_TEMP)
    (test.prefix.drive_c / STALE_COPY).write_bytes(b"MZ stale cleaner")


def held(path, milliseconds):
    return lambda test: test.prefix.hold(HOLD, "C:\\" + path.replace("/", "\\"), milliseconds)


def held_while_running(path):
    """The file held until the program under test has ended, however long
    Wine takes to start it."""
    def arrange(test):
        release = test.prefix.path / "release"
        test.prefix.hold(HOLD, "C:\\" + path.replace("/", "\\"), 120000, release)
        test.options["on_exit"] = release.touch
    return arrange


def read_only(path):
    return lambda test: os.chmod(test.prefix.drive_c / path, 0o444)


def planted(test):
    for name in (CLEANER_NAME, "Kobaru_Senryu_2014.scr", "Kobaru_ScreenSaver_2014_Cleaner.exe"):
        (test.work / name).write_bytes(b"MZ planted")
    test.options["cwd"] = test.work


def disk_full(test):
    test.options["file_size_limit"] = 40000  # the screen saver is 76805 bytes


def flipped(entry):
    """The signed program, as packaged, with one byte of entry's data flipped."""
    def arrange(test):
        offset, size, _ = list_entries(test.exe)[entry]
        data = bytearray(test.exe.read_bytes())
        data[offset + size // 2] ^= 0x01
        test.exe.write_bytes(bytes(data))
        test.prefix.reg_set(DESKTOP_KEY, "SCRNSAVE.EXE", SETTING)
    return arrange


def setting_kept(test):
    test.assertEqual(SETTING.encode(), test.prefix.reg_query(DESKTOP_KEY, "SCRNSAVE.EXE"))


def with_setting(arrange):
    """arrange, with the user's choice of screen saver set to ours."""
    def both(test):
        arrange(test)
        test.prefix.reg_set(DESKTOP_KEY, "SCRNSAVE.EXE", SETTING)
    return both


def written(path, content=b"part of a file", mode=None):
    def arrange(test):
        (test.prefix.drive_c / path).write_bytes(content)
        if mode is not None:
            os.chmod(test.prefix.drive_c / path, mode)
    return arrange


def batch_watched(test):
    """The uninstaller held, and its deletion batch read while it waits."""
    held(INSTALLED, 8000)(test)
    test.batch = None

    def watch():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            for batch in (test.prefix.drive_c / "windows" / "temp").glob("Kobaru_*/*.bat"):
                text = batch.read_bytes()
                if text.endswith(b' 2>nul"'):
                    test.batch = text
                    return
            time.sleep(0.1)
    test.watcher = threading.Thread(target=watch)
    test.watcher.start()


def batch_names_programs_by_full_paths(test):
    """Every program of the batch by its full path in the system directory,
    each cmd with /d: nothing through PATH, PATHEXT, COMSPEC or the current
    folder, no AutoRun of the user's registry."""
    test.watcher.join()
    test.assertIsNotNone(test.batch)
    text = test.batch.decode("cp932")
    system = r'"C:\\windows\\(?:system32|syswow64)\\'
    names = re.findall(r"(?i)(.{0,24})\b(ping|cmd)\b(\.exe)?(\S*)", text)
    test.assertEqual(4, len(names), names)
    for before, program, extension, after in names:
        test.assertRegex(before, "(?i)" + system + "$")
        test.assertEqual(".exe", extension.lower())
        if program.lower() == "cmd":
            test.assertTrue(text.split(before + program + extension, 1)[1].startswith('" /d '))


def rename_watched(test):
    """A screen saver large enough for a long extraction, and a second process
    that tries to rename the installer while it extracts."""
    package(INSTALLER, {"Kobaru_Senryu_2014.scr": BIG_SAVER_BYTES,
                        "Kobaru_ScreenSaver_2014_Cleaner.exe": NEW_UNINSTALLER}, test.exe)
    test.probe = test.prefix.hold(RENAME_PROBE, test.prefix.windows_path(test.exe), 60000)


def rename_refused(test):
    # 32: ERROR_SHARING_VIOLATION. Writing is refused too: the file can
    # neither be swapped nor changed in place.
    output = test.probe.communicate()[0]
    test.assertEqual((["rename refused 32", "write refused 32"], 0),
                     (output.decode().splitlines(), test.probe.returncode))


CASES = [
    # The installer: a failure keeps the installed files as they were.
    Case("disk full", "install", disk_full, [CANNOT_WRITE], {}),
    Case("destination read-only", "install", read_only(SAVER), [CANNOT_WRITE], {}),
    Case("destination in use", "install", held_while_running(SAVER), [CANNOT_WRITE], {}),
    Case("planted, install", "install", planted, [],
         {SAVER: SAVER_BYTES, INSTALLED: NEW_UNINSTALLER}),
    # The uninstaller run elevated (its manifest says highestAvailable): it
    # works in a folder of its own under the Windows folder's Temp and
    # leaves nothing there (every file of drive C: is compared).
    Case("an elevated uninstall never starts a cleaner planted in the current folder",
         "uninstall", planted, [COMPLETED], REMOVED),
    Case("an elevated uninstall never reads TEMP: a missing TEMP does not matter", "uninstall",
         missing_temp, [COMPLETED], REMOVED),
    Case("an elevated uninstall never reads TEMP: one too long for the cleaner's path does not "
         "matter", "uninstall", temp_at("t" * 223), [COMPLETED], REMOVED),
    Case("an elevated uninstall never reads TEMP: a cleaner there is neither run nor removed",
         "uninstall", stale_copy, [COMPLETED], REMOVED),
    # A standard user's run (the asInvoker variant, a limited token): the
    # cleaner's copy goes to TEMP and is started through the consent prompt;
    # TEMP is left as it was.
    Case("standard user: a cleaner planted in the current folder is never started",
         "standard uninstall", planted, [COMPLETED], REMOVED),
    # A lone "%": Wine's ShellExecuteExA (not Windows') expands "%NAME%", so a
    # pair would fail the cleaner's start under Wine alone (the next case).
    Case("standard user: TEMP with blanks, &, % and Japanese", "standard uninstall",
         temp_at("t 1 & 100% こばる"), [COMPLETED], REMOVED),
    # Under Wine alone: its ShellExecuteExA expands "%OS%" in the file name
    # and looks for "C:\t Windows_NT\...", which does not exist, so the
    # start fails. Windows takes the name as it is. Either way the copy is
    # deleted and the product stays for a later run.
    Case("standard user: TEMP holding %NAME% fails the cleaner's start under Wine",
         "standard uninstall", temp_at("t %OS%"), [(CANNOT_START,) + ERROR], {}),
    # GetTempPathA gives 223 bytes: the batch path has 258, the longest that
    # Wine 10's cmd runs.
    Case("standard user: TEMP of 223 bytes", "standard uninstall", temp_at("t" * 219),
         [COMPLETED], REMOVED),
    # 224 bytes: the batch path has 259 and just fits 260. Windows (and
    # Wine 8) run such a batch; Wine 10's cmd says it "can't recognize" it,
    # so under Wine the uninstaller and its batch stay behind. Everything
    # else is removed all the same.
    Case("standard user: TEMP of 224 bytes, a batch path Wine 10's cmd cannot run",
         "standard uninstall", temp_at("t" * 220), [COMPLETED],
         dict({p: c for p, c in REMOVED.items() if p != INSTALLED},
              **{"t" * 220 + "/" + BATCH: ANY})),
    # 227 bytes: the cleaner's path would not fit; nothing is changed.
    Case("standard user: TEMP of 227 bytes", "standard uninstall", temp_at("t" * 223),
         [CANNOT_WRITE], {}),
    Case("standard user: TEMP missing", "standard uninstall", missing_temp, [CANNOT_WRITE], {}),
    # An earlier run's copy is ours to replace; none is left behind.
    Case("standard user: a cleaner copy already in TEMP is replaced, then removed",
         "standard uninstall", stale_copy, [COMPLETED], dict(REMOVED, **{STALE_COPY: None})),
    # The batch retries until the executable is free, then removes it.
    Case("executable in use", "uninstall", held(INSTALLED, 5000), [COMPLETED], REMOVED),
    Case("screen saver undeletable", "uninstall", read_only(SAVER),
         [(NOT_REMOVED,) + ERROR], {}),
    # The user's choice stays until the screen saver is gone.
    Case("screen saver undeletable, setting kept", "uninstall", with_setting(read_only(SAVER)),
         [(NOT_REMOVED,) + ERROR], {}, setting_kept),
    # What an interrupted installation left beside both files goes too; one
    # that cannot be deleted is no completion.
    Case("installer's temporaries left", "uninstall",
         lambda test: [written(SYSTEM + name)(test) for name in
                       ("Kobaru_Senryu_2014.sc~", "Kobaru_ScreenSaver_2014_Cleaner.ex~")],
         [COMPLETED], dict(REMOVED, **{SYSTEM + "Kobaru_Senryu_2014.sc~": None,
                                       SYSTEM + "Kobaru_ScreenSaver_2014_Cleaner.ex~": None})),
    Case("installer's temporary undeletable", "uninstall",
         with_setting(written(SYSTEM + "Kobaru_Senryu_2014.sc~", mode=0o444)),
         [(NOT_REMOVED,) + ERROR], {SAVER: None}, setting_kept),
    # The batch as it waits for the held uninstaller: every program by its
    # full path, cmd with /d.
    Case("batch read while it waits", "uninstall", batch_watched, [COMPLETED], REMOVED,
         batch_names_programs_by_full_paths),
    # A signed program whose signature no longer covers its bytes changes
    # nothing: no file, not the screen saver setting, no cleaner started.
    Case("signed installer damaged", "signed install", flipped(product.SCREEN_SAVER),
         [BROKEN_INSTALLER], {}, setting_kept),
    Case("signed uninstaller damaged", "signed uninstall", flipped(CLEANER_NAME),
         [BROKEN_INSTALLER], {}, setting_kept),
    # While the installer reads its archive, its file can be neither
    # renamed nor written.
    Case("installer renamed or written while it reads", "install", rename_watched, [],
         {SAVER: BIG_SAVER_BYTES, INSTALLED: NEW_UNINSTALLER}, rename_refused),
]


def listing(root):
    """Every file and folder below root: its content's digest, or "dir"."""
    files = {}
    for folder, dirs, names in os.walk(root):
        for d in dirs:
            files[os.path.relpath(os.path.join(folder, d), root)] = "dir"
        for n in names:
            path = os.path.join(folder, n)
            files[os.path.relpath(path, root)] = hashlib.sha1(Path(path).read_bytes()).hexdigest()
    return files


def part_of(cases):
    """The cases of this run: with KOBARU_FAULT_PART=K/N every N-th case
    from the K-th on, so that N runs side by side share the matrix."""
    part, parts = (int(n) for n in os.environ.get("KOBARU_FAULT_PART", "1/1").split("/"))
    return cases[part - 1::parts]


class FaultMatrixTest(unittest.TestCase):
    def use_temp(self, name):
        (self.prefix.drive_c / name).mkdir()
        for variable in ("TEMP", "TMP"):
            self.prefix.reg_set(r"HKCU\Environment", variable, "C:\\" + name)

    def arrange(self, case):
        self.prefix = WinePrefix(WINE_BASE)
        self.addCleanup(self.prefix.close)
        drive = self.prefix.drive_c
        self.work = Path(tempfile.mkdtemp(dir=drive))
        self.options = {}
        for path, content in BEFORE.items():
            if content == "dir":
                (drive / path).mkdir(parents=True, exist_ok=True)
            elif content is not None:
                (drive / path).write_bytes(content)
        if case.program == "install":
            exe = package(INSTALLER, {"Kobaru_Senryu_2014.scr": SAVER_BYTES,
                                      "Kobaru_ScreenSaver_2014_Cleaner.exe": NEW_UNINSTALLER},
                          self.work / "Inst_Kobaru_ScreenSaver_RA.exe")
        elif case.program == "signed install":
            exe = self.work / "Inst_Kobaru_ScreenSaver_RA.exe"
            shutil.copyfile(PACKAGED / exe.name, exe)
        elif case.program == "signed uninstall":
            exe = drive / INSTALLED
            shutil.copyfile(PACKAGED / "Kobaru_ScreenSaver_Cleaner.exe", exe)
        else:
            program = STANDARD_UNINSTALLER if case.program == "standard uninstall" else UNINSTALLER
            exe = package(program, {CLEANER_NAME: Path(CLEANER).read_bytes()}, drive / INSTALLED)
        self.exe = exe
        case.arrange(self)
        return exe

    def test_fault_matrix(self):
        for case in part_of(CASES):
            with self.subTest(case.name):
                exe = self.arrange(case)
                before = listing(self.prefix.drive_c)
                result = self.prefix.run(exe, **self.options)
                after = listing(self.prefix.drive_c)

                self.assertEqual(0, result.exit_code)
                # Wine's trace shortens long texts: their start must match.
                self.assertEqual(case.boxes, [
                    (text if b.truncated and text.startswith(b.text) else b.text, b.title, b.style)
                    for (text, _, _), b in zip(case.boxes, result.message_boxes)])
                self.assertEqual(len(case.boxes), len(result.message_boxes))
                self.assertTrue(all(b.owner_is_top_of_foreground for b in result.message_boxes))
                changed = sorted(p for p in set(before) | set(after)
                                 if before.get(p) != after.get(p))
                expected = {p: c if c is None or c is ANY else hashlib.sha1(c).hexdigest()
                            for p, c in case.after.items()}
                self.assertEqual(sorted(p for p in expected if expected[p] != before.get(p)),
                                 changed)
                for path in changed:
                    if expected[path] is ANY:
                        self.assertIsNotNone(after.get(path), path)
                    else:
                        self.assertEqual(expected[path], after.get(path), path)
                if case.check:
                    case.check(self)
                self.prefix.close()


if __name__ == "__main__":
    unittest.main()
