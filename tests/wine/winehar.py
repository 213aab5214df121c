"""Wine harness for end-to-end tests of the Windows programs.

One base prefix is made per build and prefix kind (headless, code page 932,
relay tracing of MessageBoxA enabled) and each test gets a clone of it: a
hard-linked copy of the prefix whose registry files are real copies.
Programs write new files and delete files; they never rewrite a file of the
base prefix in place, which is what makes the hard links safe.

Which Wine runs is set by the environment:
  KOBARU_WINE_FS      the Debian root that holds Wine (scripts/wine32.sh), the
                      only Wine used: it runs chrooted there through in-root,
                      with the folders of KOBARU_ROOT_BINDS at the same paths.
  KOBARU_WINEARCH     win32 (a 32-bit Windows) or win64 (the default).
  KOBARU_PROGRAM_BITS 32 when the programs under test are 32-bit: on win64
                      they then run through WoW64, their system directory is
                      syswow64, and every run checks that system32 gains,
                      loses and changes nothing.
  KOBARU_TOKEN_PROBES LEVEL=FILE,...: the token probe built without a
                      manifest ("none") and with each execution level. Each
                      base prefix is then checked once for the token Wine
                      gives each level, before any test uses it.

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

WINE_FS = os.environ.get("KOBARU_WINE_FS", "")
WINEARCH = os.environ.get("KOBARU_WINEARCH", "win64")
PROGRAM_BITS = os.environ.get("KOBARU_PROGRAM_BITS", "64")
if not WINE_FS:
    # Every machine runs the same Wine: never the host's, whatever it has.
    raise RuntimeError("KOBARU_WINE_FS names no root that holds Wine (scripts/wine32.sh)")
_IN_ROOT = [str(Path(__file__).resolve().parent / "in-root"), WINE_FS]
# Either loader hands a program of the other word size to the other one.
WINE_COMMAND = _IN_ROOT + ["/usr/lib/wine/wine" if WINEARCH == "win32" else "/usr/lib/wine/wine64"]
WINESERVER_COMMAND = _IN_ROOT + ["/usr/lib/wine/wineserver"]
# The system directory of the programs under test, below C:\windows.
SYSTEM_FOLDER = "syswow64" if WINEARCH == "win64" and PROGRAM_BITS == "32" else "system32"


def _environment(prefix, relay=False):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.update({
        "WINEPREFIX": str(prefix),
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "WINEDEBUG": "-all,+relay" if relay else "-all",
        "LC_ALL": "ja_JP.UTF-8",
        "WINEARCH": WINEARCH,
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


# The token each manifest level gets from Windows on an administrator's
# account with user account control, as "type=N elevated=M" from the token
# probe: a program without a manifest or with asInvoker runs limited
# (3, TokenElevationTypeLimited), highestAvailable and requireAdministrator
# run elevated (2, TokenElevationTypeFull). Which of the uninstaller's paths
# a test takes rests on it.
EXPECTED_TOKENS = {
    "none": "type=3 elevated=0",
    "asInvoker": "type=3 elevated=0",
    "highestAvailable": "type=2 elevated=1",
    "requireAdministrator": "type=2 elevated=1",
}


def token_probes():
    """{level: probe file} from KOBARU_TOKEN_PROBES."""
    items = [item for item in os.environ.get("KOBARU_TOKEN_PROBES", "").split(",") if item]
    return dict(item.split("=", 1) for item in items)


def probe_tokens(prefix, probes):
    """{level: what the probe of that level printed} in the prefix."""
    env = _environment(prefix)
    tokens = {}
    for level, probe in sorted(probes.items()):
        proc = subprocess.run(WINE_COMMAND + [probe], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=120)
        tokens[level] = proc.stdout.decode("latin-1").strip()
    subprocess.run(WINESERVER_COMMAND + ["-w"], env=env, timeout=120)
    return tokens


def _check_tokens(base, probes):
    """Fails when Wine gives some manifest level another token than
    EXPECTED_TOKENS: a Wine that ran everything elevated (as Wine 8 did)
    would otherwise send the tests of the standard user's path down the
    elevated one. Run once per base prefix, in a clone of its own."""
    checked = base / ".kobaru-tokens"
    if not probes or (checked.exists() and checked.read_text() == repr(sorted(probes.items()))):
        return
    clone = base.parent / "token-check"
    _clone(base, clone)
    try:
        tokens = probe_tokens(clone, probes)
    finally:
        subprocess.run(WINESERVER_COMMAND + ["-k"], env=_environment(clone),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(clone, ignore_errors=True)
    expected = {level: EXPECTED_TOKENS[level] for level in probes}
    if tokens != expected:
        raise AssertionError("Wine gives other tokens than the tests assume: got %s, expected %s"
                             % (tokens, expected))
    checked.write_text(repr(sorted(probes.items())))


def ensure_base_prefix(base):
    """Creates the base prefix once (about 10 s) and checks the tokens Wine
    gives in it; later calls return at once."""
    base = Path(base)
    with _locked(base):
        ready = base / ".kobaru-ready"
        if not (ready.exists() and ready.read_text() == RELAY_INCLUDE):
            if base.exists():
                shutil.rmtree(base)
            env = _environment(base)
            subprocess.run(WINE_COMMAND + ["wineboot", "-i"], env=env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Relay tracing is limited to a few functions, so traces stay small.
            subprocess.run(WINE_COMMAND + ["reg", "add", r"HKCU\Software\Wine\Debug", "/v",
                            "RelayInclude", "/t", "REG_SZ", "/d", RELAY_INCLUDE, "/f"], env=env,
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(WINESERVER_COMMAND + ["-w"], env=env, check=True)
            ready.write_text(RELAY_INCLUDE)
        _check_tokens(base, token_probes())
        return base


def _clone(base, path):
    """A hard-linked copy of the base prefix at path, with registry files of
    its own."""
    if path.exists():
        shutil.rmtree(path)
    subprocess.run(["cp", "-al", str(base), str(path)], check=True)
    # The registry is rewritten whole by wineserver: give the clone copies
    # of its own so the base stays untouched.
    for reg in path.glob("*.reg"):
        reg.unlink()
        shutil.copy2(base / reg.name, reg)
    for stamp in (".kobaru-ready", ".kobaru-tokens"):
        (path / stamp).unlink(missing_ok=True)


class WinePrefix:
    """A prefix of a test's own, cloned from the build's base prefix."""

    def __init__(self, base, path=None):
        base = ensure_base_prefix(base)
        if path is None:
            path = Path(tempfile.mkdtemp(prefix="prefix-", dir=base.parent))
            shutil.rmtree(path)
        self.path = Path(path)
        _clone(base, self.path)

    def close(self):
        subprocess.run(WINESERVER_COMMAND + ["-k"], env=_environment(self.path),
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
        """The programs' system directory (syswow64 for 32-bit programs on
        a 64-bit Windows)."""
        return self.drive_c / "windows" / SYSTEM_FOLDER

    def _system32_state(self):
        """On WoW64, every entry of system32 with its kind, size and time;
        None elsewhere."""
        if SYSTEM_FOLDER == "system32":
            return None
        state = {}
        for folder, dirs, names in os.walk(self.drive_c / "windows" / "system32"):
            for name in dirs + names:
                info = os.lstat(os.path.join(folder, name))
                state[os.path.join(folder, name)] = (info.st_mode, info.st_size, info.st_mtime_ns)
        return state

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

    def run(self, exe, args=(), cwd=None, timeout=120, relay=True, file_size_limit=None,
            on_exit=None):
        """Runs a program and waits for every process of the prefix to end.
        With file_size_limit, writes past that many bytes fail as on a full
        disk (the program's processes only: wineserver is started before).
        on_exit, when given, is called once the program itself has ended,
        before the wait for the other processes (a hold's release)."""
        env = _environment(self.path, relay)
        limit = None
        if file_size_limit is not None:
            subprocess.run(WINESERVER_COMMAND + ["-p5"], env=env, check=True)

            def limit():
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
        system32 = self._system32_state()
        proc = subprocess.run(WINE_COMMAND + [str(exe), *args], env=env, cwd=cwd, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=limit)
        if on_exit is not None:
            on_exit()
        subprocess.run(WINESERVER_COMMAND + ["-w"], env=env, timeout=timeout, check=True)
        if system32 is not None:
            after = self._system32_state()
            changed = sorted(p for p in set(system32) | set(after) if system32.get(p) != after.get(p))
            if changed:
                raise AssertionError("a 32-bit program changed system32 on a 64-bit Windows: %s"
                                     % changed)
        trace = proc.stderr.decode("latin-1")
        return RunResult(proc.returncode, parse_message_boxes(trace), proc.stdout, proc.stderr)

    def hold(self, exe, path, milliseconds, release=None):
        """Starts exe (the hold helper) on a Windows path and returns its
        process once the file is held. With release (a host path), the file
        is let go as soon as that file exists."""
        extra = [] if release is None else [self.windows_path(release)]
        proc = subprocess.Popen(WINE_COMMAND + [str(exe), path, str(milliseconds)] + extra,
                                env=_environment(self.path), stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        assert proc.stdout.readline().strip() == b"held", path
        return proc

    # Registry, through Wine's own reg tool.
    def reg_query(self, key, value):
        """The data of a REG_SZ value, as bytes, or None when absent."""
        env = _environment(self.path)
        proc = subprocess.run(WINE_COMMAND + ["reg", "query", key, "/v", value], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        subprocess.run(WINESERVER_COMMAND + ["-w"], env=env)
        if proc.returncode != 0:
            return None
        for line in proc.stdout.splitlines():
            parts = line.strip().split(None, 2)
            if parts and parts[0].decode("cp932", "replace") == value and len(parts) >= 2:
                return parts[2] if len(parts) == 3 else b""
        return None

    def reg_set(self, key, value, data, kind="REG_SZ"):
        env = _environment(self.path)
        subprocess.run(WINE_COMMAND + ["reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f"],
                       env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(WINESERVER_COMMAND + ["-w"], env=env)


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
    proc = subprocess.run(WINE_COMMAND + [*argv[2:]], env=env)
    subprocess.run(WINESERVER_COMMAND + ["-w"], env=env)
    sys.exit(proc.returncode)


if __name__ == "__main__":
    import sys
    _main(sys.argv)
