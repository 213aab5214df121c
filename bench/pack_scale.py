"""The pack tool at scale, against bsdtar on a stored ZIP of the same files
and against cat for one large file. Prints, for each comparison, the median
of the ratios of runs taken in turn (A B A B ...), so that a machine whose
speed drifts does not favour either side.

    /usr/bin/python3 bench/pack_scale.py [--entries 1000,100000,1000000]
        [--extract 100000,1000000] [--mib 1024] [--rounds 3] [--skip-large]

- list and verify of archives of one-byte files, against bsdtar -tf;
  and each command's cost per entry at every size;
- extract of those archives (into an empty folder, each file through a
  temporary file renamed over its target), against bsdtar -xf;
- create, append and extract of one file of --mib MiB, against
  cat in > out, with the peak resident size of each.

Needs the native build (./test.sh or ./dist.sh makes it) and bsdtar
(libarchive-tools). Works in /var/tmp and removes what it made."""

import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

# One timed run, as extraction is timed against cat and bsdtar.
from extract_compare import timed

ROOT = Path(__file__).resolve().parent.parent
PACK = ROOT / "build" / "native" / "tools" / "pack" / "kobaru-pack"
PER_FOLDER = 1000


def paired(a, b, rounds, before=None):
    """Runs a and b in turn; before(), when given, runs untimed ahead of
    each. Returns (median wall a, median wall b, median ratio a/b, peak a,
    peak b)."""
    runs_a, runs_b = [], []
    for _ in range(rounds):
        for args, runs in ((a, runs_a), (b, runs_b)):
            if before:
                before()
            runs.append(timed(args))
    ratios = [x[0] / y[0] for x, y in zip(runs_a, runs_b)]
    return (statistics.median(w for w, _ in runs_a), statistics.median(w for w, _ in runs_b),
            statistics.median(ratios), max(m for _, m in runs_a), max(m for _, m in runs_b))


def make_files(top, count):
    """count one-byte files, PER_FOLDER to a folder: data/dNNNN/fNNNNNNN."""
    data = top / "data"
    for i in range(count):
        folder = data / f"d{i // PER_FOLDER:04d}"
        if i % PER_FOLDER == 0:
            folder.mkdir(parents=True)
        fd = os.open(folder / f"f{i:07d}", os.O_WRONLY | os.O_CREAT, 0o644)
        os.write(fd, bytes([i & 0xFF]))
        os.close(fd)


def run(args, cwd=None):
    subprocess.run([str(a) for a in args], cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def row(label, result, b_name):
    a, b, ratio, peak_a, peak_b = result
    print(f"{label:34}{a:9.3f}{b:9.3f}{ratio:8.2f}  ({b_name}; peak {peak_a / 1024:.1f} / {peak_b / 1024:.1f} MiB)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--entries", default="1000,100000,1000000")
    parser.add_argument("--extract", default="100000,1000000")
    parser.add_argument("--mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--skip-large", action="store_true")
    options = parser.parse_args()
    counts = sorted({int(n) for n in options.entries.split(",")} | {int(n) for n in options.extract.split(",") if n})
    extract_counts = [int(n) for n in options.extract.split(",") if n]

    work = Path(tempfile.mkdtemp(prefix="kobaru-pack-bench-", dir="/var/tmp"))
    try:
        print(f"{'':34}{'A s':>9}{'B s':>9}{'A/B':>8}  (median of {options.rounds} paired rounds)")
        per_entry = {}
        for n in counts:
            top = work / str(n)
            top.mkdir()
            make_files(top, n)
            run([PACK, "create", "-o", "a.pfs", "data"], cwd=top)
            run(["bsdtar", "--format", "zip", "--options", "zip:compression=store", "-cf", "a.zip", "data"], cwd=top)
            pfs, zipped = top / "a.pfs", top / "a.zip"
            if n in [int(x) for x in options.entries.split(",")]:
                listed = paired([PACK, "list", pfs], ["bsdtar", "-tf", zipped], options.rounds)
                verified = paired([PACK, "verify", pfs], ["bsdtar", "-tf", zipped], options.rounds)
                row(f"list, {n} entries", listed, "bsdtar -tf")
                row(f"verify, {n} entries", verified, "bsdtar -tf")
                per_entry[n] = (listed[0] / n, verified[0] / n)
            if n in extract_counts:
                outs = []

                def fresh():
                    outs.append(Path(tempfile.mkdtemp(dir=top)))

                # Each run writes into a new empty folder; the folders are
                # removed afterwards, outside the timing.
                runs_a, runs_b = [], []
                for _ in range(options.rounds):
                    fresh()
                    runs_a.append(timed([PACK, "extract", "-C", outs[-1], pfs]))
                    fresh()
                    runs_b.append(timed(["bsdtar", "-xf", zipped, "-C", outs[-1]]))
                ratios = [x[0] / y[0] for x, y in zip(runs_a, runs_b)]
                result = (statistics.median(w for w, _ in runs_a), statistics.median(w for w, _ in runs_b),
                          statistics.median(ratios), max(m for _, m in runs_a), max(m for _, m in runs_b))
                row(f"extract, {n} entries", result, "bsdtar -xf")
                per_entry.setdefault(n, (None, None))
                per_entry[n] = per_entry[n] + (result[0],)
                for o in outs:
                    shutil.rmtree(o)
            shutil.rmtree(top / "data")
        smallest = min(n for n in per_entry if per_entry[n][0] is not None)
        for n, costs in sorted(per_entry.items()):
            if costs[0] is not None and n != smallest:
                print(f"cost per entry at {n} / at {smallest}: list {costs[0] / per_entry[smallest][0]:.2f}, "
                      f"verify {costs[1] / per_entry[smallest][1]:.2f}")
        if len(extract_counts) >= 2:
            a, b = extract_counts[0], extract_counts[-1]
            print(f"extract time, {b} / {a} entries: {per_entry[b][-1] / per_entry[a][-1]:.2f}")

        if not options.skip_large:
            big = work / "big.bin"
            with open(big, "wb") as f:
                for _ in range(options.mib):
                    f.write(os.urandom(1 << 20))
            image = work / "image.exe"
            image.write_bytes(b"MZ" + bytes(4094))
            out = work / "out.bin"

            def clearing(*paths):
                """Removes the outputs of both sides before each run, outside
                the timing: replacing a large file frees its blocks, which
                neither side should pay for."""
                def clear():
                    for p in (out, *paths):
                        if p.exists():
                            p.unlink()
                return clear

            cat = ["sh", "-c", f"exec cat '{big}' > '{out}'"]
            pfs, exe = work / "big.pfs", work / "big.exe"
            row(f"create, one {options.mib} MiB file",
                paired([PACK, "create", "-o", pfs, "--entry", f"big.bin={big}"], cat, options.rounds,
                       clearing(pfs)), "cat")
            row(f"append, one {options.mib} MiB file",
                paired([PACK, "append", "-o", exe, image, "--entry", f"big.bin={big}"], cat,
                       options.rounds, clearing(exe)), "cat")
            run([PACK, "create", "-o", pfs, "--entry", f"big.bin={big}"])
            (work / "x").mkdir()
            row(f"extract, one {options.mib} MiB file",
                paired([PACK, "extract", "-C", work / "x", pfs], cat, options.rounds,
                       clearing(work / "x" / "big.bin")), "cat")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
