// Kobaru Senryu 2014: a minimal screen saver that blanks the screen.
//
// Command line, as Windows passes it to a .scr:
//   /s        run full screen until the user touches keyboard or mouse
//   /p <hwnd> preview in the Control Panel: nothing is drawn
//   /c, none  configure: there are no settings, say so
// "-" works in place of "/", letters are case-insensitive, and anything after
// the letter (":1234", a window handle) is ignored.

#include <windows.h>
#include <windowsx.h>

namespace {

const char kClassName[] = "KobaruSenryu2014";
const char kTitle[] = "Kobaru Senryu 2014";

// How far the mouse may drift from where it was first seen before the saver
// closes; small jitter must not end it.
const int kMouseSlack = 4;

// Returns the option letter in lower case, or 0 when there is none.
char OptionLetter(const char* cmd) {
  if (cmd == nullptr) return 0;
  while (*cmd == ' ' || *cmd == '\t' || *cmd == '"') ++cmd;
  if (*cmd == '/' || *cmd == '-') ++cmd;
  char c = *cmd;
  if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return c;
}

LRESULT CALLBACK SaverProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  static bool have_origin = false;
  static POINT origin = {0, 0};
  switch (msg) {
    case WM_MOUSEMOVE: {
      const int x = GET_X_LPARAM(lp);
      const int y = GET_Y_LPARAM(lp);
      // The first move arrives when the window appears; it sets the origin.
      if (!have_origin) {
        have_origin = true;
        origin.x = x;
        origin.y = y;
        return 0;
      }
      if (x - origin.x > kMouseSlack || origin.x - x > kMouseSlack ||
          y - origin.y > kMouseSlack || origin.y - y > kMouseSlack) {
        PostMessageA(hwnd, WM_CLOSE, 0, 0);
      }
      return 0;
    }
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_XBUTTONDOWN:
      PostMessageA(hwnd, WM_CLOSE, 0, 0);
      return 0;
    case WM_SETCURSOR:
      SetCursor(nullptr);  // keep the pointer hidden over the whole window
      return TRUE;
    case WM_SYSCOMMAND:
      // Do not let Windows start the saver again on top of itself.
      if ((wp & 0xFFF0) == SC_SCREENSAVE) return 0;
      break;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

// Full-screen run. Returns 0 also when no window can be made (no display).
int RunSaver(HINSTANCE instance) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = SaverProc;
  wc.hInstance = instance;
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = kClassName;
  if (RegisterClassA(&wc) == 0) return 0;

  // The virtual screen spans every monitor.
  const int x = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  int w = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  int h = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (w <= 0 || h <= 0) {
    w = GetSystemMetrics(SM_CXSCREEN);
    h = GetSystemMetrics(SM_CYSCREEN);
  }
  HWND hwnd = CreateWindowExA(WS_EX_TOPMOST, kClassName, kTitle,
                              WS_POPUP | WS_VISIBLE, x, y, w, h, nullptr,
                              nullptr, instance, nullptr);
  if (hwnd == nullptr) return 0;
  ShowCursor(FALSE);
  SetForegroundWindow(hwnd);

  MSG m;
  BOOL r;
  while ((r = GetMessageA(&m, nullptr, 0, 0)) != 0) {
    if (r == -1) break;  // a broken queue: give up quietly
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  ShowCursor(TRUE);
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR cmd, int) {
  switch (OptionLetter(cmd)) {
    case 's':
      return RunSaver(instance);
    case 'p':
    case 'l':  // older Windows name for the preview switch
      return 0;
    default:  // "/c", no arguments, or anything unknown
      MessageBoxA(nullptr, "This screen saver has no settings.", kTitle,
                  MB_OK | MB_ICONINFORMATION);
      return 0;
  }
}
