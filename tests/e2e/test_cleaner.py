"""The elevated cleaner, run end to end under Wine."""

import os
import unittest

from winehar import WinePrefix

CLEANER = os.environ["KOBARU_CLEANER"]
WINE_BASE = os.path.join(os.environ["KOBARU_WINE_ROOT"], "base")
SCREEN_SAVER = "Kobaru_Senryu_2014.scr"


class CleanerTest(unittest.TestCase):
    def setUp(self):
        self.prefix = WinePrefix(WINE_BASE)
        self.addCleanup(self.prefix.close)
        self.target = self.prefix.system_dir() / SCREEN_SAVER

    def assert_quiet_success(self, result):
        self.assertEqual(0, result.exit_code)
        self.assertEqual([], result.message_boxes)

    def test_deletes_the_screen_saver_and_keeps_the_rest_of_the_system_directory(self):
        self.target.write_bytes(b"screen saver")
        neighbour = self.prefix.system_dir() / "Kobaru_Senryu_2014.scr.keep"
        neighbour.write_bytes(b"not ours")
        before = sorted(p.name for p in self.prefix.system_dir().iterdir())

        self.assert_quiet_success(self.prefix.run(CLEANER))

        self.assertFalse(self.target.exists())
        after = sorted(p.name for p in self.prefix.system_dir().iterdir())
        self.assertEqual([n for n in before if n != SCREEN_SAVER], after)
        self.assertEqual(b"not ours", neighbour.read_bytes())

    def test_without_the_file_and_when_run_twice_ends_quietly(self):
        self.target.write_bytes(b"x")
        self.assert_quiet_success(self.prefix.run(CLEANER))
        self.assert_quiet_success(self.prefix.run(CLEANER))
        self.assertFalse(self.target.exists())

    def test_arguments_change_nothing(self):
        other = self.prefix.drive_c / "other.scr"
        other.write_bytes(b"other")
        self.target.write_bytes(b"x")
        result = self.prefix.run(CLEANER, ["/s", "C:\\other.scr", "--help"])
        self.assert_quiet_success(result)
        self.assertFalse(self.target.exists())
        self.assertTrue(other.exists())


if __name__ == "__main__":
    unittest.main()
