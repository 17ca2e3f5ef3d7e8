// Standard error is a console when the console answers for its handle;
// redirected to a file or a pipe it does not.
#include <windows.h>

#include <algorithm>

#include "platform/progress.h"

namespace vexlo {

namespace {

HANDLE stderr_handle() { return ::GetStdHandle(STD_ERROR_HANDLE); }

bool is_console(HANDLE h) {
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE &&
         ::GetConsoleMode(h, &mode) != 0;
}

}  // namespace

bool stderr_is_terminal() { return is_console(stderr_handle()); }

bool stdout_is_terminal() {
  return is_console(::GetStdHandle(STD_OUTPUT_HANDLE));
}

int stderr_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (::GetConsoleScreenBufferInfo(stderr_handle(), &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}

void write_stderr(std::string_view text) {
  const HANDLE h = stderr_handle();
  while (!text.empty()) {
    DWORD written = 0;
    const DWORD n =
        static_cast<DWORD>(std::min<std::size_t>(text.size(), 4096));
    if (!::WriteConsoleA(h, text.data(), n, &written, nullptr) || written == 0)
      return;
    text.remove_prefix(written);
  }
}

}  // namespace vexlo
