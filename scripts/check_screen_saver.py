"""Checks that a file can be the installer's screen saver.

    check_screen_saver.py FILE

A screen saver for the installer is a complete 32-bit (i386) Windows
executable of the GUI subsystem, not a DLL. Prints nothing and exits 0 when
FILE is one; otherwise prints one line saying what FILE is and what is
needed, and exits 1. Reads only the headers, with the standard library, so
that it runs before anything else is installed.
"""

import os
import stat
import struct
import sys

MACHINE_I386 = 0x14C
MACHINES = {0x8664: "a 64-bit (x86-64) %s", 0xAA64: "a 64-bit ARM %s",
            0x200: "a 64-bit Itanium %s", 0x1C0: "an ARM %s", 0x1C4: "an ARM %s"}
FILE_EXECUTABLE_IMAGE = 0x0002
FILE_DLL = 0x2000
PE32 = 0x10B
PE32_PLUS = 0x20B
SUBSYSTEM_GUI = 2
SUBSYSTEMS = {1: "a driver or native program", 3: "a console program",
              5: "an OS/2 console program", 7: "a POSIX console program",
              9: "a Windows CE program", 10: "an EFI application", 11: "an EFI driver",
              12: "an EFI driver", 13: "an EFI ROM image", 14: "an Xbox program",
              16: "a boot application"}
# Bytes of a PE32 optional header up to and including its subsystem field.
PE32_THROUGH_SUBSYSTEM = 70
NEED_32 = "the installer carries 32-bit (i386) Windows screen savers"
NEED_PROGRAM = "a screen saver is a program (.scr), not a DLL"
NEED_GUI = "a screen saver is a program of the Windows GUI subsystem"
NEED_COMPLETE = "the installer carries a complete screen saver"


class Refused(Exception):
    pass


def check(data):
    """Raises Refused with the one-line reason when data is not a screen saver."""
    if data[:2] != b"MZ":
        raise Refused("not a Windows program (no \"MZ\" header); " + NEED_32)
    if len(data) < 64:
        raise Refused("an incomplete image: the MS-DOS header ends past the end of the file; "
                      + NEED_COMPLETE)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    # Cut short within or before the PE header (a truncated copy).
    if pe + 24 > len(data) and b"PE\0\0".startswith(data[pe:pe + 4]):
        raise Refused("an incomplete image: the PE header ends past the end of the file; "
                      + NEED_COMPLETE)
    if data[pe:pe + 4] != b"PE\0\0":
        raise Refused("an MS-DOS program without a PE header; " + NEED_32)
    machine, sections, _, _, _, optional_size, characteristics = \
        struct.unpack_from("<HHIIIHH", data, pe + 4)
    if machine != MACHINE_I386:
        kind = "DLL" if characteristics & FILE_DLL else "program"
        what = (MACHINES[machine] % kind if machine in MACHINES
                else "a %s for machine type 0x%04X" % (kind, machine))
        raise Refused(what + "; " + NEED_32)
    if characteristics & FILE_DLL:
        raise Refused("a DLL; " + NEED_PROGRAM)
    if not characteristics & FILE_EXECUTABLE_IMAGE:
        raise Refused("an image not marked executable (left unfinished by its linker); "
                      + NEED_COMPLETE)
    optional = pe + 24
    if optional + min(optional_size, PE32_THROUGH_SUBSYSTEM) > len(data) or \
            optional + 2 > len(data):
        raise Refused("an incomplete image: the optional header ends past the end of the file; "
                      + NEED_COMPLETE)
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == PE32_PLUS:
        raise Refused("an image with a 64-bit (PE32+) optional header; " + NEED_32)
    if magic != PE32 or optional_size < PE32_THROUGH_SUBSYSTEM:
        raise Refused("an image without a valid PE32 optional header; " + NEED_32)
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    if subsystem != SUBSYSTEM_GUI:
        raise Refused(SUBSYSTEMS.get(subsystem, "a program of subsystem %d" % subsystem)
                      + "; " + NEED_GUI)
    table = optional + optional_size
    if table + 40 * sections > len(data):
        raise Refused("an incomplete image: the section table ends past the end of the file; "
                      + NEED_COMPLETE)
    size_of_headers = struct.unpack_from("<I", data, optional + 60)[0]
    if size_of_headers > len(data):
        raise Refused("an incomplete image: its headers end past the end of the file; "
                      + NEED_COMPLETE)
    if sections == 0:
        raise Refused("an incomplete image: it has no sections; " + NEED_COMPLETE)
    for i in range(sections):
        entry = table + 40 * i
        # Printable ASCII as it is, any other byte escaped: one line always.
        name = "".join(chr(b) if 32 < b < 127 else "\\x%02x" % b
                       for b in data[entry:entry + 8].rstrip(b"\0"))
        raw_size, raw_pointer = struct.unpack_from("<II", data, entry + 16)
        if raw_size and raw_pointer + raw_size > len(data):
            raise Refused("an incomplete image: section %s ends past the end of the file "
                          "(at byte %d of %d); %s"
                          % (name or "#%d" % (i + 1), raw_pointer + raw_size, len(data),
                             NEED_COMPLETE))


def main(argv):
    if len(argv) != 2:
        print("usage: check_screen_saver.py FILE", file=sys.stderr)
        return 2
    path = argv[1]
    try:
        mode = os.stat(path).st_mode
        if stat.S_ISDIR(mode):
            raise Refused("a folder; give the screen saver file itself")
        if not stat.S_ISREG(mode):
            raise Refused("not a regular file; give the screen saver file itself")
        with open(path, "rb") as f:
            check(f.read())
    except FileNotFoundError:
        print("%s: no such file" % path, file=sys.stderr)
        return 1
    except OSError as e:
        print("%s: cannot read: %s" % (path, e.strerror), file=sys.stderr)
        return 1
    except Refused as e:
        print("%s: %s" % (path, e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
