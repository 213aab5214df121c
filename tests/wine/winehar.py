"""Wine harness for end-to-end tests of the Windows programs (x86_64 builds).

One base prefix is made per build (headless, code page 932, relay tracing of
MessageBoxA enabled) and each test gets a clone of it: a hard-linked copy of
the prefix whose registry files are real copies. Programs write new files and
delete files; they never rewrite a file of the base prefix in place, which is
what makes the hard links safe.

Run a program with WinePrefix.run(): it waits for every process of the prefix
(wineserver -w) and returns the exit code and each MessageBoxA call decoded
from the relay trace.
"""

import dataclasses
import fcntl
import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path

WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
if not os.path.exists(WINESERVER):
    WINESERVER = "/usr/lib/wine/wineserver"


def _environment(prefix, relay=False):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.update({
        "WINEPREFIX": str(prefix),
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "WINEDEBUG": "-all,+relay" if relay else "-all",
        "LC_ALL": "ja_JP.UTF-8",
        "WINEARCH": "win64",
    })
    return env


@dataclasses.dataclass
class MessageBox:
    owner: int
    text: bytes
    title: bytes
    style: int
    truncated: bool = False  # Wine shortens traced strings of about 300 characters
    # True when the owner is what GetTopWindow returned for the window that
    # GetForegroundWindow returned, just before the box.
    owner_is_top_of_foreground: bool = False


@dataclasses.dataclass
class RunResult:
    exit_code: int
    message_boxes: list
    stdout: bytes
    stderr: bytes


_ESCAPES = {"n": b"\n", "r": b"\r", "t": b"\t", "\\": b"\\", '"': b'"'}


def _decode_traced_string(text, pos):
    """Decodes a quoted string of Wine's trace starting at text[pos] == '"'.
    Returns (bytes, truncated, position after the string)."""
    assert text[pos] == '"'
    pos += 1
    out = bytearray()
    while pos < len(text):
        c = text[pos]
        if c == '"':
            pos += 1
            truncated = text.startswith("...", pos)
            if truncated:
                pos += 3
            return bytes(out), truncated, pos
        if c == "\\":
            e = text[pos + 1]
            if e == "x":
                out.append(int(text[pos + 2:pos + 4], 16))
                pos += 4
                continue
            if e in _ESCAPES:
                out += _ESCAPES[e]
                pos += 2
                continue
            raise ValueError("unknown escape in trace: " + text[pos:pos + 4])
        out += c.encode("latin-1")
        pos += 1
    raise ValueError("unterminated string in trace")


_CALL = re.compile(r"Call user32\.MessageBoxA\(([0-9a-fA-F]+),")
_FOREGROUND = re.compile(r"Ret  user32\.GetForegroundWindow\(\) retval=([0-9a-fA-F]+)")
_TOP_CALL = re.compile(r"Call user32\.GetTopWindow\(([0-9a-fA-F]+)\)")
_TOP_RET = re.compile(r"Ret  user32\.GetTopWindow\(\) retval=([0-9a-fA-F]+)")
_THREAD = re.compile(r"(?:([0-9a-fA-F]+):)?")

# Functions whose calls the relay trace shows.
RELAY_INCLUDE = "user32.MessageBoxA;user32.GetForegroundWindow;user32.GetTopWindow"


def parse_message_boxes(trace):
    """Every MessageBoxA call in a relay trace, in order. Lines start with
    the calling thread's id; other processes of the prefix may trace too, so
    the owner lookups are matched within one thread."""
    boxes = []
    # The calls before a box, per thread: other processes of the prefix
    # (Wine's desktop polls GetForegroundWindow) trace theirs in between.
    before = {}
    for line in trace.splitlines():
        thread = _THREAD.match(line).group(1)
        foreground, top_argument, top = before.get(thread, (None, None, None))
        m = _FOREGROUND.search(line)
        if m:
            before[thread] = (int(m.group(1), 16), top_argument, top)
            continue
        m = _TOP_CALL.search(line)
        if m:
            before[thread] = (foreground, int(m.group(1), 16), top)
            continue
        m = _TOP_RET.search(line)
        if m:
            before[thread] = (foreground, top_argument, int(m.group(1), 16))
            continue
        m = _CALL.search(line)
        if not m:
            continue
        owner = int(m.group(1), 16)
        pos = m.end()
        strings = []
        truncated = False
        for _ in range(2):
            # Each string argument is "address" or "address \"text\"".
            comma = line.find(",", pos)
            space = line.find(" ", pos)
            if space != -1 and (comma == -1 or space < comma) and line[space + 1] == '"':
                value, cut, pos = _decode_traced_string(line, space + 1)
                truncated = truncated or cut
                strings.append(value)
            else:
                strings.append(None)  # a null pointer
                pos = comma
            assert line[pos] == ",", line
            pos += 1
        style = int(re.match(r"([0-9a-fA-F]+)\)", line[pos:]).group(1), 16)
        from_foreground = (foreground is not None and top_argument == foreground and
                           top == owner)
        boxes.append(MessageBox(owner, strings[0], strings[1], style, truncated, from_foreground))
        before.pop(thread, None)
    return boxes


