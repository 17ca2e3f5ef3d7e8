// The console on Windows is the console input buffer, "CONIN$": it is there
// even when standard input is redirected, and absent when the process has no
// console at all.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/console.h"

namespace vexlo {

namespace {

// Messages go out exactly as on every other system, with bare line feeds
// (the console shows them as line ends): the C runtime would otherwise turn
// each one into CR LF, also when the output goes to a file or a pipe. Done
// before main, since this file is linked into every Windows build.
const bool g_binary_stdout = [] {
  return ::_setmode(::_fileno(stdout), _O_BINARY) != -1;
}();

// Paths in messages are UTF-8: the console shows UTF-8 for the run and gets
// its own code page back at the end, also when Ctrl+C or closing the window
// cuts the run short. The console may be the one of the shell that started
// the program. Messages are bytes as before; only their display changes.
std::atomic<UINT> g_saved_output_cp{0};

void restore_output_cp() {
  std::fflush(stdout);
  if (const UINT cp = g_saved_output_cp.exchange(0); cp != 0)
    ::SetConsoleOutputCP(cp);
}

BOOL WINAPI on_console_event(DWORD) {
  if (const UINT cp = g_saved_output_cp.exchange(0); cp != 0)
    ::SetConsoleOutputCP(cp);
  return FALSE;  // the default handling still ends the process
}

const bool g_utf8_console = [] {
  const UINT cp = ::GetConsoleOutputCP();  // 0 without a console
  if (cp == 0 || cp == CP_UTF8 || !::SetConsoleOutputCP(CP_UTF8)) return false;
  g_saved_output_cp = cp;
  std::atexit(restore_output_cp);
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
  return true;
}();

// Keys that only change what another key means; pressing one alone must not
// end the wait.
bool is_modifier(WORD vk) {
  switch (vk) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_LMENU:
    case VK_RMENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
      return true;
    default:
      return false;
  }
}

// The code of a key-down event, or -1 when the event does not end the wait.
// Keys without a character (arrows, function keys, Insert, ...) all give 224,
// as on the other systems: the console marks only some of them as
// "enhanced", and not every console sets that mark at all.
int key_code(const KEY_EVENT_RECORD& key) {
  if (!key.bKeyDown) return -1;
  const unsigned char c = static_cast<unsigned char>(key.uChar.AsciiChar);
  if (c != 0) return c;
  return is_modifier(key.wVirtualKeyCode) ? -1 : 224;
}

}  // namespace

int wait_key() {
  const HANDLE in = ::CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return -1;
  DWORD saved = 0;
  if (!::GetConsoleMode(in, &saved)) {
    ::CloseHandle(in);
    return -1;
  }
  // Mode 0: no line input, no echo, and no processed input, so that Ctrl+C
  // arrives as the key code 3 instead of ending the process.
  ::SetConsoleMode(in, 0);
  int result = -1;
  for (;;) {
    INPUT_RECORD rec;
    DWORD got = 0;
    if (!::ReadConsoleInputA(in, &rec, 1, &got) || got == 0) break;
    if (rec.EventType != KEY_EVENT) continue;
    const int code = key_code(rec.Event.KeyEvent);
    if (code >= 0) {
      result = code;
      break;
    }
  }
  ::SetConsoleMode(in, saved);
  ::CloseHandle(in);
  return result;
}

}  // namespace vexlo
