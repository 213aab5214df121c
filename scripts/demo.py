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


def main(build, screen_saver):
    build = Path(build)
    packaged = build / "packaged"
    installer = packaged / "Inst_Kobaru_ScreenSaver_RA.exe"
    uninstaller = packaged / "Kobaru_ScreenSaver_Cleaner.exe"
    expected = {SCREEN_SAVER: Path(screen_saver),
                UNINSTALLER: uninstaller if uninstaller.exists() else None}
    with WinePrefix(build / "wine" / "base", build / "wine" / "demo") as prefix:
        print(f"Wine prefix {prefix.path}")
        show(prefix, prefix.run(installer), f"installer {installer.name}", expected)
        cleaner = build / "cleaner" / "Kobaru_ScreenSaver_Cleaner_RA.exe"
        show(prefix, prefix.run(cleaner), f"elevated cleaner {cleaner.name}", expected)


if __name__ == "__main__":
    main(*sys.argv[1:])
