"""The 32-bit build is reproducible: the sources copied to another folder and
built there, later, give the same bytes, before and after signing."""

import os
import shutil
import subprocess
import unittest
from pathlib import Path

SOURCE = Path(os.environ["KOBARU_SOURCE_DIR"])
BUILD = Path(os.environ["KOBARU_BUILD_DIR"])
STATE = Path(os.environ["KOBARU_SIGN_STATE"])
# Another folder, at another depth and of another length than the first.
SCRATCH = BUILD / "reproducibility-check"

OUTPUTS = ["cleaner/Kobaru_ScreenSaver_Cleaner_RA.exe", "installer/Inst_Kobaru_ScreenSaver_RA.exe",
           "uninstaller/Kobaru_ScreenSaver_Cleaner.exe", "sample_scr/Kobaru_Senryu_2014.scr",
           "packaged/unsigned/Kobaru_ScreenSaver_Cleaner.exe",
           "packaged/unsigned/Inst_Kobaru_ScreenSaver_RA.exe"]
SIGNED = ["packaged/Kobaru_ScreenSaver_Cleaner_RA.exe", "packaged/Kobaru_ScreenSaver_Cleaner.exe",
          "packaged/Kobaru_Senryu_2014.scr",
          "packaged/Inst_Kobaru_ScreenSaver_RA.exe"]


def read_state():
    return dict(line.split("=", 1) for line in STATE.read_text().splitlines())


def signing_environment(state):
    """The first build's certificate and signing time for the second."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("KOBARU_SIGN_")}
    env["SOURCE_DATE_EPOCH"] = state["time"]
    if state["state"] == "publisher":
        env["KOBARU_SIGN_PFX"] = state["pfx"]
        env["KOBARU_SIGN_PASSWORD_FILE"] = state["password_file"]
    return env


class ReproducibleBuildTest(unittest.TestCase):
    def test_a_second_build_elsewhere_gives_the_same_bytes(self):
        state = read_state()
        shutil.rmtree(SCRATCH, ignore_errors=True)
        self.addCleanup(shutil.rmtree, SCRATCH, ignore_errors=True)
        source = SCRATCH / "sources-in-another-folder"
        shutil.copytree(SOURCE, source, ignore=lambda folder, names: [
            n for n in names if n == "__pycache__" or
            (Path(folder) == SOURCE and n in (".git", "build", "dist"))])
        build = SCRATCH / "b"
        env = signing_environment(state)
        subprocess.run(["cmake", "-S", source, "-B", build, "-G", "Ninja", "-DKOBARU_TESTS=OFF",
                        "-DCMAKE_BUILD_TYPE=" + os.environ["KOBARU_BUILD_TYPE"],
                        "-DCMAKE_TOOLCHAIN_FILE=" + str(source / "cmake" / "mingw-i686.cmake"),
                        "-DKOBARU_PACK_TOOL=" + os.environ["KOBARU_PACK"],
                        "-DKOBARU_SCREEN_SAVER=" + os.environ["KOBARU_SCREEN_SAVER"],
                        "-DKOBARU_SIGN_TEST_DIR=" + os.environ["KOBARU_SIGN_TEST_DIR"]],
                       check=True, stdout=subprocess.DEVNULL, env=env)
        subprocess.run(["cmake", "--build", build, "--", "--quiet"], check=True,
                       stdout=subprocess.DEVNULL, env=env)

        # A timestamp server's token differs at every signing.
        compared = OUTPUTS + (SIGNED if not state["timestamp_url"] else [])
        for name in compared:
            with self.subTest(name=name):
                first, second = (BUILD / name).read_bytes(), (build / name).read_bytes()
                self.assertEqual(len(first), len(second))
                differing = [i for i, (a, b) in enumerate(zip(first, second)) if a != b]
                self.assertEqual([], differing[:10], f"{len(differing)} bytes differ")


if __name__ == "__main__":
    unittest.main()