def _locked(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    handle = open(str(path) + ".lock", "w")
    fcntl.flock(handle, fcntl.LOCK_EX)
    return handle


def ensure_base_prefix(base):
    """Creates the base prefix once (about 10 s); later calls return at once."""
    base = Path(base)
    with _locked(base):
        ready = base / ".kobaru-ready"
        if ready.exists() and ready.read_text() == RELAY_INCLUDE:
            return base
        if base.exists():
            shutil.rmtree(base)
        env = _environment(base)
        subprocess.run([WINE, "wineboot", "-i"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Relay tracing is limited to a few functions, so traces stay small.
        subprocess.run([WINE, "reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude",
                        "/t", "REG_SZ", "/d", RELAY_INCLUDE, "/f"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=env, check=True)
        ready.write_text(RELAY_INCLUDE)
        return base


class WinePrefix:
    """A prefix of a test's own, cloned from the build's base prefix."""

    def __init__(self, base, path=None):
        base = ensure_base_prefix(base)
        if path is None:
            path = Path(tempfile.mkdtemp(prefix="prefix-", dir=base.parent))
            shutil.rmtree(path)
        self.path = Path(path)
        if self.path.exists():
            shutil.rmtree(self.path)
        subprocess.run(["cp", "-al", str(base), str(self.path)], check=True)
        # The registry is rewritten whole by wineserver: give the clone copies
        # of its own so the base stays untouched.
        for reg in self.path.glob("*.reg"):
            reg.unlink()
            shutil.copy2(base / reg.name, reg)
        (self.path / ".kobaru-ready").unlink()

    def close(self):
        subprocess.run([WINESERVER, "-k"], env=_environment(self.path),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.path, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # Paths of the prefix, as host paths.
    @property
    def drive_c(self):
        return self.path / "drive_c"

    def system_dir(self):
        return self.drive_c / "windows" / "system32"

    def user_dir(self):
        return self.drive_c / "users" / os.environ.get("USER", "root")

    def temp_dir(self):
        """The user's TEMP folder as the prefix's environment names it."""
        text = (self.path / "user.reg").read_text("latin-1")
        m = re.search(r'^"TEMP"="([^"]+)"', text, re.M)
        return self.host_path(m.group(1).replace("\\\\", "\\"))

    def host_path(self, windows_path):
        """The host path of a path on drive C: of this prefix."""
        assert windows_path[:3].upper() == "C:\\", windows_path
        return self.drive_c.joinpath(*[p for p in windows_path[3:].split("\\") if p])

    def programs_dir(self):
        return (self.user_dir() / "AppData" / "Roaming" / "Microsoft" / "Windows" /
                "Start Menu" / "Programs")

    @staticmethod
    def windows_path(host_path):
        """The Windows name of a host path, through drive Z:."""
        return "Z:" + str(Path(host_path).resolve()).replace("/", "\\")

    def run(self, exe, args=(), cwd=None, timeout=120, relay=True, file_size_limit=None):
        """Runs a program and waits for every process of the prefix to end.
        With file_size_limit, writes past that many bytes fail as on a full
        disk (the program's processes only: wineserver is started before)."""
        env = _environment(self.path, relay)
        limit = None
        if file_size_limit is not None:
            subprocess.run([WINESERVER, "-p5"], env=env, check=True)

            def limit():
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
        proc = subprocess.run([WINE, str(exe), *args], env=env, cwd=cwd, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=limit)
        subprocess.run([WINESERVER, "-w"], env=env, timeout=timeout, check=True)
        trace = proc.stderr.decode("latin-1")
        return RunResult(proc.returncode, parse_message_boxes(trace), proc.stdout, proc.stderr)

    def hold(self, exe, path, milliseconds):
        """Starts exe (the hold helper) on a Windows path and returns its
        process once the file is held."""
        proc = subprocess.Popen([WINE, str(exe), path, str(milliseconds)],
                                env=_environment(self.path), stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        assert proc.stdout.readline().strip() == b"held", path
        return proc

    # Registry, through Wine's own reg tool.
    def reg_query(self, key, value):
        """The data of a REG_SZ value, as bytes, or None when absent."""
        env = _environment(self.path)
        proc = subprocess.run([WINE, "reg", "query", key, "/v", value], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=env)
        if proc.returncode != 0:
            return None
        for line in proc.stdout.splitlines():
            parts = line.strip().split(None, 2)
            if parts and parts[0].decode("cp932", "replace") == value and len(parts) >= 2:
                return parts[2] if len(parts) == 3 else b""
        return None

    def reg_set(self, key, value, data, kind="REG_SZ"):
        env = _environment(self.path)
        subprocess.run([WINE, "reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f"],
                       env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=env)


def _main(argv):
    """wine-run ROOT EXE ARGS...: runs a test executable in ROOT's shared
    test prefix (used as CTest's emulator for the Windows builds of tests)."""
    import sys
    root = Path(argv[1])
    prefix = root / "gtest"
    base = ensure_base_prefix(root / "base")
    with _locked(prefix):
        if not (prefix / "drive_c").exists():
            WinePrefix(base, prefix)
    env = _environment(prefix)
    env["WINEDEBUG"] = "-all"
    proc = subprocess.run([WINE, *argv[2:]], env=env)
    subprocess.run([WINESERVER, "-w"], env=env)
    sys.exit(proc.returncode)


if __name__ == "__main__":
    import sys
    _main(sys.argv)
