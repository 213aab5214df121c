"""Runs the x86_64 build of the product end to end in a fresh Wine prefix and
prints what each step did: python3 demo.py BUILD_DIR [INSTALLER]"""

import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
from winehar import WinePrefix  # noqa: E402

PRODUCT_FILES = ["Kobaru_Senryu_2014.scr", "Kobaru_ScreenSaver_2014_Cleaner.exe"]


def describe(prefix, result, label):
    print(f"  {label}: exit code {result.exit_code}")
    for box in result.message_boxes:
        text = box.text.decode("cp932", "replace") if box.text is not None else "(none)"
        title = box.title.decode("cp932", "replace") if box.title is not None else "(none)"
        print(f"    message box: [{title}] {text} (owner {box.owner:#x}, style {box.style:#x})")
    if not result.message_boxes:
        print("    no message box")
    for name in PRODUCT_FILES:
        path = prefix.system_dir() / name
        state = f"{path.stat().st_size} bytes" if path.exists() else "absent"
        print(f"    C:\\windows\\system32\\{name}: {state}")


def main(build, installer=None):
    build = Path(build)
    cleaner = build / "cleaner" / "Kobaru_ScreenSaver_Cleaner_RA.exe"
    with WinePrefix(build / "wine" / "base", build / "wine" / "demo") as prefix:
        print(f"Wine prefix: {prefix.path}")
        if installer:
            describe(prefix, prefix.run(installer), f"installer {Path(installer).name}")
        else:
            (prefix.system_dir() / PRODUCT_FILES[0]).write_bytes(b"screen saver")
            print("  placed a screen saver file in the system directory")
        describe(prefix, prefix.run(cleaner), f"elevated cleaner {cleaner.name}")


if __name__ == "__main__":
    main(*sys.argv[1:])
