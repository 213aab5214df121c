"""The dist step: its arguments, the screen saver and the certificate it
accepts, the signing script's account of what it cannot use, and what a run
that fails leaves of dist/."""

import datetime
import http.server
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path

SOURCE = Path(os.environ["KOBARU_SOURCE_DIR"])
BUILD = Path(os.environ["KOBARU_BUILD_DIR"])
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


def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def when(days):
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)
    return moment.strftime("%Y%m%d%H%M%SZ")


def make_certificates(work):
    """PKCS#12 files in WORK, all opened by the file "password": one good for
    code signing and one for each way a certificate can be unfit."""
    (work / "password").write_text("right\n")
    (work / "ca").mkdir()
    (work / "ca" / "index.txt").write_text("")
    (work / "ca.cnf").write_text(
        "[ca]\ndefault_ca = d\n[d]\ndatabase = ca/index.txt\nnew_certs_dir = ca\nserial = ca/serial\n"
        "unique_subject = no\n"
        "default_md = sha256\npolicy = p\n[p]\ncommonName = supplied\n"
        "[code]\nextendedKeyUsage = codeSigning\n[tls]\nextendedKeyUsage = serverAuth,clientAuth\n")
    for key in ("key.pem", "other.pem"):
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key, cwd=work)
    openssl("req", "-new", "-key", "key.pem", "-subj", "/CN=Kobaru test", "-out", "request.pem", cwd=work)
    # (file, from, to in days from now, extensions)
    for name, start, end, extensions in [("good", -1, 365, "code"), ("expired", -400, -35, "code"),
                                         ("not-yet-valid", 30, 400, "code"), ("tls", -1, 365, "tls"),
                                         ("no-usage", -1, 365, None)]:
        extra = ["-extensions", extensions] if extensions else []
        openssl("ca", "-batch", "-config", "ca.cnf", "-selfsign", "-keyfile", "key.pem", "-rand_serial",
                "-in", "request.pem", "-startdate", when(start), "-enddate", when(end),
                "-out", name + ".pem", *extra, cwd=work)
        openssl("pkcs12", "-export", "-inkey", "key.pem", "-in", name + ".pem",
                "-passout", "file:password", "-out", name + ".pfx", cwd=work)
    openssl("pkcs12", "-export", "-nokeys", "-in", "good.pem", "-passout", "file:password",
            "-out", "no-key.pfx", cwd=work)
    # openssl refuses to pack a key with a certificate not its own: the key of
    # an unprotected file is swapped for another of the same length.
    openssl("pkcs12", "-export", "-inkey", "key.pem", "-in", "good.pem", "-passout", "file:password",
            "-nomac", "-keypbe", "NONE", "-certpbe", "NONE", "-out", "plain.pfx", cwd=work)
    keys = [subprocess.run(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", key, "-outform", "DER"],
                           cwd=work, check=True, stdout=subprocess.PIPE).stdout
            for key in ("key.pem", "other.pem")]
    plain = (work / "plain.pfx").read_bytes()
    assert plain.count(keys[0]) == 1 and len(keys[0]) == len(keys[1])
    (work / "other-key.pfx").write_bytes(plain.replace(keys[0], keys[1]))


CERTIFICATES = tempfile.TemporaryDirectory()


def setUpModule():
    make_certificates(Path(CERTIFICATES.name))


def tearDownModule():
    CERTIFICATES.cleanup()


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

