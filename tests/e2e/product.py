"""The product's fixed names and message texts, as the end-to-end tests
expect them: file names as the programs write them, Start-menu names as the
host sees them (Wine runs with a UTF-8 locale), texts as the Shift-JIS bytes
of the message boxes."""

SCREEN_SAVER = "Kobaru_Senryu_2014.scr"
INSTALLED_UNINSTALLER = "Kobaru_ScreenSaver_2014_Cleaner.exe"
CLEANER_NAME = "Kobaru_ScreenSaver_Cleaner_RA.exe"
DESKTOP_KEY = r"HKCU\Control Panel\Desktop"
FOLDER = "こばる川柳スクリーンセーバー"
SHORTCUT = "こばる川柳スクリーンセーバー2014の削除.lnk"

TITLE = "こばる川柳スクリーンセーバー".encode("cp932")
COMPLETED = "アンインストールが完了しました。".encode("cp932")
BROKEN = "インストーラが壊れています。".encode("cp932")
CANNOT_WRITE = "システムフォルダに書き込みできません。".encode("cp932")
