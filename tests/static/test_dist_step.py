"""The dist step's front door: its arguments, the screen saver it accepts,
and the signing script's account of a certificate it cannot use."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

SOURCE = Path(os.environ["KOBARU_SOURCE_DIR"])
SAMPLE = Path(os.environ["KOBARU_SAMPLE_SCREEN_SAVER"]).read_bytes()
PE = struct.unpack_from("<I", SAMPLE, 0x3C)[0]
OPTIONAL = PE + 24
CHARACTERISTICS = struct.unpack_from("<H", SAMPLE, PE + 22)[0]


def patched(*changes):
    """The sample screen saver with (offset, format, value) written over it."""
    data = bytearray(SAMPLE)
    for offset, fmt, value in changes:
        struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def stub():
    """128 bytes: an MS-DOS header pointing at the PE header right behind it."""
    data = bytearray(SAMPLE[:64])
    struct.pack_into("<I", data, 0x3C, 64)
    return bytes(data + SAMPLE[PE:PE + 64])


# (case, arguments, payload bytes or None, exit status, text expected in the output)
PAYLOAD_CASES = [
    ("help", ["--help"], None, 0, "./dist.sh [SCREEN_SAVER]"),
    ("short help", ["-h"], None, 0, "./dist.sh [SCREEN_SAVER]"),
    ("two arguments", ["a.scr", "b.scr"], None, 2, "one screen saver at most, 2 arguments"),
    ("folder", ["."], None, 1, ".: a folder"),
    ("missing", ["missing.scr"], None, 1, "missing.scr: no such file"),
    ("not a program", ["payload"], b"#!/bin/sh\n", 1, 'not a Windows program (no "MZ" header)'),
    ("dll", ["payload"], patched((PE + 22, "<H", CHARACTERISTICS | 0x2000)), 1, "payload: a DLL;"),
    ("x86-64", ["payload"], patched((PE + 4, "<H", 0x8664), (OPTIONAL, "<H", 0x20B)), 1,
     "a 64-bit (x86-64) program; the installer carries 32-bit"),
    ("console", ["payload"], patched((OPTIONAL + 68, "<H", 3)), 1, "a console program;"),
    ("stub", ["payload"], stub(), 1, "incomplete image: the optional header ends past the end"),
    ("cut short", ["payload"], SAMPLE[:len(SAMPLE) // 2], 1, "incomplete image: section"),
    ("from the variable", [], patched((OPTIONAL + 68, "<H", 3)), 1,
     "KOBARU_SCREEN_SAVER=payload: a console program"),
    ("a screen saver", ["payload"], SAMPLE, 0, "accepted"),
]


class DistArgumentsTest(unittest.TestCase):
    """Runs dist.sh from a copy whose shared script stops where the build
    would begin, so that no case can start one."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        root = Path(cls.folder.name)
        (root / "scripts").mkdir()
        shutil.copy(SOURCE / "dist.sh", root)
        shutil.copy(SOURCE / "scripts" / "check_screen_saver.py", root / "scripts")
        (root / "scripts" / "common.sh").write_text(
            'set -euo pipefail\nROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)\n'
            'install_missing() { echo accepted; exit 0; }\n')

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_payload_cases(self):
        root = Path(self.folder.name)
        for case, args, payload, status, text in PAYLOAD_CASES:
            with self.subTest(case=case):
                env = dict(os.environ)
                env.pop("KOBARU_SCREEN_SAVER", None)
                if payload is not None:
                    (root / "payload").write_bytes(payload)
                    if not args:
                        env["KOBARU_SCREEN_SAVER"] = "payload"
                result = subprocess.run(["bash", "dist.sh"] + args, cwd=root, env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True, timeout=60)
                self.assertEqual(status, result.returncode, result.stdout)
                self.assertIn(text, result.stdout)
                if status == 1:
                    self.assertEqual(1, len(result.stdout.splitlines()), result.stdout)


class SigningIdentityTest(unittest.TestCase):
    """sign.sh tells a wrong password from a file that is no PKCS#12, and
    keeps a Japanese subject as text."""

    SUBJECT = "/O=こばる商店/CN=Kobaru テスト"

    def test_certificate_cases(self):
        with tempfile.TemporaryDirectory() as folder:
            work = Path(folder)
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-batch",
                            "-utf8", "-subj", self.SUBJECT, "-keyout", "key.pem",
                            "-out", "certificate.pem"], cwd=work, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            (work / "password").write_text("right\n")
            (work / "wrong").write_text("wrong\n")
            subprocess.run(["openssl", "pkcs12", "-export", "-inkey", "key.pem",
                            "-in", "certificate.pem", "-passout", "file:password",
                            "-out", "good.pfx"], cwd=work, check=True)
            # (case, certificate file, password file, exit status, expected text)
            cases = [("wrong password", "good.pfx", "wrong", 1, "sign.sh: wrong password"),
                     ("not PKCS#12", "certificate.pem", "password", 1,
                      "is not a PKCS#12 (.pfx) file"),
                     ("japanese subject", "good.pfx", "password", 0,
                      "subject=CN=Kobaru テスト,O=こばる商店")]
            for case, pfx, password, status, text in cases:
                with self.subTest(case=case):
                    state = work / case / "state"
                    env = dict(os.environ, KOBARU_SIGN_PFX=str(work / pfx),
                               KOBARU_SIGN_PASSWORD_FILE=str(work / password))
                    result = subprocess.run([str(SOURCE / "scripts" / "sign.sh"), "identity",
                                             str(state), str(work / "unused"), str(SOURCE)],
                                            env=env, stdout=subprocess.PIPE,
                                            stderr=subprocess.STDOUT, text=True, timeout=60)
                    self.assertEqual(status, result.returncode, result.stdout)
                    output = state.read_text() if status == 0 else result.stdout
                    self.assertIn(text, output)


if __name__ == "__main__":
    unittest.main()
