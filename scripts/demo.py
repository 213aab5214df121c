"""Runs the packaged x86_64 build of the product end to end in a fresh Wine
prefix and prints what each step did: python3 demo.py BUILD_DIR SCREEN_SAVER"""

import hashlib
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
from winehar import WinePrefix  # noqa: E402

SCREEN_SAVER = "Kobaru_Senryu_2014.scr"
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
            print(f"    C:\\windows\\system32\\{name}: absent")
            continue
        same = "equal to" if source and digest(path) == digest(source) else "differs from"
        print(f"    C:\\windows\\system32\\{name}: {path.stat().st_size} bytes, sha256 "
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


def main(build, screen_saver):
    build = Path(build)
    packaged = build / "packaged"
    installer = packaged / "Inst_Kobaru_ScreenSaver_RA.exe"
    uninstaller = packaged / "Kobaru_ScreenSaver_Cleaner.exe"
    expected = {SCREEN_SAVER: Path(screen_saver),
                UNINSTALLER: uninstaller}
    with WinePrefix(build / "wine" / "base", build / "wine" / "demo") as prefix:
        print(f"Wine prefix {prefix.path}")
        show(prefix, prefix.run(installer), f"installer {installer.name}", expected)

        installed = prefix.system_dir() / UNINSTALLER
        if not installed.exists():
            return
        # What the user's setup adds: the screen saver chosen, a shortcut.
        prefix.reg_set(DESKTOP_KEY, "SCRNSAVE.EXE", "C:\\windows\\system32\\" + SCREEN_SAVER)
        (prefix.programs_dir() / FOLDER).mkdir(parents=True, exist_ok=True)
        (prefix.programs_dir() / FOLDER / SHORTCUT).write_bytes(b"shortcut")
        print("  before removal (setting and shortcut made for the demo):")
        show_setting_and_start_menu(prefix)
        result = prefix.run(installed, cwd=prefix.drive_c)
        show(prefix, result, f"uninstaller C:\\windows\\system32\\{UNINSTALLER}", expected)
        show_setting_and_start_menu(prefix)


if __name__ == "__main__":
    main(*sys.argv[1:])
