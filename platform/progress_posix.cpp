#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/progress.h"

namespace vexlo {

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

int stderr_columns() {
  struct winsize size = {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  return 80;
}

void write_stderr(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace vexlo
