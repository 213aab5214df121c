"""The 32-bit elevated cleaner as delivered."""

import os
import unittest

from pecheck import DeliverableChecks


class CleanerExecutableTest(DeliverableChecks, unittest.TestCase):
    PATH = os.environ["KOBARU_CLEANER"]
    NAME = "Kobaru_ScreenSaver_Cleaner_RA"
    DESCRIPTION = "Kobaru Screen Saver Uninstaller"
    LEVEL = "requireAdministrator"
    REQUIRED_IMPORTS = [("kernel32.dll", "DeleteFileA"), ("kernel32.dll", "GetSystemDirectoryA")]


if __name__ == "__main__":
    unittest.main()
