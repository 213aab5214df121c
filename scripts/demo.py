"""Runs the packaged product end to end in a fresh Wine prefix and prints
what each step did:
  python3 demo.py INSTALLER UNINSTALLER WINE_DIR SCREEN_SAVER
UNINSTALLER and SCREEN_SAVER are what the installer carries (for comparison);
the prefix is made below WINE_DIR. Which Wine and which kind of Windows:
KOBARU_WINE_FS, KOBARU_WINEARCH, KOBARU_PROGRAM_BITS (tests/wine/winehar.py)."""

import hashlib
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
from winehar import SYSTEM_FOLDER, WinePrefix  # noqa: E402

SCREEN_SAVER = "Kobaru_Senryu_2014.scr"
SYSTEM = "C:\\windows\\" + SYSTEM_FOLDER
UNINSTALLER = "Kobaru_ScreenSaver_2014_Cleaner.exe"


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()[:16]


def show(prefix, result, label, expected):
    print(f"  {label}: exit code {result.exit_code}")
    for box in result.message_boxes:
        text = box.text.decode("cp932", "replace") if box.text is not None else "(none)"
        title = box.title.decode("cp932", "replace") if box.title is not None else "(none)"
        print(f"    message box [{title}] {text} (style {box.style:#x})")
    if not result.message_boxes:
        print("    no message box")
    for name, source in expected.items():
        path = prefix.system_dir() / name
        if not path.exists():
            print(f"    {SYSTEM}\\{name}: absent")
            continue
        same = "equal to" if source and digest(path) == digest(source) else "differs from"
        print(f"    {SYSTEM}\\{name}: {path.stat().st_size} bytes, sha256 "
              f"{digest(path)}, {same} the packaged file")


DESKTOP_KEY = r"HKCU\Control Panel\Desktop"
FOLDER = "こばる川柳スクリーンセーバー"
SHORTCUT = "こばる川柳スクリーンセーバー2014の削除.lnk"


def show_setting_and_start_menu(prefix):
    value = prefix.reg_query(DESKTOP_KEY, "SCRNSAVE.EXE")
    shown = "(absent)" if value is None else '"' + value.decode("cp932") + '"'
    print(f"    {DESKTOP_KEY} SCRNSAVE.EXE = {shown}")
    folder = prefix.programs_dir() / FOLDER
    state = "absent" if not folder.exists() else ", ".join(p.name for p in folder.iterdir()) or "empty"
    print(f"    Start menu folder {FOLDER}: {state}")


def main(installer, uninstaller, wine_dir, screen_saver):
    installer = Path(installer)
    wine_dir = Path(wine_dir)
    expected = {SCREEN_SAVER: Path(screen_saver),
                UNINSTALLER: Path(uninstaller)}
    with WinePrefix(wine_dir / "base", wine_dir / "demo") as prefix:
        print(f"Wine prefix {prefix.path}")
        show(prefix, prefix.run(installer), f"installer {installer.name}", expected)

        installed = prefix.system_dir() / UNINSTALLER
        if not installed.exists():
            return
        # What the user's setup adds: the screen saver chosen, a shortcut.
        prefix.reg_set(DESKTOP_KEY, "SCRNSAVE.EXE", SYSTEM + "\\" + SCREEN_SAVER)
        (prefix.programs_dir() / FOLDER).mkdir(parents=True, exist_ok=True)
        (prefix.programs_dir() / FOLDER / SHORTCUT).write_bytes(b"shortcut")
        print("  before removal (setting and shortcut made for the demo):")
        show_setting_and_start_menu(prefix)
        result = prefix.run(installed, cwd=prefix.drive_c)
        show(prefix, result, f"uninstaller {SYSTEM}\\{UNINSTALLER}", expected)
        show_setting_and_start_menu(prefix)


if __name__ == "__main__":
    main(*sys.argv[1:])
