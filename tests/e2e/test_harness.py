"""The Wine harness itself: trace decoding, and a live run of a known probe."""

import os
import unittest

import winehar
from winehar import WinePrefix

WINE_BASE = os.path.join(os.environ["KOBARU_WINE_ROOT"], "base")
PROBE = os.environ.get("KOBARU_PROBE")
BROKEN_INSTALLER = "インストーラが壊れています。".encode("cp932")


class TraceDecodingTest(unittest.TestCase):
    def test_escapes_null_strings_and_truncation(self):
        trace = "\n".join([
            '0024:trace:relay:load_list L"RelayInclude" = L"user32.MessageBoxA"',
            '0024:Call user32.MessageBoxA(0001003a,140004000 "a, b\\x83C\\\\\\"\\n",'
            '00000000,00051000) ret=1400015a9',
            '0024:Ret  user32.MessageBoxA() retval=ffffffff ret=1400015a9',
            '0024:Ret  user32.GetForegroundWindow() retval=00010020 ret=1',
            '0050:Ret  user32.GetForegroundWindow() retval=00010099 ret=1',  # another process
            '0024:Call user32.GetTopWindow(00010020) ret=1',
            '0024:Ret  user32.GetTopWindow() retval=00000000 ret=1',
            '0024:Call user32.MessageBoxA(00000000,0021fc30 "x"...,0021fc00 ") ",00000000) ret=1',
        ])
        boxes = winehar.parse_message_boxes(trace)
        self.assertEqual(2, len(boxes))
        self.assertEqual((0x1003A, b'a, b\x83C\\"\n', None, 0x51000, False),
                         (boxes[0].owner, boxes[0].text, boxes[0].title, boxes[0].style,
                          boxes[0].truncated))
        self.assertFalse(boxes[0].owner_is_top_of_foreground)
        self.assertEqual((b"x", b") ", 0, True, True),
                         (boxes[1].text, boxes[1].title, boxes[1].style, boxes[1].truncated,
                          boxes[1].owner_is_top_of_foreground))


@unittest.skipUnless(PROBE, "probe program not built")
class LiveRunTest(unittest.TestCase):
    def setUp(self):
        self.prefix = WinePrefix(WINE_BASE)
        self.addCleanup(self.prefix.close)

    def test_exit_code_message_boxes_and_folders(self):
        result = self.prefix.run(PROBE)
        self.assertEqual(7, result.exit_code)
        self.assertEqual(2, len(result.message_boxes), result.stderr[-2000:])
        first, second = result.message_boxes
        self.assertEqual((BROKEN_INSTALLER, "エラー".encode("cp932"), 0, True),
                         (first.text, first.title, first.style, first.owner_is_top_of_foreground))
        self.assertEqual((0, b'a\\b"c\nd\te\r\x7f', None, 0x51000, False),
                         (second.owner, second.text, second.title, second.style,
                          second.owner_is_top_of_foreground))
        self.assertEqual(b"temp", (self.prefix.temp_dir() / "kobaru-probe.txt").read_bytes())
        self.assertEqual(b"system", (self.prefix.system_dir() / "kobaru-probe.txt").read_bytes())
        self.assertTrue(self.prefix.programs_dir().is_dir())

    def test_clones_do_not_share_files_or_registry(self):
        self.prefix.run(PROBE)
        other = WinePrefix(WINE_BASE)
        self.addCleanup(other.close)
        self.assertFalse((other.system_dir() / "kobaru-probe.txt").exists())
        key = r"HKCU\Control Panel\Desktop"
        self.prefix.reg_set(key, "SCRNSAVE.EXE", "C:\\x.scr")
        self.assertEqual(b"C:\\x.scr", self.prefix.reg_query(key, "SCRNSAVE.EXE"))
        self.assertIsNone(other.reg_query(key, "SCRNSAVE.EXE"))
        self.assertIsNone(self.prefix.reg_query(key, "NoSuchValue"))


@unittest.skipUnless(winehar.token_probes(), "token probes not built")
class TokenTest(unittest.TestCase):
    """Wine gives each manifest level the token the tests assume (the check
    every base prefix also makes before its first use)."""

    def test_each_manifest_level_gets_the_token_windows_gives(self):
        with WinePrefix(WINE_BASE) as prefix:
            tokens = winehar.probe_tokens(prefix.path, winehar.token_probes())
        for level in ("none", "asInvoker", "highestAvailable", "requireAdministrator"):
            with self.subTest(level):
                self.assertEqual(winehar.EXPECTED_TOKENS[level], tokens[level])


if __name__ == "__main__":
    unittest.main()
