"""Static checks of the built 32-bit Windows programs, with pefile."""

import xml.etree.ElementTree as ET

import pefile

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
RT_MANIFEST = 24
# Known DLLs: every Windows installation has them and loads them from the
# system directory alone, never from the program's folder (Downloads, where
# a page may drop a DLL of any name). Anything else (libstdc++, libgcc,
# winpthread, wintrust) would be looked for beside the program first.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll",
              "gdi32.dll", "ole32.dll"}


class Program:
    def __init__(self, path):
        self.path = path
        self.pe = pefile.PE(path)

    @property
    def is_pe32_i386(self):
        return (self.pe.OPTIONAL_HEADER.Magic == 0x10B and
                self.pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])

    @property
    def is_gui(self):
        return self.pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]

    def resources(self):
        """Every resource as (type, id, language, bytes)."""
        found = []
        if not hasattr(self.pe, "DIRECTORY_ENTRY_RESOURCE"):
            return found
        for rtype in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for rid in rtype.directory.entries:
                for lang in rid.directory.entries:
                    data = lang.data.struct
                    raw = self.pe.get_data(data.OffsetToData, data.Size)
                    found.append((rtype.id if rtype.id is not None else str(rtype.name),
                                  rid.id if rid.id is not None else str(rid.name),
                                  lang.id, raw))
        return found

    def imports(self):
        """{dll name in lower case: set of function names}."""
        table = {}
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            names = {i.name.decode() for i in entry.imports if i.name}
            table.setdefault(entry.dll.decode().lower(), set()).update(names)
        return table

    def overlay_offset(self):
        return self.pe.get_overlay_data_start_offset()

    def image(self):
        """The file's bytes without whatever is appended behind the image."""
        data = self.pe.__data__
        return bytes(data[:self.overlay_offset() or len(data)])


def manifest_values(raw):
    """The values of an application manifest that the programs fix."""
    root = ET.fromstring(raw)
    identity = root.find(ASM_V1 + "assemblyIdentity")
    level = root.find("/".join(ASM_V3 + p for p in
                               ["trustInfo", "security", "requestedPrivileges",
                                "requestedExecutionLevel"]))
    return {
        "tag": root.tag,
        "manifestVersion": root.get("manifestVersion"),
        "assemblyIdentity": dict(identity.attrib),
        "description": root.findtext(ASM_V1 + "description"),
        "requestedExecutionLevel": dict(level.attrib),
        "children": [c.tag for c in root],
    }


def expected_manifest(name, description, level):
    return {
        "tag": ASM_V1 + "assembly",
        "manifestVersion": "1.0",
        "assemblyIdentity": {"version": "1.0.0.0", "processorArchitecture": "X86",
                             "name": name, "type": "win32"},
        "description": description,
        "requestedExecutionLevel": {"level": level, "uiAccess": "false"},
        "children": [ASM_V1 + "assemblyIdentity", ASM_V1 + "description", ASM_V3 + "trustInfo"],
    }


class DeliverableChecks:
    """Mixin for a unittest.TestCase with PATH, NAME, DESCRIPTION, LEVEL and
    REQUIRED_IMPORTS set."""

    # Functions looked up at run time, which older systems lack or which
    # live in a DLL that is not a known one: named in the image, never
    # imported.
    RESOLVED = ["SetDefaultDllDirectories", "SetDllDirectoryA"]

    @classmethod
    def setUpClass(cls):
        cls.program = Program(cls.PATH)

    def test_is_a_32_bit_gui_program(self):
        self.assertTrue(self.program.is_pe32_i386)
        self.assertTrue(self.program.is_gui)

    def test_carries_exactly_its_manifest(self):
        resources = self.program.resources()
        self.assertEqual([(RT_MANIFEST, 1, 1033)], [r[:3] for r in resources])
        self.assertEqual(expected_manifest(self.NAME, self.DESCRIPTION, self.LEVEL),
                         manifest_values(resources[0][3]))

    def test_imports_only_known_dlls_and_the_functions_it_calls(self):
        imports = self.program.imports()
        self.assertLessEqual(set(imports), KNOWN_DLLS)
        self.assertNotIn("wintrust.dll", imports)
        for dll, function in self.REQUIRED_IMPORTS + [("kernel32.dll", "GetModuleHandleA"),
                                                      ("kernel32.dll", "GetProcAddress")]:
            self.assertIn(function, imports.get(dll, set()), dll)
        image = self.program.image()
        for function in self.RESOLVED:
            self.assertIn(function.encode() + b"\0", image)
            self.assertFalse(any(function in names for names in imports.values()), function)
