"""Packaging of test executables with the native pack tool."""

import os
import subprocess
import tempfile
from pathlib import Path

PACK = os.environ["KOBARU_PACK"]


def package(image, entries, out, version="pf2", placement="header"):
    """Appends an archive of entries ({name: bytes}, in order) to image and
    writes the result to out."""
    with tempfile.TemporaryDirectory() as folder:
        args = [PACK, "append", "--version", version, "-o", str(out), str(image)]
        if placement == "trailer":
            args.append("--trailer")
        for i, (name, data) in enumerate(entries.items()):
            path = Path(folder) / f"entry{i}"
            path.write_bytes(data)
            args += ["--entry", f"{name}={path}"]
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    return Path(out)


def list_entries(archive):
    """{name: (offset, size, container)} as the pack tool lists them."""
    proc = subprocess.run([PACK, "list", "--quiet", str(archive)], check=True, stdout=subprocess.PIPE)
    listed = {}
    for line in proc.stdout.decode("latin-1").splitlines():
        offset, size, container, name = line.split("\t", 3)
        listed[name] = (int(offset), int(size), container)
    return listed