# (case, folder run in, KOBARU_SIGN_PFX, KOBARU_SIGN_PASSWORD_FILE, exit status, text)
CERTIFICATE_CASES = [
    ("good", ".", "certs/good.pfx", "certs/password", 0, "accepted"),
    ("relative to the caller", "certs", "good.pfx", "password", 0, "accepted"),
    ("no usage given", "certs", "no-usage.pfx", "password", 0, "accepted"),
    ("expired", "certs", "expired.pfx", "password", 1,
     f"(CN=Kobaru test) has expired: valid from {when(-400)[:4]}-"),
    ("not yet valid", "certs", "not-yet-valid.pfx", "password", 1,
     f"(CN=Kobaru test) is not valid yet: valid from {when(30)[:4]}-"),
    ("no code signing", "certs", "tls.pfx", "password", 1, "does not allow code signing: its extended key"
     " usage is TLS Web Server Authentication, TLS Web Client Authentication"),
    ("another's key", "certs", "other-key.pfx", "password", 1,
     "other-key.pfx does not belong to its certificate (CN=Kobaru test)"),
    ("no key", "certs", "no-key.pfx", "password", 1, "no-key.pfx holds no private key"),
    ("wrong password", "certs", "good.pfx", "good.pem", 1, "sign.sh: wrong password"),
    ("missing file", "certs", "gone.pfx", "password", 1,
     "sign.sh: cannot read the certificate file KOBARU_SIGN_PFX="),
    ("missing folder", ".", "certs/good.pfx", "gone/password", 1, "/gone/password: no such folder"),
    ("a folder", ".", "certs", "certs/password", 1, "/certs: a folder, not a file"),
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
        shutil.copy(SOURCE / "scripts" / "sign.sh", root / "scripts")
        (root / "scripts" / "common.sh").write_text(
            'set -euo pipefail\nROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)\nBUILD=$ROOT/build\n'
            'install_missing() { :; }\nprepare_wine() { echo accepted; exit 0; }\n')
        shutil.copytree(CERTIFICATES.name, root / "certs")
        (root / "dist").mkdir()
        (root / "dist" / "Inst_Kobaru_ScreenSaver_RA.exe").write_text("the last good result")

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def run_dist(self, command, cwd, env, status, text):
        """Runs dist.sh: its status, a line holding text and, on a refusal,
        that one line alone."""
        result = subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, timeout=60)
        self.assertEqual(status, result.returncode, result.stdout)
        self.assertIn(text, result.stdout)
        if status == 1:
            self.assertEqual(1, len(result.stdout.splitlines()), result.stdout)

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
                self.run_dist(["bash", "dist.sh"] + args, root, env, status, text)

    def test_certificate_cases(self):
        """Each certificate that cannot sign stops the run in one line, before
        anything is built, with dist/ as it was."""
        root = Path(self.folder.name)
        for case, folder, pfx, password, status, text in CERTIFICATE_CASES:
            with self.subTest(case=case):
                env = {k: v for k, v in os.environ.items() if not k.startswith("KOBARU_S")}
                env.update(KOBARU_SIGN_PFX=pfx, KOBARU_SIGN_PASSWORD_FILE=password)
                self.run_dist(["bash", str(root / "dist.sh")], root / folder, env, status, text)
                self.assertFalse((root / "dist.previous").exists())
                self.assertEqual("the last good result",
                                 (root / "dist" / "Inst_Kobaru_ScreenSaver_RA.exe").read_text())


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


