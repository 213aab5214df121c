"""Extraction of one large entry: the product's ExtractEntry against cat of
the same bytes (the limit) and bsdtar extracting them from a stored ZIP (a
peer). Prints median wall time, ratio to cat and peak memory of each.

    /usr/bin/python3 bench/extract_compare.py [--mib 256] [--rounds 5]

Needs the native build (./test.sh or ./dist.sh makes it)."""

import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "native"


def timed(args, cwd=None):
    """(wall seconds, peak resident KiB) of one run. The peak comes from GNU
    time: a child forked from this interpreter would carry the interpreter's
    own resident size into its peak."""
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", *args], cwd=cwd,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit(f"{' '.join(map(str, args))} failed: {proc.stderr.decode()}")
    return wall, int(proc.stderr.decode().split()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()

    subprocess.run(["cmake", "--build", str(BUILD), "--target", "extract_entry", "kobaru-pack"],
                   check=True, stdout=subprocess.DEVNULL)
    work = Path(tempfile.mkdtemp(prefix="kobaru-bench-", dir="/var/tmp"))
    try:
        payload = work / "payload.bin"
        with open(payload, "wb") as f:
            for _ in range(options.mib):
                f.write(os.urandom(1 << 20))
        image = work / "image.exe"
        image.write_bytes(b"MZ" + bytes(4094))
        packaged = work / "packaged.exe"
        subprocess.run([str(BUILD / "tools" / "pack" / "kobaru-pack"), "append", "-o", str(packaged),
                        str(image), "--entry", f"payload.bin={payload}"], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["bsdtar", "--format", "zip", "--options", "zip:compression=store",
                        "-cf", "payload.zip", "payload.bin"], cwd=work, check=True)
        out = work / "out"
        out.mkdir()  # holds no file of the entry's name, so the archive is read

        contenders = {
            "ExtractEntry": [str(BUILD / "bench" / "extract_entry"), str(packaged), "payload.bin",
                             str(out / "payload.bin")],
            "cat": ["sh", "-c", f"exec cat '{payload}' > '{out / 'payload.bin'}'"],
            "bsdtar (stored zip)": ["bsdtar", "-xf", str(work / "payload.zip"), "-C", str(out)],
        }
        results = {name: [] for name in contenders}
        for _ in range(options.rounds):
            for name, args in contenders.items():
                target = out / "payload.bin"
                if target.exists():
                    target.unlink()
                subprocess.run(["sync"], check=True)
                results[name].append(timed(args, out))
                if target.stat().st_size != payload.stat().st_size:
                    raise SystemExit(f"{name} wrote {target.stat().st_size} bytes")
        subprocess.run(["cmp", str(payload), str(out / "payload.bin")], check=True)

        limit = statistics.median(w for w, _ in results["cat"])
        print(f"{options.mib} MiB entry, median of {options.rounds} rounds, warm page cache")
        print(f"{'':22}{'wall s':>8}{'x cat':>8}{'peak RSS MiB':>14}")
        for name, runs in results.items():
            wall = statistics.median(w for w, _ in runs)
            peak = max(m for _, m in runs) / 1024
            print(f"{name:22}{wall:8.3f}{wall / limit:8.2f}{peak:14.1f}")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
