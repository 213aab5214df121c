"""The 32-bit uninstaller as delivered: its manifest and its icon group."""

import os
import struct
import unittest

from pecheck import RT_MANIFEST, DeliverableChecks, Program, expected_manifest, manifest_values

RT_ICON = 3
RT_GROUP_ICON = 14
# (size in pixels, bits per pixel), in the order of the group.
ICON_IMAGES = ([(s, 8) for s in (48, 32, 24, 16)] +
               [(s, 32) for s in (256, 128, 96, 80, 72, 64, 48, 32, 24, 16)])


def image_format(data):
    """(width, height, bits per pixel) of an icon image, PNG or DIB."""
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        width, height, depth, colour_type = struct.unpack_from(">IIBB", data, 16)
        return width, height, depth * {6: 4, 2: 3}.get(colour_type, 1)
    _, width, height, _, bits = struct.unpack_from("<IiiHH", data)
    return width, height // 2, bits  # the height counts the mask too


class UninstallerExecutableTest(DeliverableChecks, unittest.TestCase):
    PATH = os.environ["KOBARU_UNINSTALLER"]
    NAME = "Kobaru_ScreenSaver_Cleaner"
    DESCRIPTION = "Kobaru Screen Saver Uninstaller"
    LEVEL = "highestAvailable"
    REQUIRED_IMPORTS = [("kernel32.dll", "CreateProcessA"), ("kernel32.dll", "GetTempPathA"),
                        ("kernel32.dll", "GetVersionExA"), ("advapi32.dll", "RegSetValueExA"),
                        ("shell32.dll", "ShellExecuteExA"),
                        ("shell32.dll", "SHGetSpecialFolderLocation"),
                        ("user32.dll", "MessageBoxA"),
                        ("kernel32.dll", "CreateFileA"), ("kernel32.dll", "LoadLibraryExA")]
    RESOLVED = DeliverableChecks.RESOLVED + ["WinVerifyTrust"]

    def test_carries_exactly_its_manifest(self):
        # Besides the manifest: one icon group and its images.
        resources = self.program.resources()
        self.assertEqual([(RT_ICON, i, 1033) for i in range(1, 15)] +
                         [(RT_GROUP_ICON, 1, 1033), (RT_MANIFEST, 1, 1033)],
                         sorted(r[:3] for r in resources))
        manifest = next(r[3] for r in resources if r[0] == RT_MANIFEST)
        self.assertEqual(expected_manifest(self.NAME, self.DESCRIPTION, self.LEVEL),
                         manifest_values(manifest))

    def test_icon_group_holds_the_fourteen_images(self):
        resources = self.program.resources()
        group = next(r[3] for r in resources if r[0] == RT_GROUP_ICON)
        images = {r[1]: r[3] for r in resources if r[0] == RT_ICON}
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((0, 1, len(ICON_IMAGES)), (reserved, kind, count))
        seen = []
        for i in range(count):
            width, height, _, _, planes, bits, size, rid = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * i)
            data = images[rid]
            self.assertEqual(len(data), size)
            # 0 in the group's size bytes stands for 256.
            self.assertEqual((width or 256, height or 256, bits), image_format(data))
            self.assertEqual(1, planes)
            seen.append((width or 256, bits))
        self.assertEqual(ICON_IMAGES, seen)


class AsInvokerVariantTest(unittest.TestCase):
    """The test-only variant that stands for a standard user's run: the
    uninstaller's own code and resources, but for the manifest's level."""

    def test_differs_from_the_uninstaller_only_in_its_manifest_level(self):
        real = Program(UninstallerExecutableTest.PATH)
        variant = Program(os.environ["KOBARU_STANDARD_UNINSTALLER"])
        self.assertEqual(expected_manifest(UninstallerExecutableTest.NAME,
                                           UninstallerExecutableTest.DESCRIPTION, "asInvoker"),
                         manifest_values(next(r[3] for r in variant.resources()
                                              if r[0] == RT_MANIFEST)))
        # Sections other than the resources: the same bytes.
        sections = [{s.Name.rstrip(b"\0"): s.get_data() for s in p.pe.sections
                     if s.Name.rstrip(b"\0") != b".rsrc"} for p in (real, variant)]
        self.assertEqual(sections[0], sections[1])
        self.assertEqual([r for r in real.resources() if r[0] != RT_MANIFEST],
                         [r for r in variant.resources() if r[0] != RT_MANIFEST])


if __name__ == "__main__":
    unittest.main()