class TimestampTest(unittest.TestCase):
    """A timestamp that cannot be had names its reason in sign.sh's one line,
    without osslsigncode's advice about options ./dist.sh does not have."""

    class Answer(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            self.rfile.read(int(self.headers.get("Content-Length", 0)))
            self.send_response(int(self.path.strip("/")))
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    def test_timestamp_failure_cases(self):
        server = http.server.HTTPServer(("127.0.0.1", 0), self.Answer)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        answering = f"http://127.0.0.1:{server.server_port}"
        # Bound but not listening: connections are refused; listening but
        # never accepting: no answer.
        closed, silent = socket.socket(), socket.socket()
        closed.bind(("127.0.0.1", 0))
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        self.addCleanup(closed.close)
        self.addCleanup(silent.close)
        cases = [("host not found", "http://nosuchhost.invalid/", "the timestamp server's host was not found"),
                 ("refused", f"http://127.0.0.1:{closed.getsockname()[1]}/",
                  "the timestamp server refused the connection"),
                 ("not found", answering + "/404", "the timestamp server answered HTTP 404 Not Found"),
                 ("server error", answering + "/500",
                  "the timestamp server answered HTTP 500 Internal Server Error"),
                 ("time-out", f"http://127.0.0.1:{silent.getsockname()[1]}/",
                  "within 1 s (time-out)")]
        certificates = Path(CERTIFICATES.name)
        with tempfile.TemporaryDirectory() as folder:
            work = Path(folder)
            for case, url, text in cases:
                with self.subTest(case=case):
                    (work / "state").write_text(f"state=publisher\npfx={certificates / 'good.pfx'}\n"
                                                f"password_file={certificates / 'password'}\n"
                                                f"timestamp_url={url}\ntime=1700000000\n")
                    started = time.monotonic()
                    result = subprocess.run(
                        [str(SOURCE / "scripts" / "sign.sh"), "sign", str(work / "state"),
                         os.environ["KOBARU_SAMPLE_SCREEN_SAVER"], str(work / "signed.scr"), "test"],
                        env=dict(os.environ, KOBARU_SIGN_TIMESTAMP_TIMEOUT="1"), stdout=subprocess.PIPE,
                        stderr=subprocess.STDOUT, text=True, timeout=60)
                    self.assertEqual(1, result.returncode, result.stdout)
                    self.assertEqual(1, len(result.stdout.splitlines()), result.stdout)
                    self.assertIn(text, result.stdout)
                    self.assertIn(url, result.stdout)
                    self.assertFalse((work / "signed.scr").exists())
                    # A silent server is given up on when asked, not later.
                    self.assertLess(time.monotonic() - started, 15)


# Stands in for scripts/common.sh: no Wine, no configuring, and a build that
# gives the packaged files of the real one, damaged if asked, or fails with
# the lines given.
STUB_COMMON = r"""set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
log() { echo "== $*"; }
install_missing() { :; }
prepare_wine() { WINE32=""; WINE_ROOT=stub; }
configure_all() { :; }
use_screen_saver() { :; }
use_wine() { :; }
cmake() { :; }
build() {
  if [ -n "${STUB_BUILD_FAILS:-}" ]; then echo "$STUB_BUILD_FAILS"; return 1; fi
  rm -rf "$BUILD/i686/packaged"
  cp -r "$KOBARU_BUILD_DIR/packaged" "$BUILD/i686/packaged"
  [ -z "${STUB_DAMAGE:-}" ] ||
    printf '\\377' | dd of="$BUILD/i686/packaged/$STUB_DAMAGE" bs=1 seek=1100 conv=notrunc status=none
}
"""
INSTALLER = "Inst_Kobaru_ScreenSaver_RA.exe"
LEFT = "; no dist/ (the last good result stays only in dist.previous/)"
# (case, folders before, environment, arguments, exit status, text of the last line or of the
# output, what dist/ and dist.previous/ hold after: "new" for this run's result, the name of
# the folder that was there before, or None for no folder)
RUN_CASES = [
    ("a good run", ("dist", "dist.previous"), {}, [], 0, "came unsigned: test-signed",
     {"dist": "new", "dist.previous": None}),
    ("a signed screen saver", (), {}, ["signed.scr"], 0, "came signed: its own signature kept",
     {"dist": "new", "dist.previous": None}),
    ("signing fails", ("dist",),
     {"STUB_BUILD_FAILS": "sign.sh: a first reason\nsign.sh: signing x failed: the timestamp server refused"},
     [], 1, "sign.sh: signing x failed: the timestamp server refused" + LEFT,
     {"dist": None, "dist.previous": "dist"}),
    ("the round trip fails", ("dist", "dist.previous"), {"STUB_ROUND_TRIP": "1"}, [], 1,
     "dist.sh: the round trip under Wine failed" + LEFT, {"dist": None, "dist.previous": "dist"}),
    ("a signature that does not verify", ("dist.previous",), {"STUB_DAMAGE": INSTALLER}, [], 1,
     f"dist.sh: the signature of dist/{INSTALLER} does not verify: the file changed after it was signed",
     {"dist": None, "dist.previous": "dist.previous"}),
    ("no earlier result", (), {"STUB_BUILD_FAILS": "ninja: build stopped"}, [], 1,
     "dist.sh: the build failed; no dist/ (and no earlier result)", {"dist": None, "dist.previous": None}),
]


class DistRunTest(unittest.TestCase):
    """Whole runs of dist.sh, the packaged files of this build standing in for
    its builds: dist/ is only ever a complete result."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        root = Path(cls.folder.name)
        (root / "scripts").mkdir()
        shutil.copy(SOURCE / "dist.sh", root)
        for name in ("check_screen_saver.py", "sign.sh"):
            shutil.copy(SOURCE / "scripts" / name, root / "scripts")
        (root / "scripts" / "common.sh").write_text(STUB_COMMON)
        (root / "scripts" / "demo.py").write_text(
            "import os, sys\nsys.exit(int(os.environ.get('STUB_ROUND_TRIP', '0')))\n")
        shutil.copytree(BUILD / "signing", root / "build" / "i686" / "signing")
        (root / "build" / "i686" / "sample_scr").mkdir()
        shutil.copy(os.environ["KOBARU_SAMPLE_SCREEN_SAVER"], root / "build" / "i686" / "sample_scr")
        pack = root / "build" / "native" / "tools" / "pack" / "kobaru-pack"
        pack.parent.mkdir(parents=True)
        pack.write_text("#!/bin/sh\n")
        pack.chmod(0o755)
        shutil.copy(BUILD / "packaged" / "Kobaru_Senryu_2014.scr", root / "signed.scr")

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_run_cases(self):
        root = Path(self.folder.name)
        for case, before, extra, args, status, text, after in RUN_CASES:
            with self.subTest(case=case):
                for name in ("dist", "dist.previous"):
                    shutil.rmtree(root / name, ignore_errors=True)
                for name in before:
                    (root / name).mkdir()
                    (root / name / "from").write_text(name)
                env = {k: v for k, v in os.environ.items() if not k.startswith("KOBARU_S")}
                env.update(extra, KOBARU_BUILD_DIR=str(BUILD))
                result = subprocess.run(["bash", "dist.sh"] + args, cwd=root, env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True, timeout=120)
                self.assertEqual(status, result.returncode, result.stdout)
                if status:
                    self.assertIn(text, result.stdout.splitlines()[-1])
                else:
                    self.assertIn(text, result.stdout)
                for name, holds in after.items():
                    folder = root / name
                    if holds is None:
                        self.assertFalse(folder.exists(), name)
                    elif holds == "new":
                        self.assertEqual((BUILD / "packaged" / INSTALLER).read_bytes(),
                                         (folder / INSTALLER).read_bytes())
                    else:
                        self.assertEqual(holds, (folder / "from").read_text())
                self.assertFalse((root / "build" / "dist.staging").exists())


if __name__ == "__main__":
    unittest.main()
